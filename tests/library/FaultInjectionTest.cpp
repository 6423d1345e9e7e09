// Faults under open streams: the file renamed, cut, replaced by another clip or by a directory, or
// deleted between calls, no file descriptor left, no memory left. Each read then gives an error
// status or the exact samples or picture, never a crash; once the fault is undone, every read is
// served again.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>

#include "DecodeCursor.h"
#include "Handles.h"

namespace {

namespace fs = std::filesystem;

// H.264 (key frames each second) and Opus (which decodes from the start at a backward read, so
// that every such read opens the file again), the index at the end of the file.
const char* kClip =
    "-f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi -i sine=frequency=500:duration=3 -ac 2 -t 3 "
    "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a libopus -b:a 48k";
// The same coding of other content, for a file replaced under the stream.
const char* kOtherClip =
    "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=frequency=700:duration=3 -ac 2 -t 3 "
    "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a libopus -b:a 48k";

enum class Fault { kRenamed, kCut, kReplaced, kDirectory, kDeleted, kNoDescriptors };

struct Case {
  const char* name;
  Fault fault;
  bool video;
  bool mustFail;  // some read under the fault cannot be served
};

const Case kCases[] = {
    {"RenamedVideo", Fault::kRenamed, true, false},
    {"RenamedAudio", Fault::kRenamed, false, true},
    {"CutVideo", Fault::kCut, true, true},
    {"CutAudio", Fault::kCut, false, true},
    {"ReplacedVideo", Fault::kReplaced, true, false},
    {"ReplacedAudio", Fault::kReplaced, false, true},
    {"DirectoryVideo", Fault::kDirectory, true, false},
    {"DirectoryAudio", Fault::kDirectory, false, true},
    {"DeletedVideo", Fault::kDeleted, true, false},
    {"DeletedAudio", Fault::kDeleted, false, true},
    {"NoDescriptorsVideo", Fault::kNoDescriptors, true, false},
    {"NoDescriptorsAudio", Fault::kNoDescriptors, false, true},
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Applies the fault to the file at `path` (whose bytes are `bytes`); the returned function undoes
// it.
std::function<void()> Inflict(Fault fault, const fs::path& path, const std::string& bytes) {
  const fs::path aside = path.string() + ".aside";
  switch (fault) {
    case Fault::kRenamed:
      fs::rename(path, aside);
      return [=] { fs::rename(aside, path); };
    case Fault::kCut:  // in place: open readers see it too
      fs::resize_file(path, bytes.size() / 4);
      return [=] { Write(path, bytes); };
    case Fault::kReplaced:
      fs::copy_file(media::Make("fault_other.mp4", kOtherClip), aside,
                    fs::copy_options::overwrite_existing);
      fs::rename(aside, path);
      return [=] {
        Write(aside, bytes);
        fs::rename(aside, path);
      };
    case Fault::kDirectory:  // unreadable even by root
      fs::rename(path, aside);
      fs::create_directory(path);
      return [=] {
        fs::remove(path);
        fs::rename(aside, path);
      };
    case Fault::kDeleted:
      fs::remove(path);
      return [=] { Write(path, bytes); };
    case Fault::kNoDescriptors: {
      rlimit saved{};
      getrlimit(RLIMIT_NOFILE, &saved);
      const int lowest = dup(0);  // the next descriptor opened, now beyond the limit
      close(lowest);
      rlimit none = saved;
      none.rlim_cur = static_cast<rlim_t>(lowest);
      setrlimit(RLIMIT_NOFILE, &none);
      return [=] { setrlimit(RLIMIT_NOFILE, &saved); };
    }
  }
  return [] {};
}

class FaultInjectionTest : public testing::TestWithParam<Case> {};

TEST_P(FaultInjectionTest, ReadsFailOrAreExactAndRecover) {
  const Case& c = GetParam();
  const fs::path path = media::Dir() / (std::string("fault_") + c.name + ".mp4");
  const fs::path clip = media::Make("fault_clip.mp4", kClip);
  fs::remove_all(path);  // what an earlier run left
  fs::copy_file(clip, path);
  const std::string bytes = media::ReadBytes(path);
  handles::File file = handles::OpenFile(path);
  ASSERT_TRUE(file);

  // Reads of frames or sample runs spread over the stream, each against FFmpeg's decode.
  std::function<int32_t(int64_t)> read;  // the status of a read, which must be exact when served
  int64_t length = 0;
  handles::Video video;
  handles::Audio audio;
  std::string pictures;
  std::vector<float> samples;
  if (c.video) {
    video = handles::OpenVideo(file.get(), ZR8_PIXEL_I420);
    ASSERT_TRUE(video);
    pictures = media::ReferenceVideo(clip, "yuv420p");
    length = ZR8READER_ReadVideoStream_GetFrameCount(video.get());
    ASSERT_EQ(static_cast<size_t>(length) * media::kSmallPicture, pictures.size());
    read = [&](int64_t n) {
      void* raw = nullptr;
      const int32_t status = ZR8READER_ReadVideoStream_GetFrame(video.get(), n, &raw);
      if (status < 0) return status;
      handles::Image image(raw);
      const auto* data = static_cast<const char*>(ZR8READER_Image_LockForCPU(raw, 1));
      EXPECT_EQ(std::string(data, media::kSmallPicture),
                pictures.substr(n * media::kSmallPicture, media::kSmallPicture))
          << "frame " << n;
      ZR8READER_Image_Unlock(raw);
      return status;
    };
  } else {
    audio = handles::OpenAudio(file.get(), 0);
    ASSERT_TRUE(audio);
    samples = media::ReferenceAudio(clip);
    length = ZR8READER_ReadAudioStream_GetSampleCount(audio.get());
    ASSERT_EQ(static_cast<size_t>(length) * 2, samples.size());
    read = [&](int64_t start) {
      std::vector<float> got(2 * 1024);
      int64_t frames = 0;
      const int32_t status =
          ZR8READER_ReadAudioStream_GetSamples(audio.get(), start, got.data(), 1024, &frames);
      if (status < 0) return status;
      got.resize(static_cast<size_t>(frames) * 2);
      EXPECT_TRUE(std::equal(got.begin(), got.end(), samples.begin() + start * 2))
          << "samples from " << start;
      return status;
    };
  }
  // Reads at fractions of the stream: two before the fault; under it, reads in the second group
  // (whose key frame a cut to a quarter leaves out of reach: the cursor that seeks there loses its
  // reader, and the next request meets that cursor) and backward ones, which open the file again.
  auto at = [&](int per100) { return std::min(length * per100 / 100, length - 1); };
  for (int per100 : {99, 0}) EXPECT_GE(read(at(per100)), 0) << per100;

  const std::function<void()> undo = Inflict(c.fault, path, bytes);
  int failed = 0;
  for (int per100 : {60, 55, 3, 90, 1, 60, 3, 0, 45}) failed += read(at(per100)) < 0 ? 1 : 0;
  undo();
  EXPECT_TRUE(failed > 0 || !c.mustFail);
  for (int per100 : {60, 3, 90, 1, 0, 45}) EXPECT_GE(read(at(per100)), 0) << per100;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultInjectionTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// A packet read after a seek that is not the one the index holds there (a demuxer that cuts
// packets otherwise after a seek, a file changed since) is not numbered: the run is lost, and no
// picture from it or after it comes out.
TEST(FaultInjection, PacketsOtherThanTheIndexsAreNotNumbered) {
  const fs::path clip = media::Make("fault_clip.mp4", kClip);
  zr8::StreamSource source;
  source.path = clip.string();
  ASSERT_TRUE(source.Describe(zr8::OpenMedia(source.path).get()));
  zr8::DecodeCursor scan;
  ASSERT_TRUE(scan.Open(source, 1, nullptr));
  std::vector<zr8::PacketEntry> packets;
  for (; scan.ReadOwnPacket(); av_packet_unref(scan.packet())) {
    const AVPacket& p = *scan.packet();
    packets.push_back(
        {p.pts, p.dts, p.pos, p.duration, p.size, (p.flags & AV_PKT_FLAG_KEY) != 0, true});
  }
  constexpr int64_t kOther = 32;  // in the second group (key frames every 25)
  packets[kOther].size += 1;
  zr8::FrameIndex index;
  ASSERT_TRUE(index.OrderByTimes(packets));
  ASSERT_GT(index.keys().size(), 2u);
  for (bool fromStart : {false, true}) {
    zr8::DecodeCursor cursor;
    ASSERT_TRUE(cursor.Open(source, 1, nullptr));
    ASSERT_TRUE(cursor.SeekToKey(source, index, index.keys()[1], fromStart));
    zr8::DecodeCursor::Step step;
    int64_t shown = zr8::FrameIndex::kNone;
    while ((step = cursor.Next(index, index.frameCount() - 1, false, false, false, &shown)) ==
           zr8::DecodeCursor::Step::kFrame) {
      EXPECT_LT(shown, kOther);  // the pictures before the first packet read otherwise
      av_frame_unref(cursor.frame());
    }
    EXPECT_EQ(step, zr8::DecodeCursor::Step::kLost) << fromStart;
  }
}

// No memory left: files opened and read in child processes with their address space limited to a
// little more than they use, so that allocations, decoders' threads and the audio count's threads
// fail at different places. Each read fails or succeeds; no child dies.
TEST(FaultInjection, NoMemoryLeftIsAnError) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer's reserved memory leaves no room for a limit";
#endif
  const fs::path clip = media::Make("fault_clip.mp4", kClip);
  for (int megabytes : {0, 1, 4, 16, 64}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::ifstream status("/proc/self/statm");
      size_t pages = 0;
      status >> pages;
      const rlim_t used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
      const rlimit limit{used + (static_cast<rlim_t>(megabytes) << 20), RLIM_INFINITY};
      setrlimit(RLIMIT_AS, &limit);
      void* file = nullptr;
      const std::wstring wide = platform::BytesToWide(clip.string());
      if (ZR8READER_OpenReadFile(&file, wide.c_str(), 3) >= 0) {
        void* audio = nullptr;
        if (ZR8READER_ReadFile_OpenAudioStream(file, 0, &audio) >= 0) {
          std::vector<float> got(2 * 4096);
          int64_t frames = 0;
          for (int64_t start : {70000, 0}) {
            ZR8READER_ReadAudioStream_GetSamples(audio, start, got.data(), 4096, &frames);
          }
          ZR8READER_DeleteReadAudioStreamHandle(audio);
        }
        handles::Video video = handles::OpenVideo(file, ZR8_PIXEL_I420);
        for (int64_t n : {74, 0, 40}) {
          if (video) handles::Frame(video.get(), n);
        }
        video.reset();
        ZR8READER_DeleteReadFileHandle(file);
      }
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << megabytes << " MB: " << (WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : "exit");
  }
}

}  // namespace
