// The multi-file decode, end to end against the fake library: the descriptions, the failures while
// opening, the requested decode preferences, and the read threads' frames, files and lines. These
// tests also run in the ThreadSanitizer build, where any report on the client's stderr fails them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

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

std::string Header(const std::string& first, size_t count) {
  return "Will process " + std::to_string(count) + " files\n\nVideo example\nFile: \"" + first +
         "\"\n\n";
}

std::string Description(const std::string& name, uint64_t frameCount,
                        const std::string& size = "16x8", const std::string& pixel = "I420") {
  return "File: " + name + "\n  Frame rate:   25\n  Interlace:    0\n  Aspect ratio: 1\n" +
         "  Frame size:   " + size + "\n  Pixel format: " + pixel + "\n  FourCC: avc1\n" +
         "  Frame count:   " + std::to_string(frameCount) + "\n";
}

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

Calls Tail(const Calls& calls, size_t n) {
  return n > calls.size() ? calls : Calls(calls.end() - static_cast<ptrdiff_t>(n), calls.end());
}

void ExpectNoRace(const harness::RunResult& result) {
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(result.Misuse().empty());
}

const std::string kRequested =
    "{0:1 8:1 16:0 20:8192 24:0 28:0 32:0 36:1 40:23.976 48:0 52:0 56:0 60:0 64:null 72:null "
    "80:0 88:0 96:1 104:null 112:null}";
const std::string kDefaults =
    "{0:1 8:1 16:0 20:8192 24:0 28:0 32:0 36:0 40:23.976 48:0 52:0 56:0 60:0 64:null 72:null "
    "80:0 88:0 96:1 104:null 112:null}";

TEST(MultiFile, DescribesEveryFileWithoutDecoding) {
  ClientRun run;
  run.WithLibrary(Library::kFake)
      .WithConfig(
          "frameCount@b.mp4 0\nvideo.width@b.mp4 1920\nvideo.height@b.mp4 1080\n"
          "video.pixelType@b.mp4 8193\n");
  const auto result = run.Run(Arguments({"a.mp4", "b.mp4"}, {"-dualstream", "-gpu_buffer"}));
  EXPECT_EQ(result.out, Header("a.mp4", 2) + Description("a.mp4", 10) +
                            Description("b.mp4", 0, "1920x1080", "NV12") + "\n");
  EXPECT_EQ(result.status, 255);
  Calls expected{
      "ZR8READER_Initialize => 0",
      "ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference 0 => 0",
      "ZR8READER_FIOPluginPrefs_SetCUDAContext 0 null null => 0",
      "ZR8READER_FIOPluginPrefs_SetAMFContext 0 1 null null => 0",
      "ZR8READER_CreateBufferPoolCPU => 0 bufferpool1",
      "ZR8READER_CreateImagePoolCPU => 0 imagepool1",
  };
  for (const auto& [name, n, frames] :
       {std::tuple{"a.mp4", "1", 10}, std::tuple{"b.mp4", "2", 0}}) {
    const std::string file = std::string("file") + n;
    const std::string video = std::string("video") + n;
    const Calls perFile{
        std::string("ZR8READER_IsSupported \"") + name + "\" => 1",
        std::string("ZR8READER_OpenReadFileEx \"") + name + "\" 1 bufferpool1 => 0 " + file,
        "ZR8READER_ReadFile_GetVideoStreamCount " + file + " => 1",
        "ZR8READER_ReadFile_OpenVideoStream " + file + " 0 " + kRequested + " imagepool1 => 0 " +
            video,
        "ZR8READER_ReadVideoStream_GetDecodePrefs " + video + " " + kDefaults + " => 0",
        "ZR8READER_ReadVideoStream_GetFrameCount " + video + " => " + std::to_string(frames),
        "ZR8READER_ReadVideoStream_GetFormat " + video + " => 0",
        "ZR8READER_ReadVideoStream_GetCompressedFormat " + video + " => 0",
    };
    expected.insert(expected.end(), perFile.begin(), perFile.end());
  }
  const Calls releases = Releases(2);
  expected.insert(expected.end(), releases.begin(), releases.end());
  EXPECT_EQ(result.calls, expected);
  EXPECT_FALSE(result.HasFile("zr8reader.0.I420"));
  ExpectNoRace(result);
}

struct OpenFailureCase {
  const char* what;
  const char* config;
  std::string message;
  Calls lastCalls;  // the failing call and the releases after it

  // Test names show the case, not its bytes.
  friend void PrintTo(const OpenFailureCase& c, std::ostream* os) { *os << c.what; }
};

class MultiFileOpenFailure : public testing::TestWithParam<OpenFailureCase> {};

// A failure on the second of three files: the first is described, the third never opened, no
// thread starts, and everything obtained goes back in the order of the normal release.
TEST_P(MultiFileOpenFailure, EndsAtTheSecondFile) {
  const OpenFailureCase& c = GetParam();
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig(c.config);
  const auto result = run.Run(Arguments({"a.mp4", "b.mp4", "c.mp4"}, {"-extract"}));
  EXPECT_EQ(result.out, Header("a.mp4", 3) + Description("a.mp4", 10) + c.message);
  EXPECT_EQ(Tail(result.calls, c.lastCalls.size()), c.lastCalls);
  EXPECT_TRUE(result.CallsOf({"IsSupported"}).size() == 2);
  EXPECT_TRUE(result.CallsOf({"ReadVideoStream_GetFrame"}).empty());
  EXPECT_FALSE(result.HasFile("zr8reader.0.I420"));
  ExpectNoRace(result);
}

const Calls kFirstFileReleases{"ZR8READER_ReadFile_CloseFile file1 => 0",
                               "ZR8READER_DeleteReadVideoStreamHandle video1 => 0",
                               "ZR8READER_DeleteReadFileHandle file1 => 0"};
const Calls kPoolReleases{"ZR8READER_DeleteImagePoolHandle imagepool1 => 0",
                          "ZR8READER_DeleteBufferPoolHandle bufferpool1 => 0",
                          "ZR8READER_Uninitialize => 0"};

Calls Then(Calls first, const std::vector<Calls>& rest) {
  for (const Calls& part : rest) first.insert(first.end(), part.begin(), part.end());
  return first;
}

// The second file, opened but without a usable stream.
const Calls kSecondFileReleases{"ZR8READER_ReadFile_CloseFile file2 => 0",
                                "ZR8READER_DeleteReadFileHandle file2 => 0"};
const Calls kSecondStreamReleases{"ZR8READER_ReadFile_CloseFile file2 => 0",
                                  "ZR8READER_DeleteReadVideoStreamHandle video2 => 0",
                                  "ZR8READER_DeleteReadFileHandle file2 => 0"};

INSTANTIATE_TEST_SUITE_P(
    MultiFile, MultiFileOpenFailure,
    testing::Values(OpenFailureCase{"NotSupported", "supported@b.mp4 0",
                                    "The specified file 'b.mp4' is not of a supported type.\n",
                                    Then({"ZR8READER_IsSupported \"b.mp4\" => 0"},
                                         {kFirstFileReleases, kPoolReleases})},
                    OpenFailureCase{"NoVideo", "videoStreams@b.mp4 0",
                                    "The specified file does not contain video.\n",
                                    Then({"ZR8READER_ReadFile_GetVideoStreamCount file2 => 0"},
                                         {kFirstFileReleases, kSecondFileReleases, kPoolReleases})},
                    OpenFailureCase{
                        "FormatFails", "fail ZR8READER_ReadVideoStream_GetFormat 2",
                        "An error occurred access the video format details.\n",
                        Then({"ZR8READER_ReadVideoStream_GetFormat video2 => -2147467259"},
                             {kFirstFileReleases, kSecondStreamReleases, kPoolReleases})}),
    [](const auto& info) { return info.param.what; });

struct MultiHardwareCase {
  const char* what;
  std::vector<std::string> options;
  const char* config;
  std::string initText;
  Calls hardwareCalls;  // initialisation and release of the subsystem, in order
  std::string preference;
  std::string requested;  // the varying fields of the requested record

  // Test names show the case, not its bytes.
  friend void PrintTo(const MultiHardwareCase& c, std::ostream* os) { *os << c.what; }
};

class MultiFileHardware : public testing::TestWithParam<MultiHardwareCase> {};

TEST_P(MultiFileHardware, RequestsTheSameRecordForEveryStream) {
  const MultiHardwareCase& c = GetParam();
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig(c.config);
  const auto result = run.Run(Arguments({"a.mp4", "b.mp4"}, c.options));
  EXPECT_EQ(result.out, Header("a.mp4", 2) + c.initText + Description("a.mp4", 10) +
                            Description("b.mp4", 10) + "\n");
  EXPECT_EQ(
      result.CallsOf({"InitCUDA", "InitAMF", "InitQSV", "UninitCUDA", "UninitAMF", "UninitQSV"}),
      c.hardwareCalls);
  EXPECT_TRUE(result.CallsOf({"GetSupportedHardwareDecoders"}).empty());
  EXPECT_EQ(
      result.CallsOf({"FIOPluginPrefs_SetHardwareDecoderPreference"}),
      Calls{"ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference " + c.preference + " => 0"});
  const auto opens = result.CallsOf({"ReadFile_OpenVideoStream"});
  ASSERT_EQ(opens.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(opens[i], "ZR8READER_ReadFile_OpenVideoStream file" + std::to_string(i + 1) + " 0 " +
                            c.requested + " imagepool1 => 0 video" + std::to_string(i + 1));
  }
  ExpectNoRace(result);
}

std::string Requested(int optimal, int hardware, const std::string& cuda, const std::string& amf) {
  return "{0:1 8:1 16:" + std::to_string(optimal) + " 20:" + (optimal ? "0" : "8192") +
         " 24:0 28:" + std::to_string(hardware) + " 32:0 36:1 40:23.976 48:0 52:0 " + cuda + " " +
         amf + "}";
}

const std::string kNoCuda = "56:0 60:0 64:null 72:null";
const std::string kNoAmf = "80:0 88:0 96:1 104:null 112:null";

MultiHardwareCase MultiHw(const char* what, std::vector<std::string> options, const char* config,
                          std::string initText, Calls hardwareCalls, std::string preference,
                          std::string requested) {
  return {what,
          std::move(options),
          config,
          std::move(initText),
          std::move(hardwareCalls),
          std::move(preference),
          std::move(requested)};
}

INSTANTIATE_TEST_SUITE_P(
    MultiFile, MultiFileHardware,
    testing::Values(
        MultiHw("Optimal", {"-optimal"}, "", "", {}, "0", Requested(1, 0, kNoCuda, kNoAmf)),
        // INTEL: no QSV context in this mode, but the preference is still set.
        MultiHw("IntelInitialisesNothing", {"-hardware", "INTEL"}, "", "", {}, "2",
                Requested(0, 2, kNoCuda, kNoAmf)),
        MultiHw(
            "Nvidia", {"-hardware", "NVIDIA", "-optimal"}, "", "CUDA Init OK:\nFake CUDA device\n",
            {"ZR8READER_InitCUDA 0 512 => 0 3 0xc1 0xc2", "ZR8READER_UninitCUDA 3 0xc1 0xc2 => 0"},
            "4", Requested(1, 4, "56:1 60:3 64:0xc1 72:0xc2", kNoAmf)),
        MultiHw("NvidiaFails", {"-hardware", "NVIDIA"}, "fail ZR8READER_InitCUDA",
                "Failed to initialize CUDA subsystem", {"ZR8READER_InitCUDA 0 512 => -2147467259"},
                "4", Requested(0, 4, kNoCuda, kNoAmf)),
        MultiHw("Amd", {"-hardware", "AMD"}, "", "AMF Init OK:\nFake AMF device\n",
                {"ZR8READER_InitAMF 0 1 512 => 0 0xa1 0xa2", "ZR8READER_UninitAMF 0xa1 0xa2 => 0"},
                "3", Requested(0, 3, kNoCuda, "80:1 88:0 96:1 104:0xa1 112:0xa2")),
        MultiHw("AmdFails", {"-hardware", "AMD", "-optimal"}, "fail ZR8READER_InitAMF",
                "Failed to initialize AMF subsystem", {"ZR8READER_InitAMF 0 1 512 => -2147467259"},
                "3", Requested(1, 3, kNoCuda, kNoAmf))),
    [](const auto& info) { return info.param.what; });

// What one read thread should have done.
struct ThreadExpectation {
  std::string file;
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
  const std::string video = "video" + std::to_string(index + 1);
  const std::string masked = MaskTimes(result.out);
  EXPECT_EQ(RequestedFrames(result.calls, video), t.frames);

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
  if (t.failing >= 0) {
    EXPECT_EQ(LinesWith(result.out, "retrieving frame"),
              Calls{"An error occurred retrieving frame " + std::to_string(t.failing)});
    EXPECT_TRUE(LinesWith(result.out, exiting).empty());
    EXPECT_TRUE(LinesWith(result.out, "' for thread " + std::to_string(index)).empty());
    return;
  }
  const uint64_t count = std::min<uint64_t>(t.frameCount, 32);
  EXPECT_EQ(LinesWith(result.out, "' for thread " + std::to_string(index)),
            Calls{"Written " + std::to_string(count * 192) + " bytes for  " +
                  std::to_string(count) + " frames to file '" + harness::Prefix() + name +
                  "' for thread " + std::to_string(index)});
  EXPECT_EQ(LinesWith(result.out, exiting), Calls{exiting});
  // Statistics only for a thread that decoded something; its exit line comes after them.
  if (count > 0) {
    const std::string statistics = "Decoded " + std::to_string(count) + " frames in";
    EXPECT_FALSE(LinesWith(result.out, statistics).empty());
  }
}

TEST(MultiFileThreads, FourThreadsDecodeTheirOwnFiles) {
  ClientRun run;
  run.WithLibrary(Library::kFake)
      .WithConfig(
          "frameCount@a.mp4 100\nframeCount@b.mp4 10\nframeCount@c.mp4 1\n"
          "frameCount@d.mp4 40000\n");
  const auto result = run.Run(Arguments({"a.mp4", "b.mp4", "c.mp4", "d.mp4"}, {"-extract"}));
  ExpectNoRace(result);
  const std::string descriptions = Header("a.mp4", 4) + Description("a.mp4", 100) +
                                   Description("b.mp4", 10) + Description("c.mp4", 1) +
                                   Description("d.mp4", 40000) + "\n";
  EXPECT_EQ(result.out.substr(0, descriptions.size()), descriptions);

  // Thread 0 in order; the others from the same never-seeded sequence, per thread.
  const Frames first32 = video_output::FirstFrames(32);
  ExpectThread(result, 0, {"a.mp4", 100, first32, first32});
  const Frames ten = video_output::RandomFrames(10, 10);
  ExpectThread(result, 1, {"b.mp4", 10, ten, ten});
  ExpectThread(result, 2, {"c.mp4", 1, Frames{0}, Frames{0}});
  // Above 32768 frames, no request goes past rand's largest value.
  const Frames wide = video_output::RandomFrames(32, 40000);
  ExpectThread(result, 3, {"d.mp4", 40000, wide, wide});
  EXPECT_TRUE(std::all_of(wide.begin(), wide.end(), [](int64_t f) { return f <= 32767; }));
  EXPECT_EQ(video_output::CountWellFormedStatistics(result.out), 4);

  // Nothing is released before the last thread has finished.
  const auto firstRelease = std::find(result.calls.begin(), result.calls.end(),
                                      "ZR8READER_ReadFile_CloseFile file1 => 0");
  ASSERT_NE(firstRelease, result.calls.end());
  EXPECT_TRUE(std::none_of(firstRelease, result.calls.end(), [](const std::string& line) {
    return line.rfind("ZR8READER_ReadVideoStream_GetFrame", 0) == 0;
  }));
  EXPECT_EQ(Tail(result.calls, 15), Releases(4));
}

// One thread's failures end only that thread.
TEST(MultiFileThreads, FailuresEndOnlyTheirThread) {
  ClientRun run;
  run.WithLibrary(Library::kFake)
      .WithConfig(
          "frameCount@a.mp4 5\nframeCount@b.mp4 0\nframeCount@c.mp4 20\n"
          "failFrame@c.mp4 9\nframeCount@d.mp4 3\n");
  std::filesystem::create_directory(run.dir() / "zr8reader.3.I420");
  const auto result = run.Run(Arguments({"a.mp4", "b.mp4", "c.mp4", "d.mp4"}, {"-extract"}));
  ExpectNoRace(result);
  ExpectThread(result, 0, {"a.mp4", 5, video_output::FirstFrames(5), video_output::FirstFrames(5)});
  // No frames: an empty file, the "Written" and exit lines, no statistics.
  ExpectThread(result, 1, {"b.mp4", 0, Frames{}, Frames{}});
  EXPECT_TRUE(result.HasFile("zr8reader.1.I420"));
  // 41 % 20 = 1, 18467 % 20 = 7, 6334 % 20 = 14, 26500 % 20 = 0, then 19169 % 20 = 9 fails.
  ExpectThread(result, 2, {"c.mp4", 20, Frames{1, 7, 14, 0, 9}, Frames{1, 7, 14, 0}, 9});
  ExpectThread(result, 3, {"d.mp4", 3, Frames{}, Frames{}, -1, true});
  EXPECT_EQ(video_output::CountWellFormedStatistics(result.out), 1);
  EXPECT_EQ(Tail(result.calls, 15), Releases(4));
}

// The same file twice: independent handles, two threads, two files.
TEST(MultiFileThreads, SameFileTwice) {
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig("frameCount 4\n");
  const auto result = run.Run(Arguments({"a.mp4", "a.mp4"}, {"-extract", "-dualstream"}));
  ExpectNoRace(result);
  ExpectThread(result, 0, {"a.mp4", 4, Frames{0, 1, 2, 3}, Frames{0, 1, 2, 3}});
  const Frames random = video_output::RandomFrames(4, 4);
  ExpectThread(result, 1, {"a.mp4", 4, random, random});
  EXPECT_EQ(result.CallsOf({"OpenReadFileEx"}),
            (Calls{"ZR8READER_OpenReadFileEx \"a.mp4\" 1 bufferpool1 => 0 file1",
                   "ZR8READER_OpenReadFileEx \"a.mp4\" 1 bufferpool1 => 0 file2"}));
}

}  // namespace
