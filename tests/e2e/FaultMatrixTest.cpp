// Fault injection: in every mode, each call of a successful run that can fail is made to fail in
// turn (the first call, and for repeated calls a later one too). Each run must end with the
// failure's message, release exactly what the table says in that order, misuse no handle, and
// leave no sanitizer report (the harness checks that for every run). A call that a mode starts
// to make without a row in its table fails the test: every new call needs a failure path.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "e2e/ClientHarness.h"

using harness::ClientRun;
using harness::Library;
using Calls = std::vector<std::string>;

namespace {

const std::string kPrefix = "ZR8READER_";

// Calls that answer with a value, not a status: they have no failure to inject.
const std::set<std::string> kValueCalls{"ReadFile_GetFileLength",
                                        "ReadAudioStream_GetStreamLength",
                                        "ReadAudioStream_GetSampleCount",
                                        "ReadVideoStream_GetStreamLength",
                                        "ReadVideoStream_GetFrameCount",
                                        "Image_LockForCPU",
                                        "Image_Unlock",
                                        "Image_TotalSize"};
// Calls whose failure is shown by a zero answer, not by a negative status.
const std::set<std::string> kYesNoCalls{"IsSupported", "ReadFile_IsFileOpen"};

// Calls that give something back. A failing release is ignored (the run goes on as if it had
// succeeded); the per-frame image handles are left out of the compared releases because read
// threads interleave them.
bool IsRelease(const std::string& entry) {
  return entry.rfind("Delete", 0) == 0 || entry.rfind("Uninit", 0) == 0 ||
         entry == "ReadFile_CloseFile";
}
bool IsComparedRelease(const std::string& entry) {
  return IsRelease(entry) && entry != "DeleteImageHandle";
}

std::string Entry(const std::string& line) {
  std::string entry = line.substr(0, line.find(' '));
  return entry.rfind(kPrefix, 0) == 0 ? entry.substr(kPrefix.size()) : entry;
}

// The releases after the n-th call of entry, each as "<entry> <arguments>" without the result.
Calls ReleasesAfter(const Calls& log, const std::string& entry, int n) {
  Calls releases;
  int seen = 0;
  for (const std::string& line : log) {
    if (seen >= n && IsComparedRelease(Entry(line))) {
      releases.push_back(line.substr(kPrefix.size(), line.find(" =>") - kPrefix.size()));
    }
    if (Entry(line) == entry) ++seen;
  }
  return releases;
}

// The calls in the order made, or sorted where read threads make them in any order.
Calls Ordered(Calls calls, bool threaded) {
  if (threaded) std::sort(calls.begin(), calls.end());
  return calls;
}

// What failing the call-th call of an entry leads to. An empty ending: the failure is ignored, and
// the run makes the same calls and releases as the successful one.
struct Outcome {
  std::string ending;
  Calls releases;
  int call = 1;
  int status = -1;  // -1: the mode's
};
using Table = std::map<std::string, std::vector<Outcome>>;
const std::vector<Outcome> kIgnored{Outcome{}};

Table Merge(std::initializer_list<Table> parts) {
  Table all;
  for (const Table& part : parts) {
    for (const auto& [entry, outcomes] : part) all[entry] = outcomes;
  }
  return all;
}

struct Mode {
  const char* what;
  Calls arguments;
  std::string config;
  Table table;
  int status = 255;
  bool threaded = false;  // read threads: a message may be followed by other threads' lines

  friend void PrintTo(const Mode& mode, std::ostream* os) { *os << mode.what; }
};

class FaultMatrix : public testing::TestWithParam<Mode> {};

TEST_P(FaultMatrix, EveryFailableCallHasItsFailurePath) {
  const Mode& mode = GetParam();
  ClientRun good;
  good.WithLibrary(Library::kFake).WithConfig(mode.config);
  const auto success = good.Run(mode.arguments);
  ASSERT_EQ(success.status, mode.status) << success.out;
  ASSERT_TRUE(success.Misuse().empty());

  std::vector<std::string> entries;
  for (const std::string& line : success.EntryPoints()) {
    const std::string entry = Entry(line);
    if (kValueCalls.count(entry) == 0 &&
        std::find(entries.begin(), entries.end(), entry) == entries.end()) {
      entries.push_back(entry);
    }
  }
  for (const auto& row : mode.table) {
    EXPECT_NE(std::find(entries.begin(), entries.end(), row.first), entries.end())
        << row.first << " has a row but is not called";
  }

  for (const std::string& entry : entries) {
    const auto row = mode.table.find(entry);
    if (row == mode.table.end() && !IsRelease(entry)) {
      ADD_FAILURE() << entry << " is called but has no failure path in the table";
      continue;
    }
    for (const Outcome& outcome : row == mode.table.end() ? kIgnored : row->second) {
      const std::string call = std::to_string(outcome.call);
      SCOPED_TRACE(entry + " call " + call);
      ClientRun run;
      const std::string fault = kYesNoCalls.count(entry) != 0 ? "result " + kPrefix + entry + " 0 "
                                                              : "fail " + kPrefix + entry + " ";
      run.WithLibrary(Library::kFake).WithConfig(mode.config + "\n" + fault + call + "\n");
      const auto result = run.Run(mode.arguments);
      EXPECT_EQ(result.status, outcome.status < 0 ? mode.status : outcome.status) << result.out;
      EXPECT_EQ(result.Misuse(), Calls{});
      const Calls releases = ReleasesAfter(result.calls, entry, outcome.call);
      if (outcome.ending.empty()) {
        EXPECT_EQ(Ordered(result.EntryPoints(), mode.threaded),
                  Ordered(success.EntryPoints(), mode.threaded));
        EXPECT_EQ(releases, ReleasesAfter(success.calls, entry, outcome.call));
      } else {
        EXPECT_TRUE(mode.threaded ? result.out.find(outcome.ending) != std::string::npos
                                  : result.out.ends_with(outcome.ending))
            << result.out;
        EXPECT_EQ(releases, outcome.releases);
      }
    }
  }
}

const std::string kOpenFailed = "An error occurred opening the specified file.\n";
const std::string kNotSupported = "The specified file is not of a supported type.\n";
const std::string kInitFailed = "Failed to initialize FileIO subsystem";

// The brief and audio modes.
const Table kPreamble{{"Initialize", {{kInitFailed, {}}}},
                      {"IsSupported", {{kNotSupported, {}}}},
                      {"OpenReadFile", {{kOpenFailed, {}}}}};
const Table kBrief = Merge({kPreamble,
                            {{"ReadFile_GetAudioStreamCount", kIgnored},
                             {"ReadFile_GetVideoStreamCount", kIgnored},
                             {"ReadFile_GetFileName", kIgnored},
                             {"ReadFile_IsFileOpen", {{"'\n", {"DeleteReadFileHandle file1"}}}}}});
const Calls kAudioReleases{"DeleteReadAudioStreamHandle audio1", "DeleteReadFileHandle file1"};
const Table kAudio =
    Merge({kPreamble,
           {{"ReadFile_GetAudioStreamCount",
             {{"The specified file does not contain audio.\n", {"DeleteReadFileHandle file1"}}}},
            {"ReadFile_OpenAudioStream",
             {{"An error occurred opening the audio stream.\n", {"DeleteReadFileHandle file1"}}}},
            {"ReadAudioStream_GetCompressedFormat",
             {{"An error occurred access the audio format details.\n", kAudioReleases}}}}});
const std::string kSampleError = "An error occurred retrieving the audio sample data.\n";
const Table kAudioExtract =
    Merge({kAudio,
           {{"ReadAudioStream_GetSamples",
             {{kSampleError, kAudioReleases}, {kSampleError, kAudioReleases, 3}}}}});

// The single-file video modes; pool is the image pool's name in the log.
Table Video(const std::string& pool) {
  const Calls stream{"DeleteReadVideoStreamHandle video1", "DeleteImagePoolHandle " + pool,
                     "DeleteReadFileHandle file1", "DeleteBufferPoolHandle bufferpool1"};
  Calls noVideo{"DeleteReadFileHandle file1", "DeleteBufferPoolHandle bufferpool1"};
  Calls notOpened{"DeleteBufferPoolHandle bufferpool1"};
  if (pool != "null") {
    noVideo.insert(noVideo.begin() + 1, stream[1]);
    notOpened.insert(notOpened.begin(), stream[1]);
  }
  return {
      {"Initialize", {{kInitFailed, {}}}},
      {"FIOPluginPrefs_SetHardwareDecoderPreference", kIgnored},
      {"FIOPluginPrefs_SetCUDAContext", kIgnored},
      {"FIOPluginPrefs_SetAMFContext", kIgnored},
      {"IsSupported", {{kNotSupported, {}}}},
      {"CreateBufferPoolCPU", {{"An error occured creating buffer pool.\n", {}}}},
      {"OpenReadFileEx2", {{kOpenFailed, notOpened}}},
      {"ReadFile_GetVideoStreamCount", {{"The specified file does not contain video.\n", noVideo}}},
      {"ReadFile_OpenVideoStream",
       {{"An error occurred opening the video stream.\n",
         Calls(stream.begin() + 1, stream.end())}}},
      {"ReadVideoStream_GetDecodePrefs",
       {{"An error occurred obtaining decode prefs of the video stream.\n", stream}}},
      {"ReadVideoStream_GetFormat",
       {{"An error occurred access the video format details.\n", stream}}},
      {"ReadVideoStream_GetCompressedFormat",
       {{"An error occurred access the video compressed format details.\n", stream}}},
  };
}
const Calls kVideoStreamReleases{"DeleteReadVideoStreamHandle video1", "DeleteImagePoolHandle null",
                                 "DeleteReadFileHandle file1",
                                 "DeleteBufferPoolHandle bufferpool1"};
Outcome FrameError(int frame, int call) {
  return {"An error occurred retrieving frame " + std::to_string(frame) + "\n",
          kVideoStreamReleases, call};
}
const Calls kVideoSuccessReleases{
    "ReadFile_CloseFile file1",           "DeleteReadVideoStreamHandle video1",
    "DeleteImagePoolHandle null",         "DeleteReadFileHandle file1",
    "DeleteBufferPoolHandle bufferpool1", "Uninitialize"};
// -hardware: the subsystem's initialisation failing only shows its message; the decoder query
// failing ends the mode.
Table Hardware(const std::string& init) {
  return Merge(
      {Video("null"),
       {{init, {{"FourCC: avc1\n\n", kVideoSuccessReleases}}},
        {"GetSupportedHardwareDecoders", {{"Failed to query supported hardware decoders", {}}}}}});
}

// The multi-file modes over a.mp4 and b.mp4: the first file fails, and the second after the first
// was opened.
Table MultiFile() {
  const Calls pools{"DeleteImagePoolHandle imagepool1", "DeleteBufferPoolHandle bufferpool1",
                    "Uninitialize"};
  const Calls first{"ReadFile_CloseFile file1", "DeleteReadVideoStreamHandle video1",
                    "DeleteReadFileHandle file1"};
  auto with = [&](Calls head, const Calls& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const Calls fileOnly = with({"ReadFile_CloseFile file1", "DeleteReadFileHandle file1"}, pools);
  const Calls stream = with(first, pools);
  const Calls secondFile =
      with(first, with({"ReadFile_CloseFile file2", "DeleteReadFileHandle file2"}, pools));
  const Calls secondStream =
      with(first, with({"ReadFile_CloseFile file2", "DeleteReadVideoStreamHandle video2",
                        "DeleteReadFileHandle file2"},
                       pools));
  const std::string format = "An error occurred access the video format details.\n";
  const std::string noVideo = "The specified file does not contain video.\n";
  return {
      {"Initialize", {{kInitFailed, {}}}},
      {"FIOPluginPrefs_SetHardwareDecoderPreference", kIgnored},
      {"FIOPluginPrefs_SetCUDAContext", kIgnored},
      {"FIOPluginPrefs_SetAMFContext", kIgnored},
      {"CreateBufferPoolCPU", {{"An error occured creating buffer pool.\n", {}}}},
      {"CreateImagePoolCPU",
       {{"An error occured creating image pool.\n", {"DeleteBufferPoolHandle bufferpool1"}}}},
      {"IsSupported",
       {{"The specified file 'a.mp4' is not of a supported type.\n", pools},
        {"The specified file 'b.mp4' is not of a supported type.\n", stream, 2}}},
      {"OpenReadFileEx",
       {{"An error occurred opening the specified file 'a.mp4'.\n", pools},
        {"An error occurred opening the specified file 'b.mp4'.\n", stream, 2}}},
      {"ReadFile_GetVideoStreamCount", {{noVideo, fileOnly}, {noVideo, secondFile, 2}}},
      {"ReadFile_OpenVideoStream",
       {{"An error occurred opening the video stream for file 'a.mp4'\n", fileOnly}}},
      {"ReadVideoStream_GetDecodePrefs",
       {{"An error occurred obtaining decode prefs of the video stream for file 'a.mp4'\n",
         stream}}},
      {"ReadVideoStream_GetFormat", {{format, stream}, {format, secondStream, 2}}},
      {"ReadVideoStream_GetCompressedFormat",
       {{"An error occurred access the video compressed format details.\n", stream}}},
  };
}
const Calls kMultiFileReleases{"ReadFile_CloseFile file1",
                               "DeleteReadVideoStreamHandle video1",
                               "DeleteReadFileHandle file1",
                               "ReadFile_CloseFile file2",
                               "DeleteReadVideoStreamHandle video2",
                               "DeleteReadFileHandle file2",
                               "DeleteImagePoolHandle imagepool1",
                               "DeleteBufferPoolHandle bufferpool1",
                               "Uninitialize"};

// The hardware modes: a failed query ends the check silently with 0.
const std::string kThreeDecoders = "decoders 4:4318:GPU A;2:32902:iGPU;3:4098:Radeon\n";
Table Check(const std::string& query, const std::string& title, bool twoQueries) {
  std::vector<Outcome> outcomes{{title, {}, 1, 0}};
  if (twoQueries) outcomes.push_back({"Total Hardware Decoders detected = 3\n", {}, 2, 0});
  return {{"Initialize", {{kInitFailed, {}, 1, 254}}}, {query, outcomes}};
}
const std::string kCheckTitle = "\nCheck for supported hardware decoders\n";
const std::string kDetectionTitle =
    "\nCheck for supported hardware decoders, plus print all collected information\n";

const Calls kSingle{"clip.mp4", "-video"};
Calls With(Calls arguments, const Calls& more) {
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}
const Calls kTwoFiles{"a.mp4", "-video", "-file", "b.mp4"};

INSTANTIATE_TEST_SUITE_P(
    Modes, FaultMatrix,
    testing::Values(
        Mode{"Brief", {"clip.mp4", "-brief"}, "", kBrief},
        Mode{"Audio", {"clip.mp4", "-audio"}, "", kAudio},
        Mode{"AudioExtract",
             {"clip.mp4", "-audio", "-extract"},
             "audio.sampleCount 10000",
             kAudioExtract},
        Mode{"Video", kSingle, "", Video("null")},
        Mode{"VideoExtract", With(kSingle, {"-extract"}), "",
             Merge({Video("null"),
                    {{"ReadVideoStream_GetFrame", {FrameError(0, 1), FrameError(2, 3)}}}})},
        Mode{"DualStream", With(kSingle, {"-extract", "-dualstream"}), "",
             Merge({Video("null"),
                    {{"ReadVideoStream_GetFrame", {FrameError(0, 1), FrameError(5, 2)}}}})},
        Mode{"GpuBuffer", With(kSingle, {"-gpu_buffer"}), "",
             Merge({Video("imagepool1"),
                    {{"CreateImagePoolGPU",
                      {{"An error occured creating image pool on GPU.\n",
                        {"DeleteBufferPoolHandle bufferpool1"}}}}}})},
        Mode{"Nvidia", With(kSingle, {"-hardware", "NVIDIA"}), "", Hardware("InitCUDA")},
        Mode{"Amd", With(kSingle, {"-hardware", "AMD"}), "", Hardware("InitAMF")},
        Mode{"Intel", With(kSingle, {"-hardware", "INTEL"}), "", Hardware("InitQSV")},
        Mode{"MultiFile", kTwoFiles, "", MultiFile()},
        Mode{"MultiFileExtract", With(kTwoFiles, {"-extract"}), "",
             Merge({MultiFile(),
                    {{"ReadVideoStream_GetFrame",
                      {{"An error occurred retrieving frame ", kMultiFileReleases},
                       {"An error occurred retrieving frame ", kMultiFileReleases, 5}}}}}),
             255, true},
        Mode{"HwCheck",
             {"x", "-hwcheck"},
             kThreeDecoders,
             Check("GetSupportedHardwareDecoders", kCheckTitle, true),
             0},
        Mode{"HwCheckOOP",
             {"x", "-hwcheckOOP"},
             kThreeDecoders,
             Check("GetSupportedHardwareDecodersOOP",
                   "\nCheck for supported hardware decoders via Out-of-Process launch ...\n", true),
             0},
        Mode{"HwDetection",
             {"x", "-hwdetection"},
             kThreeDecoders,
             Check("GetHardwareDetectionResults", kDetectionTitle, false),
             0},
        Mode{"HwDetectionOOP",
             {"x", "-hwdetectionOOP"},
             kThreeDecoders,
             Check("GetHardwareDetectionResultsOOP", kDetectionTitle, false),
             0}),
    [](const auto& info) { return info.param.what; });

}  // namespace
