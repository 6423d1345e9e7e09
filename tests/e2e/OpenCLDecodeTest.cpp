// The GPU image pool end to end: on the machine's own OpenCL loader (PoCL's CPU device in CI),
// where the device listing differs by machine, so it is checked for its layout and its rule of
// choice; and where no OpenCL library loads at all.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "e2e/ClientHarness.h"
#include "e2e/VideoOutput.h"

using harness::ClientRun;
using harness::Library;
using Calls = std::vector<std::string>;

namespace {

const std::string kHeader = "\nVideo example\nFile: \"clip.mp4\"\n\n";

TEST(OpenCLDecode, DecodesIntoTheGpuImagePool) {
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig("frameCount 3");
  const auto result = run.Run({"clip.mp4", "-video", "-extract", "-gpu_buffer"});
  static const std::regex block(
      "Detected GPU devices: ([0-9]+)\n((?:Name: [^\n]*; Vendor: [^\n]*; Version: [^\n]*\n)*)"
      "Detected CPU devices: ([0-9]+)\n((?:Name: [^\n]*; Vendor: [^\n]*; Version: [^\n]*\n)*)"
      "Selected (2nd GPU|1st GPU|1st CPU) device\n");
  std::smatch listing;
  ASSERT_TRUE(std::regex_search(result.out, listing, block)) << result.out;
  EXPECT_EQ(listing.prefix().str(), kHeader);
  // The counts agree with the device lines, and the choice follows the rule.
  const int gpus = std::stoi(listing[1]);
  EXPECT_EQ(video_output::LinesWith(listing[2], "Name: ").size(), static_cast<size_t>(gpus));
  EXPECT_EQ(video_output::LinesWith(listing[4], "Name: ").size(), std::stoul(listing[3]));
  EXPECT_EQ(listing[5], gpus >= 2 ? "2nd GPU" : gpus == 1 ? "1st GPU" : "1st CPU");
  EXPECT_EQ(video_output::MaskTimes(listing.suffix().str()),
            "Frame rate:   25\nInterlace:    0\nAspect ratio: 1\nFrame size:   16x8\n"
            "Pixel format: I420\nFourCC: avc1\n\nRetrieved frame 0 in # ms\n"
            "Retrieved frame 1 in # ms\nRetrieved frame 2 in # ms\nWritten 576 bytes for  3 frames "
            "to file '" +
                harness::Prefix() +
                "zr8reader.I420'\nDecoded 3 frames in #ms\n"
                "Average Decode Time : #ms\nFrames per second: #fps\n");
  EXPECT_TRUE(result.File("zr8reader.I420") == video_output::Pictures({0, 1, 2}, 1));
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(result.Misuse().empty());
  EXPECT_EQ(result.CallsOf({"CreateImagePoolGPU", "OpenReadFileEx2", "DeleteImagePoolHandle"}),
            (Calls{"ZR8READER_CreateImagePoolGPU device=set platform=set context=set queue=set "
                   "queues=same tail=zero => 0 imagepool1",
                   "ZR8READER_OpenReadFileEx2 \"clip.mp4\" 1 bufferpool1 imagepool1 => 0 file1",
                   "ZR8READER_DeleteImagePoolHandle imagepool1 => 0"}));
}

// Where the system's OpenCL library cannot be loaded: the client starts, runs its other modes,
// and only the GPU image pool's set-up fails, with its messages, releasing the buffer pool.
TEST(OpenCLDecode, StartsWithoutAnOpenCLLibrary) {
  ClientRun run;
  run.WithLibrary(Library::kFake);
  // Linux: a libOpenCL.so.1 found first that does not load. Windows build: wine without it.
  const auto hidden = run.dir().parent_path() / "no-opencl";
  std::filesystem::create_directory(hidden);
  std::ofstream(hidden / "libOpenCL.so.1") << "not a library\n";
  setenv("LD_LIBRARY_PATH", hidden.c_str(), 1);
  setenv("WINEDLLOVERRIDES", "opencl=d", 1);
  const auto brief = run.Run({"clip.mp4", "-brief"});
  const auto video = run.Run({"clip.mp4", "-video", "-extract", "-gpu_buffer"});
  unsetenv("LD_LIBRARY_PATH");
  unsetenv("WINEDLLOVERRIDES");

  EXPECT_NE(brief.out.find("Video stream count: 1\n"), std::string::npos) << brief.out;
  EXPECT_TRUE(
      video.out.ends_with("Error getting num platforms\n"
                          "An error occured setting up OpenCL.\n"))
      << video.out;
  const Calls entryPoints = video.EntryPoints();
  ASSERT_GE(entryPoints.size(), 2u);
  EXPECT_EQ(Calls(entryPoints.end() - 2, entryPoints.end()),
            (Calls{"ZR8READER_CreateBufferPoolCPU", "ZR8READER_DeleteBufferPoolHandle"}));
}

// The client's ELF file names no OpenCL library among the ones it needs.
TEST(OpenCLDecode, DoesNotLinkTheOpenCLLibrary) {
  if (harness::IsWindowsBuild()) GTEST_SKIP() << "a Linux build's ELF file";
  const std::string command = std::string("readelf -d '") + ZR8_TEST_CLIENT + "'";
  std::FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string dynamic;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) dynamic.append(buffer, n);
  ASSERT_EQ(pclose(pipe), 0) << command;
  ASSERT_NE(dynamic.find("(NEEDED)"), std::string::npos) << dynamic;
  EXPECT_EQ(dynamic.find("libOpenCL"), std::string::npos) << dynamic;
}

}  // namespace
