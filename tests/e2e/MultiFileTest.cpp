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
#include "fake/FakeContent.h"

using harness::ClientRun;
using Calls = std::vector<std::string>;
using Frames = std::vector<int64_t>;
using video_output::FirstFrames;
using video_output::RandomFrames;

namespace {

// The lines of text that contain needle, in order.
Calls LinesWith(const std::string& text, const std::string& needle) {
  Calls lines;
  for (const std::string& line : harness::Lines(text)) {
    if (line.find(needle) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

// What one read thread should have done.
struct Thread {
  uint64_t frameCount;
  Frames frames;         // requested, in order
  Frames written;        // pictures in its file
  int64_t failing = -1;  // the frame whose request failed
  bool fileBlocked = false;
};

// Checks one thread's lines, its requests and its file. Lines of different threads may come in any
// order, but each line is whole.
void ExpectThread(const harness::RunResult& result, int index, const Thread& t) {
  SCOPED_TRACE("thread " + std::to_string(index));
  const std::string n = std::to_string(index);
  const std::string name = harness::Prefix() + "zr8reader." + n + ".I420";
  Frames requested;
  const std::string request =
      "ZR8READER_ReadVideoStream_GetFrame video" + std::to_string(index + 1) + " ";
  for (const std::string& line : result.calls) {
    if (line.starts_with(request)) requested.push_back(std::stoll(line.substr(request.size())));
  }
  EXPECT_EQ(requested, t.frames);
  if (t.fileBlocked) {
    EXPECT_EQ(LinesWith(result.out, name),
              Calls{"failed to open output file '" + name + "' for writing"});
    return;
  }
  Calls retrieved;
  const std::string suffix = " for file " + n + " in # ms";
  for (int64_t frame : t.written) {
    retrieved.push_back("Retrieved frame " + std::to_string(frame) + suffix);
  }
  EXPECT_EQ(LinesWith(video_output::MaskTimes(result.out), suffix), retrieved);
  // Compared as a whole, so that a difference does not print the bytes.
  EXPECT_TRUE(result.File("zr8reader." + n + ".I420") == fake::Pictures(t.written, index + 1));

  const uint64_t count = std::min<uint64_t>(t.frameCount, 32);
  const Calls written{"Written " + std::to_string(count * 192) + " bytes for  " +
                      std::to_string(count) + " frames to file '" + name + "' for thread " + n};
  const Calls exiting{"Exiting read thread " + n};
  EXPECT_EQ(LinesWith(result.out, "' for thread " + n), t.failing >= 0 ? Calls{} : written);
  EXPECT_EQ(LinesWith(result.out, exiting[0]), t.failing >= 0 ? Calls{} : exiting);
  if (t.failing >= 0) {
    EXPECT_EQ(LinesWith(result.out, "retrieving frame"),
              Calls{"An error occurred retrieving frame " + std::to_string(t.failing)});
  }
}

// The three statistics lines of each thread that decoded something, whole and in the "%6.2f"
// layout (MaskTimes masks no other).
void ExpectStatistics(const harness::RunResult& result, Calls decoded) {
  const std::string masked = video_output::MaskTimes(result.out);
  Calls found = LinesWith(masked, "Decoded ");
  std::sort(found.begin(), found.end());
  std::sort(decoded.begin(), decoded.end());
  EXPECT_EQ(found, decoded);
  EXPECT_EQ(LinesWith(masked, "Average Decode Time : #ms").size(), decoded.size());
  EXPECT_EQ(LinesWith(masked, "Frames per second: #fps").size(), decoded.size());
}

// Eight threads: in order, at random (above 32768 frames no request goes past rand's largest
// value), a failing frame, no frames, a file that cannot be created and one that exists and is
// replaced. One thread's failure ends only that thread; the same file twice gets handles of its
// own; nothing is released before every thread has ended.
TEST(MultiFileThreads, EachThreadDecodesItsOwnFile) {
  ClientRun run;
  std::ofstream(run.dir() / "zr8reader.0.I420") << std::string(200000, 'x');
  std::filesystem::create_directory(run.dir() / "zr8reader.6.I420");
  run.WithLibrary(harness::Library::kFake)
      .WithConfig(
          "frameCount@a.mp4 100\nframeCount@b.mp4 10\nframeCount@c.mp4 1\nframeCount@d.mp4 40000\n"
          "frameCount@e.mp4 0\nframeCount@f.mp4 20\nfailFrame@f.mp4 9\nframeCount@g.mp4 5\n");
  const auto result = run.Run({"a.mp4", "-video", "-extract", "-dualstream", "-file", "b.mp4",
                               "-file", "c.mp4", "-file", "d.mp4", "-file", "e.mp4", "-file",
                               "f.mp4", "-file", "g.mp4", "-file", "a.mp4"});
  EXPECT_EQ(result.err, "");  // no race report
  ExpectThread(result, 0, {100, FirstFrames(32), FirstFrames(32)});
  ExpectThread(result, 1, {10, RandomFrames(10, 10), RandomFrames(10, 10)});
  ExpectThread(result, 2, {1, Frames{0}, Frames{0}});
  ExpectThread(result, 3, {40000, RandomFrames(32, 40000), RandomFrames(32, 40000)});
  // No frames: an empty file, the "Written" and exit lines, no statistics.
  ExpectThread(result, 4, {0, Frames{}, Frames{}});
  EXPECT_TRUE(std::filesystem::exists(result.dir / "zr8reader.4.I420"));
  // 41 % 20 = 1, 18467 % 20 = 7, 6334 % 20 = 14, 26500 % 20 = 0, then 19169 % 20 = 9 fails.
  ExpectThread(result, 5, {20, Frames{1, 7, 14, 0, 9}, Frames{1, 7, 14, 0}, 9});
  ExpectThread(result, 6, {5, Frames{}, Frames{}, -1, true});
  ExpectThread(result, 7, {100, RandomFrames(32, 100), RandomFrames(32, 100)});
  ExpectStatistics(
      result, {"Decoded 32 frames in #ms", "Decoded 10 frames in #ms", "Decoded 1 frames in #ms",
               "Decoded 32 frames in #ms", "Decoded 32 frames in #ms"});
  const Calls opens = result.CallsOf({"OpenReadFileEx"});
  ASSERT_EQ(opens.size(), 8u);
  EXPECT_EQ(opens[7], "ZR8READER_OpenReadFileEx \"a.mp4\" 1 bufferpool1 => 0 file8");
  // The releases, all after the last frame request.
  Calls releases;
  for (int n = 1; n <= 8; ++n) {
    for (const std::string release :
         {"ReadFile_CloseFile file", "DeleteReadVideoStreamHandle video",
          "DeleteReadFileHandle file"}) {
      releases.push_back("ZR8READER_" + release + std::to_string(n) + " => 0");
    }
  }
  for (const char* last :
       {"DeleteImagePoolHandle imagepool1", "DeleteBufferPoolHandle bufferpool1", "Uninitialize"}) {
    releases.push_back(std::string("ZR8READER_") + last + " => 0");
  }
  const auto first = std::find(result.calls.begin(), result.calls.end(), releases.front());
  EXPECT_EQ(Calls(first, result.calls.end()), releases);
}

}  // namespace
