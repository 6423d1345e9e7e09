// The single-file decode, end to end against the fake library: call order and releases on every
// path, the requested decode preferences, the frame file, the per-frame and statistics lines, and
// the OpenCL set-up on the machine's own OpenCL loader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include "e2e/ClientHarness.h"
#include "e2e/VideoOutput.h"

using harness::ClientRun;
using harness::Library;
using video_output::MaskedStatistics;
using video_output::MaskTimes;
using video_output::Pictures;
using Calls = std::vector<std::string>;
using Frames = std::vector<int64_t>;

namespace {

const std::string kHeader = "\nVideo example\nFile: \"clip.mp4\"\n\n";
// The fake's default stream.
const std::string kDescription =
    "Frame rate:   25\nInterlace:    0\nAspect ratio: 1\nFrame size:   16x8\n"
    "Pixel format: I420\nFourCC: avc1\n\n";
const std::string kFrameFile = "zr8reader.I420";

// The DecodePrefs record as the fake logs it, field by field by offset.
const std::string kNoCuda = "56:0 60:0 64:null 72:null";
const std::string kCudaReady = "56:1 60:3 64:0xc1 72:0xc2";
const std::string kNoAmf = "80:0 88:0 96:1 104:null 112:null";
const std::string kAmfReady = "80:1 88:0 96:1 104:0xa1 112:0xa2";

std::string Prefs(int useOptimal, int pixelType, int hardware, int flag36,
                  const std::string& cuda = kNoCuda, const std::string& amf = kNoAmf) {
  return "{0:1 8:1 16:" + std::to_string(useOptimal) + " 20:" + std::to_string(pixelType) +
         " 24:0 28:" + std::to_string(hardware) + " 32:0 36:" + std::to_string(flag36) +
         " 40:23.976 48:0 52:0 " + cuda + " " + amf + "}";
}
// What the client passes to GetDecodePrefs: a record holding the defaults.
const std::string kDefaultPrefs = Prefs(0, 8192, 0, 0);

std::string FrameLines(const Frames& frames) {
  std::string lines;
  for (int64_t frame : frames) lines += "Retrieved frame " + std::to_string(frame) + " in # ms\n";
  return lines;
}

std::string WrittenLine(uint64_t bytes, int64_t frames) {
  return "Written " + std::to_string(bytes) + " bytes for  " + std::to_string(frames) +
         " frames to file '" + harness::Prefix() + kFrameFile + "'\n";
}

// The listing of the OpenCL set-up, checked for its layout and removed.
std::string WithoutOpenCLListing(const std::string& out, std::string* listing = nullptr) {
  static const std::regex block(
      "Detected GPU devices: [0-9]+\n(Name: [^\n]*; Vendor: [^\n]*; Version: [^\n]*\n)*"
      "Detected CPU devices: [0-9]+\n(Name: [^\n]*; Vendor: [^\n]*; Version: [^\n]*\n)*"
      "Selected (2nd GPU|1st GPU|1st CPU) device\n");
  std::smatch match;
  if (!std::regex_search(out, match, block)) return out;
  if (listing != nullptr) *listing = match.str();
  return match.prefix().str() + match.suffix().str();
}

TEST(VideoDecode, DescribesAndReleasesWithoutExtraction) {
  ClientRun run;
  run.WithLibrary(Library::kFake);
  const auto result = run.Run({"clip.mp4", "-video"});
  EXPECT_EQ(result.out, kHeader + kDescription);
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.calls,
            (Calls{
                "ZR8READER_Initialize => 0",
                "ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference 0 => 0",
                "ZR8READER_FIOPluginPrefs_SetCUDAContext 0 null null => 0",
                "ZR8READER_FIOPluginPrefs_SetAMFContext 0 1 null null => 0",
                "ZR8READER_IsSupported \"clip.mp4\" => 1",
                "ZR8READER_CreateBufferPoolCPU => 0 bufferpool1",
                "ZR8READER_OpenReadFileEx2 \"clip.mp4\" 1 bufferpool1 null => 0 file1",
                "ZR8READER_ReadFile_GetVideoStreamCount file1 => 1",
                "ZR8READER_ReadFile_OpenVideoStream file1 0 " + Prefs(1, 8192, 0, 1) +
                    " null => 0 video1",
                "ZR8READER_ReadVideoStream_GetDecodePrefs video1 " + kDefaultPrefs + " => 0",
                "ZR8READER_ReadVideoStream_GetStreamLength video1 => 4000000",
                "ZR8READER_ReadVideoStream_GetFrameCount video1 => 10",
                "ZR8READER_ReadVideoStream_GetFormat video1 => 0",
                "ZR8READER_ReadVideoStream_GetCompressedFormat video1 => 0",
                "ZR8READER_ReadFile_CloseFile file1 => 0",
                "ZR8READER_DeleteReadVideoStreamHandle video1 => 0",
                "ZR8READER_DeleteImagePoolHandle null => 0",
                "ZR8READER_DeleteReadFileHandle file1 => 0",
                "ZR8READER_DeleteBufferPoolHandle bufferpool1 => 0",
                "ZR8READER_Uninitialize => 0",
            }));
  EXPECT_FALSE(result.HasFile(kFrameFile));
}

struct ExtractionCase {
  const char* what;
  const char* config;
  bool dualStream;
  Frames requested;    // in request order
  int64_t reported;    // framesToDecode, as the "Written " line and the statistics give it
  uint32_t imageSize;  // bytes per picture

  // Test names show the case, not its bytes.
  friend void PrintTo(const ExtractionCase& c, std::ostream* os) { *os << c.what; }
};

class VideoExtraction : public testing::TestWithParam<ExtractionCase> {};

TEST_P(VideoExtraction, WritesEveryPictureInRequestOrder) {
  const ExtractionCase& c = GetParam();
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig(c.config);
  std::vector<std::string> arguments{"clip.mp4", "-video", "-extract"};
  if (c.dualStream) arguments.push_back("-dualstream");
  const auto result = run.Run(arguments);

  const uint64_t bytes = c.requested.size() * c.imageSize;
  std::string expected =
      kHeader + kDescription + FrameLines(c.requested) + WrittenLine(bytes, c.reported);
  if (c.reported > 0) expected += MaskedStatistics(c.reported);
  EXPECT_EQ(MaskTimes(result.out), expected);
  EXPECT_EQ(video_output::CountWellFormedStatistics(result.out), c.reported > 0 ? 1 : 0);
  EXPECT_EQ(video_output::RequestedFrames(result.calls, "video1"), c.requested);
  EXPECT_EQ(result.File(kFrameFile).size(), bytes);
  EXPECT_TRUE(result.File(kFrameFile) == Pictures(c.requested, 1, c.imageSize));
  EXPECT_TRUE(result.Misuse().empty());
  // Every image is locked, measured, unlocked and deleted before the next request.
  const auto images = result.CallsOf({"ReadVideoStream_GetFrame", "Image_LockForCPU",
                                      "Image_TotalSize", "Image_Unlock", "DeleteImageHandle"});
  ASSERT_EQ(images.size(), 5 * c.requested.size());
  for (size_t i = 0; i < c.requested.size(); ++i) {
    const std::string image = "image" + std::to_string(i + 1);
    EXPECT_EQ(images[5 * i], "ZR8READER_ReadVideoStream_GetFrame video1 " +
                                 std::to_string(c.requested[i]) + " => 0 " + image);
    EXPECT_EQ(images[5 * i + 1], "ZR8READER_Image_LockForCPU " + image + " 1 => bytes");
    EXPECT_EQ(images[5 * i + 2],
              "ZR8READER_Image_TotalSize " + image + " => " + std::to_string(c.imageSize));
    EXPECT_EQ(images[5 * i + 3], "ZR8READER_Image_Unlock " + image + " => 0");
    EXPECT_EQ(images[5 * i + 4], "ZR8READER_DeleteImageHandle " + image + " => 0");
  }
  const Calls entries = result.EntryPoints();
  EXPECT_EQ(Calls(entries.end() - 6, entries.end()),
            (Calls{"ZR8READER_ReadFile_CloseFile", "ZR8READER_DeleteReadVideoStreamHandle",
                   "ZR8READER_DeleteImagePoolHandle", "ZR8READER_DeleteReadFileHandle",
                   "ZR8READER_DeleteBufferPoolHandle", "ZR8READER_Uninitialize"}));
}

Frames DualPasses(int64_t passes, int64_t middle) {
  Frames frames;
  for (int64_t i = 0; i < passes; ++i) {
    frames.push_back(i);
    frames.push_back(middle + i);
  }
  return frames;
}

INSTANTIATE_TEST_SUITE_P(
    VideoDecode, VideoExtraction,
    testing::Values(
        ExtractionCase{"FiveFrames", "frameCount 5", false, video_output::FirstFrames(5), 5, 192},
        ExtractionCase{"CappedAt128", "frameCount 300", false, video_output::FirstFrames(128), 128,
                       192},
        ExtractionCase{"Exactly128", "frameCount 128\nimageSize 7", false,
                       video_output::FirstFrames(128), 128, 7},
        ExtractionCase{"DualStreamFromTheMiddle", "frameCount 300", true, DualPasses(32, 150), 64,
                       192},
        // An odd count: three passes write six pictures (frame 2 twice), five are reported.
        ExtractionCase{"DualStreamOddCount", "frameCount 5", true, Frames{0, 2, 1, 3, 2, 4}, 5,
                       192},
        ExtractionCase{"DualStreamOneFrame", "frameCount 1", true, Frames{0, 0}, 1, 192},
        ExtractionCase{"DualStreamCappedAt64", "frameCount 65\nimageSize 1000", true,
                       DualPasses(32, 32), 64, 1000},
        ExtractionCase{"NoFrames", "frameCount 0", false, Frames{}, 0, 192},
        ExtractionCase{"NegativeCount", "frameCount -4", true, Frames{}, -4, 192}),
    [](const auto& info) { return info.param.what; });

// The frame file is named after the pixel type the library reports, here its choice with -optimal.
TEST(VideoDecode, FrameFileIsNamedAfterThePixelType) {
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig("frameCount 2\nvideo.pixelType 8193\n");
  const auto result = run.Run({"clip.mp4", "-video", "-extract", "-optimal"});
  EXPECT_EQ(
      video_output::LinesWith(result.out, "Written "),
      Calls{"Written 384 bytes for  2 frames to file '" + harness::Prefix() + "zr8reader.NV12'"});
  EXPECT_TRUE(result.File("zr8reader.NV12") == Pictures({0, 1}, 1));
  EXPECT_FALSE(result.HasFile(kFrameFile));
}

struct RetrievalFailureCase {
  const char* what;
  const char* config;
  bool dualStream;
  Frames written;
  int64_t failing;

  // Test names show the case, not its bytes.
  friend void PrintTo(const RetrievalFailureCase& c, std::ostream* os) { *os << c.what; }
};

class VideoRetrievalFailure : public testing::TestWithParam<RetrievalFailureCase> {};

// A failed request ends the mode without totals; the pictures before it stay in the file.
TEST_P(VideoRetrievalFailure, StopsAtTheFailingFrame) {
  const RetrievalFailureCase& c = GetParam();
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig(c.config);
  std::vector<std::string> arguments{"clip.mp4", "-video", "-extract"};
  if (c.dualStream) arguments.push_back("-dualstream");
  const auto result = run.Run(arguments);
  EXPECT_EQ(MaskTimes(result.out), kHeader + kDescription + FrameLines(c.written) +
                                       "An error occurred retrieving frame " +
                                       std::to_string(c.failing) + "\n");
  EXPECT_TRUE(result.File(kFrameFile) == Pictures(c.written, 1));
  const auto calls = result.calls;
  ASSERT_GE(calls.size(), 5u);
  EXPECT_EQ(Calls(calls.end() - 5, calls.end()),
            (Calls{"ZR8READER_ReadVideoStream_GetFrame video1 " + std::to_string(c.failing) +
                       " => -2147467259",
                   "ZR8READER_DeleteReadVideoStreamHandle video1 => 0",
                   "ZR8READER_DeleteImagePoolHandle null => 0",
                   "ZR8READER_DeleteReadFileHandle file1 => 0",
                   "ZR8READER_DeleteBufferPoolHandle bufferpool1 => 0"}));
  EXPECT_TRUE(result.Misuse().empty());
}

INSTANTIATE_TEST_SUITE_P(
    VideoDecode, VideoRetrievalFailure,
    testing::Values(RetrievalFailureCase{"Frame7", "frameCount 20\nfailFrame 7", false,
                                         video_output::FirstFrames(7), 7},
                    RetrievalFailureCase{"FirstFrame", "failFrame 0", false, Frames{}, 0},
                    RetrievalFailureCase{"SecondOfAPair", "frameCount 12\nfailFrame 7", true,
                                         Frames{0, 6, 1}, 7}),
    [](const auto& info) { return info.param.what; });

// A frame file that cannot be created: the message after the description, the stream released
// in order without uninitialising, and no request made.
TEST(VideoDecode, FrameFileDoesNotOpen) {
  ClientRun run;
  run.WithLibrary(Library::kFake);
  std::filesystem::create_directory(run.dir() / kFrameFile);
  const auto result = run.Run({"clip.mp4", "-video", "-extract"});
  EXPECT_EQ(result.out, kHeader + kDescription + "failed to open output file '" +
                            harness::Prefix() + kFrameFile + "' for writing\n");
  const Calls entries = result.EntryPoints();
  ASSERT_GE(entries.size(), 5u);
  EXPECT_EQ(Calls(entries.end() - 5, entries.end()),
            (Calls{"ZR8READER_ReadVideoStream_GetCompressedFormat",
                   "ZR8READER_DeleteReadVideoStreamHandle", "ZR8READER_DeleteImagePoolHandle",
                   "ZR8READER_DeleteReadFileHandle", "ZR8READER_DeleteBufferPoolHandle"}));
  EXPECT_TRUE(result.CallsOf({"ReadVideoStream_GetFrame"}).empty());
  EXPECT_EQ(result.status, 255);
}

struct HardwareCase {
  const char* what;
  std::vector<std::string> options;
  const char* config;
  std::string initText;  // between the file header and the description
  Calls initCalls;
  Calls preferenceCalls;
  std::string requestedPrefs;
  Calls releaseCalls;  // after ZR8READER_Uninitialize

  // Test names show the case, not its bytes.
  friend void PrintTo(const HardwareCase& c, std::ostream* os) { *os << c.what; }
};

class VideoHardware : public testing::TestWithParam<HardwareCase> {};

TEST_P(VideoHardware, InitialisesAndRequestsTheDecoder) {
  const HardwareCase& c = GetParam();
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig(c.config);
  std::vector<std::string> arguments{"clip.mp4", "-video"};
  arguments.insert(arguments.end(), c.options.begin(), c.options.end());
  const auto result = run.Run(arguments);
  EXPECT_EQ(result.out, kHeader + c.initText + kDescription);
  EXPECT_EQ(result.CallsOf({"InitCUDA", "InitAMF", "InitQSV"}), c.initCalls);
  // The decoder query comes only with a hardware choice, between its initialisation and the
  // library's.
  const Calls entries = result.EntryPoints();
  const bool hardware = !c.initCalls.empty();
  const size_t initCount = c.initCalls.size();
  ASSERT_GE(entries.size(), initCount + 2);
  EXPECT_EQ(entries[initCount],
            hardware ? "ZR8READER_GetSupportedHardwareDecoders" : "ZR8READER_Initialize");
  EXPECT_EQ(result.CallsOf({"GetSupportedHardwareDecoders"}),
            hardware ? Calls{"ZR8READER_GetSupportedHardwareDecoders 10 records => 0 0"} : Calls{});
  EXPECT_EQ(result.CallsOf({"FIOPluginPrefs_SetHardwareDecoderPreference",
                            "FIOPluginPrefs_SetCUDAContext", "FIOPluginPrefs_SetAMFContext"}),
            c.preferenceCalls);
  EXPECT_EQ(result.CallsOf({"ReadFile_OpenVideoStream"}),
            Calls{"ZR8READER_ReadFile_OpenVideoStream file1 0 " + c.requestedPrefs +
                  " null => 0 video1"});
  const auto uninitialize =
      std::find(result.calls.begin(), result.calls.end(), "ZR8READER_Uninitialize => 0");
  ASSERT_NE(uninitialize, result.calls.end());
  EXPECT_EQ(Calls(uninitialize + 1, result.calls.end()), c.releaseCalls);
}

Calls PreferenceCalls(int hardware, const std::string& cuda, const std::string& amf) {
  return {
      "ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference " + std::to_string(hardware) + " => 0",
      "ZR8READER_FIOPluginPrefs_SetCUDAContext " + cuda + " => 0",
      "ZR8READER_FIOPluginPrefs_SetAMFContext 0 1 " + amf + " => 0"};
}

// A case with at most one initialisation and one release call ("" for none).
HardwareCase Hw(const char* what, std::vector<std::string> options, const char* config,
                std::string initText, const std::string& init, int hardware,
                const std::string& cuda, const std::string& amf, std::string requested,
                const std::string& release = "") {
  return {what,
          std::move(options),
          config,
          std::move(initText),
          init.empty() ? Calls{} : Calls{"ZR8READER_" + init},
          PreferenceCalls(hardware, cuda, amf),
          std::move(requested),
          release.empty() ? Calls{} : Calls{"ZR8READER_" + release}};
}

const std::string kNoContext = "0 null null";
const std::string kFailed = " => -2147467259";

INSTANTIATE_TEST_SUITE_P(
    VideoDecode, VideoHardware,
    testing::Values(
        Hw("None", {}, "", "", "", 0, kNoContext, "null null", Prefs(1, 8192, 0, 1)),
        Hw("NoneWordOptimal", {"-optimal", "-hardware", "NONE"}, "", "", "", 0, kNoContext,
           "null null", Prefs(1, 0, 0, 1)),
        Hw("Nvidia", {"-hardware", "NVIDIA"}, "", "CUDA Init OK:\nFake CUDA device\n",
           "InitCUDA 0 512 => 0 3 0xc1 0xc2", 4, "3 0xc1 0xc2", "null null",
           Prefs(1, 8192, 4, 1, kCudaReady), "UninitCUDA 3 0xc1 0xc2 => 0"),
        Hw("NvidiaOptimal", {"-optimal", "-hardware", "NVIDIA"},
           "cuda.id 7\ncuda.text GPU 0: Fake \xc3\xa9"
           "dition",
           "CUDA Init OK:\nGPU 0: Fake \xc3\xa9"
           "dition\n",
           "InitCUDA 0 512 => 0 7 0xc1 0xc2", 4, "7 0xc1 0xc2", "null null",
           Prefs(1, 0, 4, 1, "56:1 60:7 64:0xc1 72:0xc2"), "UninitCUDA 7 0xc1 0xc2 => 0"),
        // The failure text has no line end: the description follows on the same line.
        Hw("NvidiaFails", {"-hardware", "NVIDIA"}, "fail ZR8READER_InitCUDA",
           "Failed to initialize CUDA subsystem", "InitCUDA 0 512" + kFailed, 4, kNoContext,
           "null null", Prefs(1, 8192, 4, 1)),
        Hw("Amd", {"-hardware", "AMD"}, "", "AMF Init OK:\nFake AMF device\n",
           "InitAMF 0 1 512 => 0 0xa1 0xa2", 3, kNoContext, "0xa1 0xa2",
           Prefs(1, 8192, 3, 1, kNoCuda, kAmfReady), "UninitAMF 0xa1 0xa2 => 0"),
        Hw("AmdFails", {"-hardware", "AMD", "-optimal"}, "fail ZR8READER_InitAMF",
           "Failed to initialize AMF subsystem", "InitAMF 0 1 512" + kFailed, 3, kNoContext,
           "null null", Prefs(1, 0, 3, 1)),
        // QSV puts only its code into the record; its context goes back after a good run.
        Hw("Intel", {"-hardware", "INTEL"}, "", "QSV Init OK:\nFake QSV device\n",
           "InitQSV 0 0 512 => 0 0x51", 2, kNoContext, "null null", Prefs(1, 8192, 2, 1),
           "UninitQSV 0x51 => 0"),
        Hw("IntelFails", {"-hardware", "INTEL"}, "fail ZR8READER_InitQSV",
           "Failed to initialize QSV subsystem", "InitQSV 0 0 512" + kFailed, 2, kNoContext,
           "null null", Prefs(1, 8192, 2, 1))),
    [](const auto& info) { return info.param.what; });

// The GPU path on the machine's own OpenCL loader (PoCL's CPU device in CI), end to end.
TEST(VideoDecode, DecodesIntoTheGpuImagePool) {
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig("frameCount 3");
  const auto result = run.Run({"clip.mp4", "-video", "-extract", "-gpu_buffer"});
  std::string listing;
  const std::string rest = WithoutOpenCLListing(result.out, &listing);
  ASSERT_FALSE(listing.empty()) << result.out;
  EXPECT_EQ(result.out.substr(0, kHeader.size() + listing.size()), kHeader + listing);
  EXPECT_EQ(MaskTimes(rest), kHeader + kDescription + FrameLines({0, 1, 2}) + WrittenLine(576, 3) +
                                 MaskedStatistics(3));
  EXPECT_TRUE(result.File(kFrameFile) == Pictures({0, 1, 2}, 1));
  EXPECT_EQ(result.err, "");

  // The counts agree with the device lines, and the choice follows the rule.
  std::smatch counts;
  ASSERT_TRUE(std::regex_search(listing, counts,
                                std::regex("Detected GPU devices: ([0-9]+)\n(?:.*\n)*"
                                           "Detected CPU devices: ([0-9]+)\n")));
  const int gpus = std::stoi(counts[1]);
  const int cpus = std::stoi(counts[2]);
  EXPECT_EQ(video_output::LinesWith(listing, "Name: ").size(), static_cast<size_t>(gpus + cpus));
  const std::string selection = gpus >= 2   ? "Selected 2nd GPU device\n"
                                : gpus == 1 ? "Selected 1st GPU device\n"
                                            : "Selected 1st CPU device\n";
  EXPECT_TRUE(listing.ends_with(selection)) << listing;
  if (gpus == 0) {
    // This machine's PoCL: one CPU device listed with its name, vendor and version.
    EXPECT_TRUE(listing.starts_with("Detected GPU devices: 0\nDetected CPU devices: "));
    EXPECT_TRUE(std::regex_search(listing, std::regex("\nName: [^;\n]+; Vendor: [^;\n]+; "
                                                      "Version: OpenCL [^\n]+\n")))
        << listing;
  }

  EXPECT_EQ(result.CallsOf({"CreateImagePoolGPU", "OpenReadFileEx2", "ReadFile_OpenVideoStream"}),
            (Calls{"ZR8READER_CreateImagePoolGPU device=set platform=set context=set queue=set "
                   "queues=same tail=zero => 0 imagepool1",
                   "ZR8READER_OpenReadFileEx2 \"clip.mp4\" 1 bufferpool1 imagepool1 => 0 file1",
                   "ZR8READER_ReadFile_OpenVideoStream file1 0 " + Prefs(1, 8192, 0, 1) +
                       " imagepool1 => 0 video1"}));
  const Calls calls = result.calls;
  EXPECT_EQ(
      Calls(calls.end() - 6, calls.end()),
      (Calls{"ZR8READER_ReadFile_CloseFile file1 => 0",
             "ZR8READER_DeleteReadVideoStreamHandle video1 => 0",
             "ZR8READER_DeleteImagePoolHandle imagepool1 => 0",
             "ZR8READER_DeleteReadFileHandle file1 => 0",
             "ZR8READER_DeleteBufferPoolHandle bufferpool1 => 0", "ZR8READER_Uninitialize => 0"}));
  EXPECT_TRUE(result.Misuse().empty());
}

// No OpenCL platform: the set-up's own message, then the mode's, and the buffer pool goes back.
TEST(VideoDecode, OpenCLSetUpFails) {
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
  EXPECT_EQ(result.out, kHeader +
                            "Error getting num platforms\n"
                            "An error occured setting up OpenCL.\n");
  EXPECT_EQ(result.EntryPoints(),
            (Calls{"ZR8READER_Initialize", "ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference",
                   "ZR8READER_FIOPluginPrefs_SetCUDAContext",
                   "ZR8READER_FIOPluginPrefs_SetAMFContext", "ZR8READER_IsSupported",
                   "ZR8READER_CreateBufferPoolCPU", "ZR8READER_DeleteBufferPoolHandle"}));
}

}  // namespace
