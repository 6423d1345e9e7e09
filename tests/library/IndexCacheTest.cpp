// The frame index kept between opens: a second open of a file reads no packet and decodes nothing
// to index it, and gives the same pictures, decoded the same way, as the first; a cache file that
// is stale, truncated, garbled, of another version or another file, or well formed but wrong, is
// not used and is written again; two processes indexing the same file at once both stay exact;
// the folder keeps to its bound, least recently used out first.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

#include "AudioStream.h"
#include "Handles.h"
#include "IndexCache.h"

namespace {

namespace fs = std::filesystem;
namespace ic = zr8::index_cache;

constexpr int32_t kI420 = 0x2000;

std::unique_ptr<zr8::VideoStream> Open(const fs::path& path) {
  return handles::OpenStream(path, handles::StreamPrefs(kI420, 1));
}

fs::path CacheFile(const fs::path& path) {
  return fs::path(ic::Directory()) / (ic::NameFor(path.string(), "video", 0) + ".idx");
}

void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A copy of a clip under a new name in a folder of its own (a file no other test has indexed).
class Scratch {
 public:
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "zr8-index-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : "";
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  const fs::path& dir() const { return dir_; }
  fs::path Copy(const fs::path& clip, const std::string& name) {
    fs::copy_file(clip, dir_ / name, fs::copy_options::overwrite_existing);
    return dir_ / name;
  }

 private:
  fs::path dir_;
};

// The pictures of these requests and the decoding they took.
struct Opened {
  std::vector<std::string> pictures;
  uint64_t decoded = 0, seeks = 0, passes = 0;
  int64_t frames = 0;
};

Opened Requests(const fs::path& path) {
  Opened run;
  auto stream = Open(path);
  if (!stream) return run;
  run.frames = stream->frameCount();
  run.passes = stream->indexPasses();
  for (int64_t n : {run.frames - 1, int64_t{0}, run.frames / 2, int64_t{1}, run.frames / 3,
                    run.frames / 2 + 2, run.frames - 2, int64_t{2}}) {
    run.pictures.push_back(handles::Picture(*stream, n));
  }
  run.decoded = stream->decodedFrames();
  run.seeks = stream->seeks();
  return run;
}

void ExpectReference(const fs::path& path, const Opened& run, const std::string& what) {
  const std::string reference = media::ReferenceVideo(path, "yuv420p");
  ASSERT_EQ(reference.size() % run.frames, 0u) << what;
  const size_t size = reference.size() / run.frames;
  const int64_t n[] = {run.frames - 1, 0, run.frames / 2, 1, run.frames / 3, run.frames / 2 + 2,
                       run.frames - 2, 2};
  for (size_t i = 0; i < run.pictures.size(); ++i) {
    EXPECT_TRUE(run.pictures[i] == reference.substr(n[i] * size, size))
        << what << ": frame " << n[i];
  }
}

// Each way of ordering the frames, and the facts found on the way: by the headers (raw stream,
// AVI), by decoding (packed pictures), the sample table (MP4, its readers unprobed), times
// (Matroska, open GOPs), damage the demuxer reports (TS). The hit decodes exactly as the first open
// did.
TEST(IndexCacheTest, ASecondOpenReadsTheIndexBack) {
  for (const char* name : {"elementary.m2v", "h264_bframes.avi", "mpeg4_packed_bframes.avi",
                           "video_long.mp4", "h264_open_gop.mkv", "lost_transport_packets.ts"}) {
    Scratch scratch;
    const fs::path path = scratch.Copy(media::Named(name), name);
    const Opened first = Requests(path);
    ASSERT_GT(first.frames, 0) << name;
    EXPECT_GT(first.passes, 0u) << name;
    ASSERT_TRUE(fs::exists(CacheFile(path))) << name;
    const Opened second = Requests(path);
    EXPECT_EQ(second.passes, 0u) << name;
    EXPECT_EQ(second.frames, first.frames) << name;
    EXPECT_EQ(second.decoded, first.decoded) << name;
    EXPECT_EQ(second.seeks, first.seeks) << name;
    EXPECT_TRUE(second.pictures == first.pictures) << name;
    if (std::string(name).ends_with(".ts")) continue;  // concealed pictures: only run to run
    ExpectReference(path, second, name);
  }
}

// The audio timeline the same way (a predicted one as such, still checked by the second open's
// decodes, until a read from the start to the end confirms it): a second open reads no packet to
// count the samples and reads
// FFmpeg's samples, from the start and from the middle: an edit list (trimmed packets), a rate
// change (resampled), AAC with noise substitution (a pre-roll whose noise differs from the middle
// on, exact where the second open asks for exact audio: the kept timeline holds the coding's
// choice, not the first open's), MP3 (a pre-roll), a layout change.
TEST(IndexCacheTest, ASecondAudioOpenReadsTheTimelineBack) {
  for (const char* name :
       {"edit_cut.mp4", "rate_change.aac", "aac_pns.m4a", "mp3.mp3", "stereo_mono.aac"}) {
    Scratch scratch;
    const fs::path path = scratch.Copy(media::Named(name), name);
    const std::vector<float> reference = media::ReferenceAudio(path);
    const bool noisy = std::string_view(name) == "aac_pns.m4a";
    if (std::string_view(name) == "mp3.mp3") {  // predicted, then read back unconfirmed
      const std::string other = scratch.Copy(path, "unconfirmed.mp3").string();
      auto first = zr8::AudioStream::Open(other, 0, zr8::MemoryPool::Create());
      auto second = zr8::AudioStream::Open(other, 0, zr8::MemoryPool::Create());
      ASSERT_TRUE(first && second);
      EXPECT_TRUE(first->timelinePredicted() && second->timelinePredicted());
      EXPECT_TRUE(second->timelineFromCache());
    }
    for (const bool again : {false, true}) {
      if (again) ::setenv("ZR8READER_EXACT_AUDIO", "1", 1);
      auto stream = zr8::AudioStream::Open(path.string(), 0, zr8::MemoryPool::Create());
      ::unsetenv("ZR8READER_EXACT_AUDIO");
      ASSERT_TRUE(stream) << name;
      EXPECT_EQ(stream->timelineFromCache(), again) << name;
      const int64_t count = stream->sampleCount(), channels = stream->format().channels;
      ASSERT_EQ(count * channels, static_cast<int64_t>(reference.size())) << name;
      for (const int64_t start : {int64_t{0}, count / 2}) {
        std::vector<float> samples(static_cast<size_t>((count - start) * channels));
        int64_t read = 0;
        ASSERT_GE(stream->GetSamples(start, samples.data(), count - start, &read), 0) << name;
        EXPECT_EQ(read, count - start) << name;
        EXPECT_EQ(std::equal(samples.begin(), samples.end(), reference.begin() + start * channels),
                  start == 0 || again || !noisy)
            << name << " from " << start << (again ? ", timeline kept" : "");
      }
    }
  }
}

// A file changed since it was indexed, other content of the same size under the same time, is
// indexed again (the cached index has another frame count).
TEST(IndexCacheTest, AChangedFileIsIndexedAgain) {
  const std::string pad = " && truncate -s 100000 $OUT";
  const fs::path longer = media::MakeByShell(
      "cache_stale_a.m2v",
      "ffmpeg -nostdin -y -f lavfi -i testsrc2=size=64x48:rate=25:duration=1 -c:v mpeg2video -bf 2 "
      "-g 6 -f mpeg2video $OUT" +
          pad);
  const fs::path shorter = media::MakeByShell(
      "cache_stale_b.m2v",
      "ffmpeg -nostdin -y -f lavfi -i testsrc=size=64x48:rate=25:duration=0.5 -c:v mpeg2video "
      "-bf 2 -g 5 -f mpeg2video $OUT" +
          pad);
  Scratch scratch;
  const fs::path path = scratch.Copy(longer, "clip.m2v");
  const auto time = fs::last_write_time(path);
  ASSERT_GT(Requests(path).frames, 0);
  Write(path, media::ReadBytes(shorter));
  fs::last_write_time(path, time);
  const Opened again = Requests(path);
  EXPECT_GT(again.passes, 0u);
  ASSERT_EQ(again.frames, Requests(shorter).frames);
  ExpectReference(path, again, "changed file");
  EXPECT_EQ(Requests(path).passes, 0u);  // the new index was kept
}

// A cache file that does not hold is not used: the open indexes the file, gives its frames, and
// writes the cache file again, which the next open uses.
TEST(IndexCacheTest, ABadCacheFileIsIgnoredAndWrittenAgain) {
  Scratch scratch;
  const fs::path path = scratch.Copy(media::Named("elementary.h264"), "clip.h264");
  const fs::path other = scratch.Copy(media::Named("elementary.m2v"), "other.m2v");
  const Opened first = Requests(path);
  ASSERT_GT(Requests(other).frames, 0);
  const std::string good = media::ReadBytes(CacheFile(path));
  const std::optional<ic::Contents> contents = ic::Unwrap(good);
  ASSERT_TRUE(contents);
  const std::string key(contents->key);
  // Well formed and checksummed, but not an index of this stream.
  auto hostile = [&key](auto fill) {
    ic::Writer payload;
    fill(payload);
    return ic::Wrap(key, payload.bytes());
  };
  std::string otherVersion = good;
  otherVersion[4] ^= 1;
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x40;
  std::string garbage(good.size(), '\0');
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 131 + 7);
  const std::pair<const char*, std::string> cases[] = {
      {"truncated", good.substr(0, good.size() / 2)},
      {"header only", good.substr(0, 24)},
      {"empty", ""},
      {"a byte changed", flipped},
      {"another version", otherVersion},
      {"garbage", garbage},
      {"another file's", media::ReadBytes(CacheFile(other))},
      {"a huge count", hostile([](ic::Writer& out) {
         out.Put<uint32_t>(0);
         out.Put<uint64_t>(uint64_t{1} << 60);
       })},
      {"a frame out of range", hostile([](ic::Writer& out) {
         out.Put<uint32_t>(0);
         out.Put<uint64_t>(1);
         out.bytes().append(37, '\0');
         out.Put<uint64_t>(1);
         out.Put<int64_t>(5);
         out.Put<uint64_t>(0);
       })},
      {"a frame shown twice", hostile([](ic::Writer& out) {
         out.Put<uint32_t>(0);
         out.Put<uint64_t>(2);
         out.bytes().append(2 * 37, '\0');
         out.Put<uint64_t>(2);
         out.Put<int64_t>(1);
         out.Put<int64_t>(1);
         out.Put<uint64_t>(0);
       })},
      {"a group out of range", hostile([](ic::Writer& out) {
         out.Put<uint32_t>(2);
         out.Put<uint64_t>(1);
         out.bytes().append(37, '\0');
         out.Put<uint64_t>(1);
         out.Put<int64_t>(0);
         out.Put<uint64_t>(1);
         out.Put<uint64_t>(3);
       })},
  };
  for (const auto& [what, bytes] : cases) {
    Write(CacheFile(path), bytes);
    const Opened run = Requests(path);
    EXPECT_GT(run.passes, 0u) << what;
    EXPECT_EQ(run.frames, first.frames) << what;
    EXPECT_TRUE(run.pictures == first.pictures) << what;
    EXPECT_TRUE(media::ReadBytes(CacheFile(path)) == good) << what;
    EXPECT_EQ(Requests(path).passes, 0u) << what;
  }
}

// An order read from the headers that a decode contradicts (here a kept one with two frames
// swapped, or a shown picture left out) gives way to the order of a decode: the request that met
// it and every other get FFmpeg's pictures, the stream counts one rebuild, and the next open reads
// the decode's order.
TEST(IndexCacheTest, AContradictedOrderIsRebuiltByADecode) {
  const std::pair<const char*, void (*)(std::vector<int64_t>&)> lies[] = {
      {"two frames swapped", [](std::vector<int64_t>& order) { std::swap(order[1], order[2]); }},
      {"a frame left out", [](std::vector<int64_t>& order) { order.erase(order.begin() + 5); }},
  };
  for (const auto& [what, lie] : lies) {
    Scratch scratch;
    const fs::path path = scratch.Copy(media::Named("h264_bframes.avi"), "clip.avi");
    ASSERT_EQ(Requests(path).passes, 1u) << what;  // the packets scanned, no decode
    const std::string kept = media::ReadBytes(CacheFile(path));
    const std::optional<ic::Contents> contents = ic::Unwrap(kept);
    ASSERT_TRUE(contents);
    zr8::FrameIndex index, lying;
    ic::VideoFacts facts;
    ASSERT_TRUE(ic::DecodeVideo(contents->payload, &index, &facts));
    ASSERT_TRUE(facts.predicted);
    std::vector<int64_t> wrong = index.presentation();
    lie(wrong);
    ASSERT_TRUE(lying.Restore(index.packets(), wrong, false));
    Write(CacheFile(path), ic::Wrap(contents->key, ic::EncodeVideo(lying, facts)));

    const std::string reference = media::ReferenceVideo(path, "yuv420p");
    auto stream = Open(path);
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->indexPasses(), 0u) << what;
    const size_t size = reference.size() / index.frameCount();
    for (int64_t n = 0; n < index.frameCount(); ++n) {
      EXPECT_TRUE(handles::Picture(*stream, n) == reference.substr(n * size, size)) << what << n;
    }
    EXPECT_EQ(stream->frameCount(), index.frameCount()) << what;
    EXPECT_EQ(stream->format().frameCount, index.frameCount()) << what;
    EXPECT_EQ(stream->orderRebuilds(), 1u) << what;
    EXPECT_EQ(stream->indexPasses(), 1u) << what;  // the decode
    stream.reset();

    zr8::FrameIndex rebuilt;
    const std::string rewritten = media::ReadBytes(CacheFile(path));  // the views point into it
    const std::optional<ic::Contents> again = ic::Unwrap(rewritten);
    ASSERT_TRUE(again && ic::DecodeVideo(again->payload, &rebuilt, &facts));
    EXPECT_FALSE(facts.predicted) << what;
    EXPECT_EQ(rebuilt.presentation(), index.presentation()) << what;
    const Opened third = Requests(path);
    EXPECT_EQ(third.passes, 0u) << what;
    ExpectReference(path, third, what);
  }
}

// Two processes index the same new file at once: both exact, and the cache file they leave holds.
TEST(IndexCacheTest, TwoProcessesIndexTheSameFileAtOnce) {
  Scratch scratch;
  const fs::path path = scratch.Copy(media::Named("mpeg4_bframes.avi"), "clip.avi");
  const std::string reference = media::ReferenceVideo(path, "yuv420p");
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  pid_t children[2];
  for (pid_t& child : children) {
    child = ::fork();
    if (child == 0) {
      char go = 0;
      ::close(start[1]);
      if (::read(start[0], &go, 1) != 1) ::_exit(3);
      auto stream = Open(path);
      if (!stream || stream->frameCount() <= 0) ::_exit(4);
      const size_t size = reference.size() / stream->frameCount();
      for (int64_t n = 0; n < stream->frameCount(); ++n) {
        if (handles::Picture(*stream, n) != reference.substr(n * size, size)) ::_exit(5);
      }
      ::_exit(0);
    }
  }
  ::close(start[0]);
  EXPECT_EQ(::write(start[1], "gg", 2), 2);
  ::close(start[1]);
  for (pid_t child : children) {
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_TRUE(ic::Unwrap(media::ReadBytes(CacheFile(path))));
  const Opened run = Requests(path);
  EXPECT_EQ(run.passes, 0u);
  ExpectReference(path, run, "after two processes");
  for (const auto& entry : fs::directory_iterator(ic::Directory())) {
    EXPECT_EQ(entry.path().filename().string().find(".idx."), std::string::npos)
        << "temporary file left: " << entry.path();
  }
}

// Over its bound the folder loses its least recently used files (a read counts as a use), and
// temporary files an hour old; other files stay.
TEST(IndexCacheTest, TheFolderKeepsToItsBound) {
  Scratch scratch;
  const std::string folder = scratch.dir() / "cache";
  const std::string payload(1000, 'p');
  const auto now = fs::file_time_type::clock::now();
  for (int i = 0; i < 4; ++i) {
    const std::string name = std::string(1, 'f') += std::to_string(i);
    ASSERT_TRUE(ic::Store(folder, name, "key", payload, 1 << 20));
    fs::last_write_time(folder + "/" + name + ".idx", now - std::chrono::hours(4 - i));
  }
  Write(folder + "/detection.bin", payload);
  Write(folder + "/f9.idx.Ab12Cd", payload);
  fs::last_write_time(folder + "/f9.idx.Ab12Cd", now - std::chrono::hours(2));
  auto take = [](std::string_view payload) { return payload.size() == 1000; };
  ASSERT_TRUE(ic::Load(folder, "f0", "key", take));  // the oldest, used now
  EXPECT_FALSE(ic::Load(folder, "f1", "another key", take));
  const uint64_t fileBytes = fs::file_size(folder + "/f0.idx");
  ASSERT_TRUE(ic::Store(folder, "f4", "key", payload, 3 * fileBytes));
  for (const auto& [name, kept] :
       std::initializer_list<std::pair<const char*, bool>>{{"f0.idx", true},
                                                           {"f1.idx", false},
                                                           {"f2.idx", false},
                                                           {"f3.idx", true},
                                                           {"f4.idx", true},
                                                           {"detection.bin", true},
                                                           {"f9.idx.Ab12Cd", false}}) {
    EXPECT_EQ(fs::exists(folder + "/" + name), kept) << name;
  }
}

// ZR8READER_NO_CACHE=1: nothing read, nothing written.
TEST(IndexCacheTest, TheSwitchTurnsTheCacheOff) {
  Scratch scratch;
  const fs::path path = scratch.Copy(media::Named("elementary.m2v"), "clip.m2v");
  ASSERT_GT(Requests(path).passes, 0u);  // the cache file written, then turned off
  ASSERT_TRUE(fs::exists(CacheFile(path)));
  ::setenv("ZR8READER_NO_CACHE", "1", 1);
  EXPECT_TRUE(ic::Directory().empty());
  const fs::path unseen = scratch.Copy(media::Named("elementary.m2v"), "unseen.m2v");
  const Opened off = Requests(path), offUnseen = Requests(unseen);
  ::unsetenv("ZR8READER_NO_CACHE");
  EXPECT_GT(off.passes, 0u);
  EXPECT_GT(offUnseen.passes, 0u);
  EXPECT_FALSE(fs::exists(CacheFile(unseen)));
}

}  // namespace
