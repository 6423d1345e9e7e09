// The client's edges: sample counts at the limit of int64_t, deliveries larger than the request
// within the block, and a machine without an OpenCL library.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/ClientHarness.h"

using harness::ClientRun;
using harness::Library;
using Calls = std::vector<std::string>;

namespace {

const std::string kPcm = "zr8reader.pcm";

std::string WrittenLine(int64_t frames, int channels) {
  return "Written " + std::to_string(frames) + " samples (" +
         std::to_string(frames * channels * 4) + " bytes) to file '" + harness::Prefix() + kPcm +
         "'\n";
}

// A count just above the lowest int64_t: the first block completes the extraction, where
// subtracting it from the count would overflow and ask again.
TEST(ClientEdge, SampleCountAtTheLowestInt64CompletesAfterTheFirstBlock) {
  for (const char* count : {"-9223372036854775808", "-9223372036854775807"}) {
    ClientRun run;
    run.WithLibrary(Library::kFake)
        .WithConfig(std::string("audio.sampleCount ") + count + "\naudio.available 10\n");
    const auto result = run.Run({"clip.mp4", "-audio", "-extract"});
    EXPECT_TRUE(result.out.ends_with(WrittenLine(10, 2))) << result.out;
    EXPECT_EQ(result.CallsOf({"ReadAudioStream_GetSamples"}),
              Calls{"ZR8READER_ReadAudioStream_GetSamples audio1 0 4096 => 0 10"});
    EXPECT_EQ(result.File(kPcm).size(), 10u * 2 * 4);
  }
}

// More frames than asked for, but within the 4,096-frame block: written, and the extraction goes
// on from behind them.
TEST(ClientEdge, ALargerDeliveryWithinTheBlockIsWritten) {
  ClientRun run;
  run.WithLibrary(Library::kFake)
      .WithConfig("audio.sampleCount 4300\naudio.blocks 4000\naudio.overcount 50\n");
  const auto result = run.Run({"clip.mp4", "-audio", "-extract"});
  EXPECT_EQ(result.CallsOf({"ReadAudioStream_GetSamples"}),
            (Calls{"ZR8READER_ReadAudioStream_GetSamples audio1 0 4096 => 0 4050",
                   "ZR8READER_ReadAudioStream_GetSamples audio1 4050 250 => 0 300"}));
  EXPECT_TRUE(result.out.ends_with(WrittenLine(4350, 2))) << result.out;
  EXPECT_EQ(result.File(kPcm).size(), 4350u * 2 * 4);
  EXPECT_TRUE(result.Misuse().empty());
}

// Where the system's OpenCL library cannot be loaded: the client starts, runs its other modes,
// and only the GPU image pool's set-up fails, with its messages, releasing the buffer pool.
TEST(ClientEdge, StartsWithoutAnOpenCLLibrary) {
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
TEST(ClientEdge, DoesNotLinkTheOpenCLLibrary) {
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
