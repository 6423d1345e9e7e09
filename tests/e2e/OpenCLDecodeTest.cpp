// The GPU image pool on the machine's own OpenCL loader (PoCL's CPU device in CI), end to end: the
// device listing differs by machine, so it is checked for its layout and its rule of choice.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
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

// No OpenCL platform: the set-up's own message, then the mode's, and the buffer pool goes back.
TEST(OpenCLDecode, SetUpFails) {
  ClientRun run;
  run.WithLibrary(Library::kFake);
  const auto vendors = run.dir().parent_path() / "no-vendors";
  std::filesystem::create_directory(vendors);
  setenv("OCL_ICD_VENDORS", vendors.c_str(), 1);
  const auto result = run.Run({"clip.mp4", "-video", "-extract", "-gpu_buffer"});
  unsetenv("OCL_ICD_VENDORS");
  if (result.out.find("Detected ") != std::string::npos) {
    GTEST_SKIP() << "this OpenCL loader does not take its vendors from OCL_ICD_VENDORS";
  }
  EXPECT_EQ(result.out,
            kHeader + "Error getting num platforms\nAn error occured setting up OpenCL.\n");
  EXPECT_EQ(result.CallsOf({"CreateBufferPoolCPU", "DeleteBufferPoolHandle", "OpenReadFileEx2"}),
            (Calls{"ZR8READER_CreateBufferPoolCPU => 0 bufferpool1",
                   "ZR8READER_DeleteBufferPoolHandle bufferpool1 => 0"}));
}

}  // namespace
