// Threads: streams of one file read on several threads through one pool, the threads and memory of
// the process against the library's account, and the client's read threads on the real library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <barrier>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "Account.h"
#include "AudioStream.h"
#include "Handles.h"
#include "PictureMemory.h"
#include "e2e/ClientHarness.h"
#include "e2e/VideoOutput.h"

namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentIsOwn = false;  // a sanitizer's shadow memory counts in the resident set
#else
constexpr bool kResidentIsOwn = true;
#endif

TEST(ThreadsTest, StreamsOnSeveralThreadsShareOnePool) {
  void* raw = nullptr;
  ASSERT_EQ(ZR8READER_CreateImagePoolCPU(&raw), 0);
  handles::ImagePool pool(raw);
  ASSERT_EQ(ZR8READER_CreateBufferPoolCPU(&raw), 0);
  handles::BufferPool buffers(raw);
  const fs::path path = media::Named("video_long.mp4");
  const std::string reference = media::ReferenceVideo(path, "yuv420p");
  handles::File file = handles::OpenFile(path, buffers.get());
  ASSERT_TRUE(file);

  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      handles::Video video = handles::OpenVideo(file.get(), 0x2000, pool.get());
      const int64_t count = video ? ZR8READER_ReadVideoStream_GetFrameCount(video.get()) : 0;
      failures[t] = count > 0 ? 0 : 1000;
      std::mt19937 random(t);
      for (int i = 0; i < 30 && count > 0; ++i) {
        const int64_t n = t == 0 ? i : int64_t(random() % count);
        const std::string expected = media::Pictures(reference, {n}, media::kSmallPicture);
        if (handles::Frame(video.get(), n) != expected) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

// Eight streams of a 1080p clip decode on eight threads (half of them converted to RGBA, so that
// converters run; random requests, so that streams keep several decoding positions). Where every
// thread waits, the process's own figures are held against the library's account: the threads
// beyond this test's own are exactly those it counts, and the resident memory gained stays within
// what it counts plus what a decoder holds beside its pictures. Once the streams are closed,
// nothing is counted but the pictures the recycler keeps.
TEST(ThreadsTest, ProcessThreadsAndMemoryAreThoseOfTheAccount) {
  const fs::path path = media::Named("account_1080p.mp4");
  auto tasks = [] {
    return std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator());
  };
  auto resident = [] {
    std::ifstream statm("/proc/self/statm");
    int64_t size = 0, pages = 0;
    statm >> size >> pages;
    return pages * sysconf(_SC_PAGESIZE);
  };
  using zr8::Account;
  using zr8::Held;
  // ThreadSanitizer's runtime starts a thread of its own with the first one the process starts.
  std::thread([] {}).join();
  const int64_t threadsBefore = tasks(), countedBefore = Account::Threads();
  const int64_t residentBefore = resident(), bytesBefore = Account::Bytes();
  const int64_t keptBefore = static_cast<int64_t>(zr8::PictureMemory::Instance().keptBytes());
  const int64_t picturesBefore = Account::Of(Held::kPictureBytes);
  ASSERT_EQ(Account::Of(Held::kDecoders), 0);

  // Frames are asked for and let go of, not copied: the test's own copies would count.
  auto fetch = [](zr8::VideoStream& stream, int64_t n) {
    zr8::Image* image = nullptr;
    if (stream.GetFrame(n, &image) != 0) return false;
    delete image;
    return true;
  };
  constexpr int kStreams = 8;
  std::barrier meet(kStreams + 1);
  std::vector<int> failures(kStreams, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kStreams; ++t) {
    threads.emplace_back([&, t] {
      auto stream = handles::OpenStream(path, handles::StreamPrefs(t % 2 == 0 ? 0x2000 : 0x0100));
      for (int64_t n : {0, 1, 2, 3, 30, 4, 5, 45, 12}) {
        if (!stream || !fetch(*stream, (n + 3 * t) % 50)) ++failures[t];
      }
      meet.arrive_and_wait();  // counted
      meet.arrive_and_wait();
      for (int64_t n : {20, 40, 21, 7, 41}) {
        if (!stream || !fetch(*stream, (n + t) % 50)) ++failures[t];
      }
      meet.arrive_and_wait();  // counted
      meet.arrive_and_wait();
      stream.reset();
      meet.arrive_and_wait();  // counted
      meet.arrive_and_wait();
    });
  }
  for (int phase = 0; phase < 2; ++phase) {
    meet.arrive_and_wait();
    const int64_t counted = Account::Threads() - countedBefore;
    EXPECT_EQ(tasks() - threadsBefore, kStreams + counted) << "phase " << phase;
    const int cores = av_cpu_count();
    EXPECT_EQ(Account::Of(Held::kConverterThreads), cores > 1 ? kStreams / 2 * cores : 0);
    // Beside what the account counts, each stream holds a few MB: its converter's filter tables
    // and line buffers, its objects, its thread's stack and allocation arena.
    const int64_t gained = resident() - residentBefore;
    const int64_t bytes = Account::Bytes() - bytesBefore;
    if (kResidentIsOwn) {
      EXPECT_LE(gained, bytes + kStreams * (int64_t{4} << 20)) << "phase " << phase;
    }
    std::printf(
        "%d streams at 1080p: %lld library threads (%lld decoders, %lld of their threads, "
        "%lld converter threads); %lld MB resident gained, %lld MB counted\n",
        kStreams, static_cast<long long>(tasks() - threadsBefore - kStreams),
        static_cast<long long>(Account::Of(Held::kDecoders)),
        static_cast<long long>(Account::Of(Held::kDecoderThreads)),
        static_cast<long long>(Account::Of(Held::kConverterThreads)),
        static_cast<long long>(gained >> 20), static_cast<long long>(bytes >> 20));
    meet.arrive_and_wait();
  }
  meet.arrive_and_wait();
  EXPECT_EQ(tasks() - threadsBefore, kStreams);
  EXPECT_EQ(Account::Threads(), countedBefore);
  EXPECT_EQ(Account::Of(Held::kDecoders), 0);
  EXPECT_EQ(Account::Of(Held::kReaderBytes) + Account::Of(Held::kDecoderBytes), 0);
  EXPECT_EQ(Account::Of(Held::kPictureBytes) -
                static_cast<int64_t>(zr8::PictureMemory::Instance().keptBytes()),
            picturesBefore - keptBefore);
  {
    // Alone, a stream's decoders run frame threads of their own: counted as well.
    auto alone = handles::OpenStream(path, handles::StreamPrefs(0x2000));
    ASSERT_TRUE(alone);
    for (int64_t n : {0, 30, 1, 45}) EXPECT_TRUE(fetch(*alone, n)) << n;
    EXPECT_GE(alone->cursors(), 2u);
    EXPECT_EQ(Account::Of(Held::kDecoderThreads) > 0, av_cpu_count() > 1);
    EXPECT_EQ(tasks() - threadsBefore, kStreams + Account::Threads() - countedBefore);
  }
  meet.arrive_and_wait();
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kStreams; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

// A lossless stream read from its start decodes on frame threads, as many as the process has
// beyond its own, counted while the stream lives; the samples are the full decode's.
TEST(ThreadsTest, AudioReadFromItsStartCountsItsFrameThreads) {
  const fs::path path = media::Named("flac.flac");
  const std::vector<float> reference = media::ReferenceAudio(path);
  auto tasks = [] {
    return std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator());
  };
  std::thread([] {}).join();  // ThreadSanitizer's own thread, as above
  const int64_t threadsBefore = tasks(), countedBefore = zr8::Account::Threads();
  {
    auto stream = zr8::AudioStream::Open(path.string(), 0, zr8::MemoryPool::Create());
    ASSERT_TRUE(stream);
    const int channels = stream->format().channels;
    std::vector<float> all, block(4096 * static_cast<size_t>(channels));
    int64_t read = 0;
    for (int64_t start = 0; start < stream->sampleCount(); start += read) {
      ASSERT_GE(stream->GetSamples(start, block.data(), 4096, &read), 0);
      ASSERT_GT(read, 0);
      all.insert(all.end(), block.begin(), block.begin() + read * channels);
      const int64_t counted = zr8::Account::Threads() - countedBefore;
      EXPECT_EQ(counted > 0, std::thread::hardware_concurrency() > 1);
      EXPECT_EQ(tasks() - threadsBefore, counted);
    }
    EXPECT_TRUE(all == reference);
  }
  EXPECT_EQ(zr8::Account::Threads(), countedBefore);
  EXPECT_EQ(tasks(), threadsBefore);
}

// The client's read threads, one per file (the same file twice among them): each writes the
// frames it asked for, and the report names every thread.
TEST(ThreadsTest, ReadThreadsOfTheClientWriteTheirOwnFrames) {
  const fs::path longClip = media::Named("video_long.mp4"),
                 shortClip = media::Named("video_short.webm");
  const std::string longReference = media::ReferenceVideo(longClip, "yuv420p");
  const std::string shortReference = media::ReferenceVideo(shortClip, "yuv420p");
  harness::ClientRun run;
  run.WithLibrary(harness::Library::kReal);
  fs::copy_file(longClip, run.dir() / "a.mp4");
  fs::copy_file(shortClip, run.dir() / "b.webm");
  const auto result = run.Run({"a.mp4", "-video", "-extract", "-file", "b.webm", "-file", "a.mp4"});
  const std::pair<const std::string&, std::vector<int64_t>> expected[] = {
      {longReference, video_output::FirstFrames(32)},
      {shortReference, video_output::RandomFrames(32, 45)},
      {longReference, video_output::RandomFrames(32, 200)}};
  for (int t = 0; t < 3; ++t) {
    EXPECT_TRUE(result.File("zr8reader." + std::to_string(t) + ".I420") ==
                media::Pictures(expected[t].first, expected[t].second, media::kSmallPicture))
        << "thread " << t;
    EXPECT_NE(result.out.find("Exiting read thread " + std::to_string(t) + "\n"),
              std::string::npos);
  }
  EXPECT_NE(result.out.find("  Frame count:   45\n"), std::string::npos);
}

}  // namespace
