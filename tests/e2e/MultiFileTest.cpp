// The multi-file decode's read threads, end to end against the fake library: each thread's random
// frame sequence, files and whole lines, and nothing released before every thread has ended.
// These tests also run in the ThreadSanitizer build, where any report on the client's stderr
// fails them. The descriptions and the runs without threads are golden cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "e2e/ClientHarness.h"
#include "e2e/VideoOutput.h"

using harness::ClientRun;
using harness::Library;
using video_output::LinesWith;
using video_output::MaskTimes;
using video_output::Pictures;
using video_output::RequestedFrames;
using Calls = std::vector<std::string>;
using Frames = std::vector<int64_t>;

namespace {

std::vector<std::string> Arguments(const std::vector<std::string>& files,
                                   const std::vector<std::string>& options) {
  std::vector<std::string> arguments{files.front(), "-video"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  for (size_t i = 1; i < files.size(); ++i) {
    arguments.push_back("-file");
    arguments.push_back(files[i]);
  }
  return arguments;
}

// The release of a finished run over n files, with handles numbered in opening order.
Calls Releases(size_t n) {
  Calls calls;
  for (size_t i = 1; i <= n; ++i) {
    const std::string file = "file" + std::to_string(i);
    calls.push_back("ZR8READER_ReadFile_CloseFile " + file + " => 0");
    calls.push_back("ZR8READER_DeleteReadVideoStreamHandle video" + std::to_string(i) + " => 0");
    calls.push_back("ZR8READER_DeleteReadFileHandle " + file + " => 0");
  }
  calls.push_back("ZR8READER_DeleteImagePoolHandle imagepool1 => 0");
  calls.push_back("ZR8READER_DeleteBufferPoolHandle bufferpool1 => 0");
  calls.push_back("ZR8READER_Uninitialize => 0");
  return calls;
}

// No race report, no handle misuse, and the releases of n files after the last frame request.
void ExpectCleanEnd(const harness::RunResult& result, size_t n) {
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(result.Misuse().empty());
  const size_t tail = 3 * n + 3;
  ASSERT_GE(result.calls.size(), tail);
  EXPECT_EQ(Calls(result.calls.end() - static_cast<ptrdiff_t>(tail), result.calls.end()),
            Releases(n));
}

// What one read thread should have done.
struct ThreadExpectation {
  uint64_t frameCount;
  Frames frames;         // requested, in order
  Frames written;        // pictures in its file
  int64_t failing = -1;  // the frame whose request failed
  bool fileBlocked = false;
};

// Checks one thread's lines, its requests and its file. Lines of different threads may come in any
// order, but each line is whole.
void ExpectThread(const harness::RunResult& result, int index, const ThreadExpectation& t) {
  SCOPED_TRACE("thread " + std::to_string(index));
  const std::string name = "zr8reader." + std::to_string(index) + ".I420";
  const std::string masked = MaskTimes(result.out);
  EXPECT_EQ(RequestedFrames(result.calls, "video" + std::to_string(index + 1)), t.frames);
  if (t.fileBlocked) {
    EXPECT_EQ(LinesWith(result.out, harness::Prefix() + name),
              Calls{"failed to open output file '" + harness::Prefix() + name + "' for writing"});
    return;
  }
  Calls retrieved;
  const std::string suffix = " for file " + std::to_string(index) + " in # ms";
  for (int64_t frame : t.written) {
    retrieved.push_back("Retrieved frame " + std::to_string(frame) + suffix);
  }
  EXPECT_EQ(LinesWith(masked, suffix), retrieved);
  // Compared as a whole, so that a difference does not print the bytes.
  EXPECT_TRUE(result.File(name) == Pictures(t.written, index + 1));

  const std::string exiting = "Exiting read thread " + std::to_string(index);
  const std::string written = "' for thread " + std::to_string(index);
  if (t.failing >= 0) {
    EXPECT_EQ(LinesWith(result.out, "retrieving frame"),
              Calls{"An error occurred retrieving frame " + std::to_string(t.failing)});
    EXPECT_TRUE(LinesWith(result.out, exiting).empty());
    EXPECT_TRUE(LinesWith(result.out, written).empty());
    return;
  }
  const uint64_t count = std::min<uint64_t>(t.frameCount, 32);
  EXPECT_EQ(
      LinesWith(result.out, written),
      Calls{"Written " + std::to_string(count * 192) + " bytes for  " + std::to_string(count) +
            " frames to file '" + harness::Prefix() + name + written});
  EXPECT_EQ(LinesWith(result.out, exiting), Calls{exiting});
}

// The three statistics lines of each thread that decoded something, whole and in the "%6.2f"
// layout (MaskTimes masks no other).
void ExpectStatistics(const harness::RunResult& result, const std::vector<uint64_t>& counts) {
  const std::string masked = MaskTimes(result.out);
  Calls expected;
  for (uint64_t count : counts)
    expected.push_back("Decoded " + std::to_string(count) + " frames in #ms");
  Calls found = LinesWith(masked, "Decoded ");
  std::sort(found.begin(), found.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);
  EXPECT_EQ(LinesWith(masked, "Average Decode Time : #ms").size(), counts.size());
  EXPECT_EQ(LinesWith(masked, "Frames per second: #fps").size(), counts.size());
}

TEST(MultiFileThreads, FourThreadsDecodeTheirOwnFiles) {
  ClientRun run;
  run.WithLibrary(Library::kFake)
      .WithConfig(
          "frameCount@a.mp4 100\nframeCount@b.mp4 10\nframeCount@c.mp4 1\n"
          "frameCount@d.mp4 40000\n");
  const auto result = run.Run(Arguments({"a.mp4", "b.mp4", "c.mp4", "d.mp4"}, {"-extract"}));
  ExpectCleanEnd(result, 4);
  // Thread 0 in order; the others from the same never-seeded sequence, per thread.
  const Frames first32 = video_output::FirstFrames(32);
  ExpectThread(result, 0, {100, first32, first32});
  const Frames ten = video_output::RandomFrames(10, 10);
  ExpectThread(result, 1, {10, ten, ten});
  ExpectThread(result, 2, {1, Frames{0}, Frames{0}});
  // Above 32768 frames, no request goes past rand's largest value.
  const Frames wide = video_output::RandomFrames(32, 40000);
  ExpectThread(result, 3, {40000, wide, wide});
  EXPECT_TRUE(std::all_of(wide.begin(), wide.end(), [](int64_t f) { return f <= 32767; }));
  ExpectStatistics(result, {32, 10, 1, 32});

  // Nothing is released before the last thread has finished.
  const auto firstRelease = std::find(result.calls.begin(), result.calls.end(),
                                      "ZR8READER_ReadFile_CloseFile file1 => 0");
  EXPECT_TRUE(std::none_of(firstRelease, result.calls.end(), [](const std::string& line) {
    return line.rfind("ZR8READER_ReadVideoStream_GetFrame", 0) == 0;
  }));
}

// One thread's failures end only that thread: a failing frame, no frames, a file that cannot be
// created, one that exists and is replaced.
TEST(MultiFileThreads, FailuresEndOnlyTheirThread) {
  ClientRun run;
  run.WithLibrary(Library::kFake)
      .WithConfig(
          "frameCount@a.mp4 5\nframeCount@b.mp4 0\nframeCount@c.mp4 20\n"
          "failFrame@c.mp4 9\nframeCount@d.mp4 3\n");
  std::ofstream(run.dir() / "zr8reader.0.I420") << std::string(200000, 'x');
  std::filesystem::create_directory(run.dir() / "zr8reader.3.I420");
  const auto result = run.Run(Arguments({"a.mp4", "b.mp4", "c.mp4", "d.mp4"}, {"-extract"}));
  ExpectCleanEnd(result, 4);
  ExpectThread(result, 0, {5, video_output::FirstFrames(5), video_output::FirstFrames(5)});
  // No frames: an empty file, the "Written" and exit lines, no statistics.
  ExpectThread(result, 1, {0, Frames{}, Frames{}});
  EXPECT_TRUE(result.HasFile("zr8reader.1.I420"));
  // 41 % 20 = 1, 18467 % 20 = 7, 6334 % 20 = 14, 26500 % 20 = 0, then 19169 % 20 = 9 fails.
  ExpectThread(result, 2, {20, Frames{1, 7, 14, 0, 9}, Frames{1, 7, 14, 0}, 9});
  ExpectThread(result, 3, {3, Frames{}, Frames{}, -1, true});
  ExpectStatistics(result, {5});
}

// The same file twice: independent handles, two threads, two files.
TEST(MultiFileThreads, SameFileTwice) {
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig("frameCount 4\n");
  const auto result = run.Run(Arguments({"a.mp4", "a.mp4"}, {"-extract", "-dualstream"}));
  ExpectCleanEnd(result, 2);
  ExpectThread(result, 0, {4, Frames{0, 1, 2, 3}, Frames{0, 1, 2, 3}});
  const Frames random = video_output::RandomFrames(4, 4);
  ExpectThread(result, 1, {4, random, random});
  EXPECT_EQ(result.CallsOf({"OpenReadFileEx"}),
            (Calls{"ZR8READER_OpenReadFileEx \"a.mp4\" 1 bufferpool1 => 0 file1",
                   "ZR8READER_OpenReadFileEx \"a.mp4\" 1 bufferpool1 => 0 file2"}));
}

}  // namespace
