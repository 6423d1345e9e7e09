// The multi-file decode's read threads against the fake library; also run in the ThreadSanitizer
// build, where a report on the client's stderr fails it. The runs without threads are golden cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "e2e/ClientHarness.h"
#include "e2e/VideoOutput.h"
#include "fake/FakeContent.h"

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

// Checks one thread's frame requests, its file, and its lines: whole and in order, whatever other
// threads' lines come between. failing: the last frame requested fails; blocked: no output file.
void ExpectThread(const harness::RunResult& result, int index, const Frames& frames,
                  bool failing = false, bool blocked = false) {
  SCOPED_TRACE("thread " + std::to_string(index));
  const std::string n = std::to_string(index);
  const std::string name = harness::Prefix() + "zr8reader." + n + ".I420";
  const std::string request =
      "ZR8READER_ReadVideoStream_GetFrame video" + std::to_string(index + 1);
  Frames requested;
  for (const std::string& line : result.calls) {
    if (line.starts_with(request + " "))
      requested.push_back(std::stoll(line.substr(request.size())));
  }
  EXPECT_EQ(requested, frames);
  Frames written(frames.begin(), frames.end() - (failing ? 1 : 0));
  Calls expected;
  if (blocked) expected.push_back("failed to open output file '" + name + "' for writing");
  for (int64_t frame : written) {
    expected.push_back("Retrieved frame " + std::to_string(frame) + " for file " + n + " in # ms");
  }
  if (!failing && !blocked) {
    expected.push_back("Written " + std::to_string(written.size() * 192) + " bytes for  " +
                       std::to_string(written.size()) + " frames to file '" + name +
                       "' for thread " + n);
    expected.push_back("Exiting read thread " + n);
  }
  Calls lines;
  for (const std::string& line : harness::Lines(video_output::MaskTimes(result.out))) {
    if (line.find(" for file " + n + " in ") != std::string::npos ||
        line.find(name) != std::string::npos || line.ends_with(" thread " + n)) {
      lines.push_back(line);
    }
  }
  EXPECT_EQ(lines, expected);
  if (!blocked) {  // compared as a whole, so that a difference does not print the bytes
    EXPECT_TRUE(result.File("zr8reader." + n + ".I420") == fake::Pictures(written, index + 1));
  }
}

// Eight threads: in order, at random (above 32768 frames no request goes past rand's largest
// value), a failing frame, no frames, a file that cannot be created and one that exists and is
// replaced. One thread's failure ends only that thread; the same file twice gets handles of its
// own; nothing is released before every thread has ended.
TEST(MultiFileThreads, EachThreadDecodesItsOwnFile) {
  harness::ClientRun run;
  std::ofstream(run.dir() / "zr8reader.0.I420") << std::string(200000, 'x');
  std::filesystem::create_directory(run.dir() / "zr8reader.6.I420");
  run.WithLibrary(harness::Library::kFake)
      .WithConfig(
          "frameCount@a.mp4 100\nframeCount@b.mp4 10\nframeCount@c.mp4 1\nframeCount@d.mp4 "
          "40000\nframeCount@e.mp4 0\nframeCount@f.mp4 20\nfailFrame@f.mp4 9\nframeCount@g.mp4 "
          "5\n");
  const auto result = run.Run({"a.mp4", "-video", "-extract", "-dualstream", "-file", "b.mp4",
                               "-file", "c.mp4", "-file", "d.mp4", "-file", "e.mp4", "-file",
                               "f.mp4", "-file", "g.mp4", "-file", "a.mp4"});
  EXPECT_EQ(result.err, "");  // no race report
  ExpectThread(result, 0, FirstFrames(32));
  ExpectThread(result, 1, RandomFrames(10, 10));
  ExpectThread(result, 2, {0});
  ExpectThread(result, 3, RandomFrames(32, 40000));
  ExpectThread(result, 4, {});  // no frames: an empty file, no statistics
  EXPECT_TRUE(std::filesystem::exists(result.dir / "zr8reader.4.I420"));
  // 41 % 20 = 1, 18467 % 20 = 7, 6334 % 20 = 14, 26500 % 20 = 0, then 19169 % 20 = 9 fails.
  ExpectThread(result, 5, {1, 7, 14, 0, 9}, true);
  EXPECT_EQ(LinesWith(result.out, "retrieving frame"),
            Calls{"An error occurred retrieving frame 9"});
  ExpectThread(result, 6, {}, false, true);
  ExpectThread(result, 7, RandomFrames(32, 100));
  // The three statistics lines of each thread that decoded something, in the "%6.2f" layout
  // (MaskTimes masks no other).
  const std::string masked = video_output::MaskTimes(result.out);
  Calls decoded = LinesWith(masked, "Decoded ");
  std::sort(decoded.begin(), decoded.end());
  EXPECT_EQ(decoded, (Calls{"Decoded 1 frames in #ms", "Decoded 10 frames in #ms",
                            "Decoded 32 frames in #ms", "Decoded 32 frames in #ms",
                            "Decoded 32 frames in #ms"}));
  EXPECT_EQ(LinesWith(masked, "Average Decode Time : #ms").size(), 5u);
  EXPECT_EQ(LinesWith(masked, "Frames per second: #fps").size(), 5u);
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
  for (const std::string last :
       {"DeleteImagePoolHandle imagepool1", "DeleteBufferPoolHandle bufferpool1", "Uninitialize"}) {
    releases.push_back("ZR8READER_" + last + " => 0");
  }
  const auto first = std::find(result.calls.begin(), result.calls.end(), releases.front());
  EXPECT_EQ(Calls(first, result.calls.end()), releases);
}

}  // namespace
