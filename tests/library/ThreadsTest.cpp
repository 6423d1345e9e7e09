// Threads: streams of one file read on several threads through one pool, the process-wide budget
// of decoder threads, and the client's read threads on the real library.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "Handles.h"
#include "ThreadBudget.h"
#include "e2e/ClientHarness.h"
#include "e2e/VideoOutput.h"

namespace {

namespace fs = std::filesystem;

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

TEST(ThreadsTest, OpenStreamsShareCoresPlusOneThreads) {
  const fs::path path = media::Named("budget.mp4");
  zr8::ThreadBudget& budget = zr8::ThreadBudget::Instance();
  std::vector<std::unique_ptr<zr8::VideoStream>> streams;
  for (int i = 0; i < 6; ++i) {
    streams.push_back(handles::OpenStream(path, handles::StreamPrefs(0x2000)));
    ASSERT_TRUE(streams.back());
    for (auto& stream : streams) handles::Picture(*stream, (7 * i) % stream->frameCount());
    int threads = 0;
    for (auto& stream : streams) {
      if (stream->decoderThreads() > 1) threads += stream->decoderThreads();
    }
    EXPECT_LE(threads, budget.total()) << i + 1 << " streams";
    EXPECT_EQ(threads, budget.inUse());
  }
  // A limit of its own; alone again, a stream takes a share of the budget at its next seek: the
  // cores, as it keeps more than one decoding position.
  auto limited = handles::OpenStream(path, handles::StreamPrefs(0x2000, 1));
  EXPECT_EQ(limited->decoderThreads(), 1);
  limited.reset();
  streams.resize(1);
  handles::Picture(*streams[0], 3);
  handles::Picture(*streams[0], 45);
  EXPECT_EQ(streams[0]->decoderThreads(), std::max(budget.total() - 1, 1));
  streams.clear();
  EXPECT_EQ(budget.inUse(), 0);
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
