// Fault injection: in every mode, each call of a successful run that can fail is made to fail in
// turn (the first call, and for repeated calls a later one too). Each run must end with the
// failure's message, release exactly what the table says in that order, misuse no handle, and
// leave no sanitizer report (the harness checks that for every run). A call that a mode starts
// to make without a row in its table fails the test: every new call needs a failure path.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "e2e/ClientHarness.h"

using harness::ClientRun;
using harness::Library;
using Calls = std::vector<std::string>;

namespace {

const std::string kPrefix = "ZR8READER_";

// Calls that answer with a value, not a status: they have no failure to inject.
const std::set<std::string> kValueCalls{
    "ReadFile_GetFileLength",
    "ReadAudioStream_GetStreamLength",
    "ReadAudioStream_GetSampleCount",
    "ReadVideoStream_GetStreamLength",
    "ReadVideoStream_GetFrameCount",
    "Image_LockForCPU",
    "Image_Unlock",
    "Image_TotalSize",
};
// Calls whose failure is shown by a zero answer, not by a negative status.
const std::set<std::string> kYesNoCalls{"IsSupported", "ReadFile_IsFileOpen"};

std::string Entry(const std::string& line) {
  std::string entry = line.substr(0, line.find(' '));
  return entry.starts_with(kPrefix) ? entry.substr(kPrefix.size()) : entry;
}

// Calls that give something back. A failing release is ignored (the run goes on as if it had
// succeeded).
bool IsRelease(const std::string& entry) {
  return entry.starts_with("Delete") || entry.starts_with("Uninit") ||
         entry == "ReadFile_CloseFile";
}

// The releases after the n-th call of entry, each as "<entry> <arguments>" without the result;
// the per-frame image handles are left out, as read threads interleave them.
Calls ReleasesAfter(const Calls& log, const std::string& entry, int n) {
  Calls releases;
  int seen = 0;
  for (const std::string& line : log) {
    if (seen >= n && IsRelease(Entry(line)) && Entry(line) != "DeleteImageHandle") {
      releases.push_back(line.substr(kPrefix.size(), line.find(" =>") - kPrefix.size()));
    }
    if (Entry(line) == entry) ++seen;
  }
  return releases;
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

Table With(Table table, const Table& rows) {
  table.insert(rows.begin(), rows.end());
  return table;
}

struct Mode {
  const char* what;
  std::string arguments;  // separated by spaces
  std::string config;
  Table table;
  int status = 255;
  bool threaded = false;  // read threads: a message may be followed by other threads' lines

  friend void PrintTo(const Mode& mode, std::ostream* os) { *os << mode.what; }
};

class FaultMatrix : public testing::TestWithParam<Mode> {};

TEST_P(FaultMatrix, EveryFailableCallHasItsFailurePath) {
  const Mode& mode = GetParam();
  std::istringstream words(mode.arguments);
  const Calls arguments{std::istream_iterator<std::string>(words), {}};
  ClientRun good;
  const auto success = good.WithLibrary(Library::kFake).WithConfig(mode.config).Run(arguments);
  ASSERT_EQ(success.status, mode.status) << success.out;
  ASSERT_TRUE(success.Misuse().empty());

  Calls entries;
  for (const std::string& line : success.EntryPoints()) {
    const std::string entry = Entry(line);
    if (!kValueCalls.contains(entry) &&
        std::find(entries.begin(), entries.end(), entry) == entries.end()) {
      entries.push_back(entry);
    }
  }
  for (const auto& row : mode.table) {
    EXPECT_NE(std::find(entries.begin(), entries.end(), row.first), entries.end())
        << row.first << " has a row but is not called";
  }
  // The calls in the order made, or sorted where read threads make them in any order.
  const auto ordered = [&](Calls calls) {
    if (mode.threaded) std::sort(calls.begin(), calls.end());
    return calls;
  };

  for (const std::string& entry : entries) {
    const auto row = mode.table.find(entry);
    if (row == mode.table.end() && !IsRelease(entry)) {
      ADD_FAILURE() << entry << " is called but has no failure path in the table";
      continue;
    }
    for (const Outcome& outcome : row == mode.table.end() ? kIgnored : row->second) {
      const std::string call = std::to_string(outcome.call);
      SCOPED_TRACE(entry + " call " + call);
      const std::string fault = kYesNoCalls.contains(entry) ? "result " + kPrefix + entry + " 0 "
                                                            : "fail " + kPrefix + entry + " ";
      ClientRun run;
      run.WithLibrary(Library::kFake).WithConfig(mode.config + "\n" + fault + call + "\n");
      const auto result = run.Run(arguments);
      EXPECT_EQ(result.status, outcome.status < 0 ? mode.status : outcome.status) << result.out;
      EXPECT_EQ(result.Misuse(), Calls{});
      const Calls releases = ReleasesAfter(result.calls, entry, outcome.call);
      if (outcome.ending.empty()) {
        EXPECT_EQ(ordered(result.EntryPoints()), ordered(success.EntryPoints()));
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
const std::string kNoVideo = "The specified file does not contain video.\n";
const std::string kFormat = "An error occurred access the video format details.\n";
const std::string kCompressed = "An error occurred access the video compressed format details.\n";
const std::string kBufferPool = "An error occured creating buffer pool.\n";
const Table kPreferences{{"FIOPluginPrefs_SetHardwareDecoderPreference", kIgnored},
                         {"FIOPluginPrefs_SetCUDAContext", kIgnored},
                         {"FIOPluginPrefs_SetAMFContext", kIgnored}};

// The brief and audio modes.
const Table kPreamble{{"Initialize", {{kInitFailed, {}}}},
                      {"IsSupported", {{kNotSupported, {}}}},
                      {"OpenReadFile", {{kOpenFailed, {}}}}};
const Table kBrief =
    With(kPreamble, {{"ReadFile_GetAudioStreamCount", kIgnored},
                     {"ReadFile_GetVideoStreamCount", kIgnored},
                     {"ReadFile_GetFileName", kIgnored},
                     {"ReadFile_IsFileOpen", {{"'\n", {"DeleteReadFileHandle file1"}}}}});
const Calls kAudioReleases{"DeleteReadAudioStreamHandle audio1", "DeleteReadFileHandle file1"};
const Table kAudio =
    With(kPreamble,
         {{"ReadFile_GetAudioStreamCount",
           {{"The specified file does not contain audio.\n", {"DeleteReadFileHandle file1"}}}},
          {"ReadFile_OpenAudioStream",
           {{"An error occurred opening the audio stream.\n", {"DeleteReadFileHandle file1"}}}},
          {"ReadAudioStream_GetCompressedFormat",
           {{"An error occurred access the audio format details.\n", kAudioReleases}}}});
const std::string kSampleError = "An error occurred retrieving the audio sample data.\n";
const Table kAudioExtract =
    With(kAudio, {{"ReadAudioStream_GetSamples",
                   {{kSampleError, kAudioReleases}, {kSampleError, kAudioReleases, 3}}}});

// The single-file video modes; pool is the image pool's name in the log.
Table Video(const std::string& pool) {
  const Calls stream{"DeleteReadVideoStreamHandle video1", "DeleteImagePoolHandle " + pool,
                     "DeleteReadFileHandle file1", "DeleteBufferPoolHandle bufferpool1"};
  Calls noVideo{stream[2], stream[3]};
  Calls notOpened{stream[3]};
  if (pool != "null") {
    noVideo.insert(noVideo.begin() + 1, stream[1]);
    notOpened.insert(notOpened.begin(), stream[1]);
  }
  return With(kPreferences,
              {{"Initialize", {{kInitFailed, {}}}},
               {"IsSupported", {{kNotSupported, {}}}},
               {"CreateBufferPoolCPU", {{kBufferPool, {}}}},
               {"OpenReadFileEx2", {{kOpenFailed, notOpened}}},
               {"ReadFile_GetVideoStreamCount", {{kNoVideo, noVideo}}},
               {"ReadFile_OpenVideoStream",
                {{"An error occurred opening the video stream.\n",
                  Calls(stream.begin() + 1, stream.end())}}},
               {"ReadVideoStream_GetDecodePrefs",
                {{"An error occurred obtaining decode prefs of the video stream.\n", stream}}},
               {"ReadVideoStream_GetFormat", {{kFormat, stream}}},
               {"ReadVideoStream_GetCompressedFormat", {{kCompressed, stream}}}});
}
Table Frames(int laterFrame, int laterCall) {
  const auto error = [](int frame) {
    return "An error occurred retrieving frame " + std::to_string(frame) + "\n";
  };
  const Calls releases = Video("null").at("ReadVideoStream_GetFormat")[0].releases;
  return With(Video("null"), {{"ReadVideoStream_GetFrame",
                               {{error(0), releases}, {error(laterFrame), releases, laterCall}}}});
}
// -hardware: the subsystem's initialisation failing only shows its message; the decoder query
// failing ends the mode.
Table Hardware(const std::string& init) {
  const Calls success{"ReadFile_CloseFile file1",           "DeleteReadVideoStreamHandle video1",
                      "DeleteImagePoolHandle null",         "DeleteReadFileHandle file1",
                      "DeleteBufferPoolHandle bufferpool1", "Uninitialize"};
  return With(Video("null"), {{init, {{"FourCC: avc1\n\n", success}}},
                              {"GetSupportedHardwareDecoders",
                               {{"Failed to query supported hardware decoders", {}}}}});
}

// The multi-file modes over a.mp4 and b.mp4: the first file fails, and the second after the first
// was opened. Each file's releases: closed, its stream, its handle; then the pools.
Calls FileReleases(const std::string& n, bool stream) {
  Calls calls{"ReadFile_CloseFile file" + n, "DeleteReadFileHandle file" + n};
  if (stream) calls.insert(calls.begin() + 1, "DeleteReadVideoStreamHandle video" + n);
  return calls;
}
Calls MultiFileReleases(std::vector<Calls> files) {
  files.push_back(
      {"DeleteImagePoolHandle imagepool1", "DeleteBufferPoolHandle bufferpool1", "Uninitialize"});
  Calls all;
  for (const Calls& part : files) all.insert(all.end(), part.begin(), part.end());
  return all;
}
Table MultiFile() {
  const Calls pools = MultiFileReleases({});
  const Calls fileOnly = MultiFileReleases({FileReleases("1", false)});
  const Calls stream = MultiFileReleases({FileReleases("1", true)});
  const std::string second = "specified file 'b.mp4'";
  return With(
      kPreferences,
      {{"Initialize", {{kInitFailed, {}}}},
       {"CreateBufferPoolCPU", {{kBufferPool, {}}}},
       {"CreateImagePoolCPU",
        {{"An error occured creating image pool.\n", {"DeleteBufferPoolHandle bufferpool1"}}}},
       {"IsSupported",
        {{"The specified file 'a.mp4' is not of a supported type.\n", pools},
         {"The " + second + " is not of a supported type.\n", stream, 2}}},
       {"OpenReadFileEx",
        {{"An error occurred opening the specified file 'a.mp4'.\n", pools},
         {"An error occurred opening the " + second + ".\n", stream, 2}}},
       {"ReadFile_GetVideoStreamCount",
        {{kNoVideo, fileOnly},
         {kNoVideo, MultiFileReleases({FileReleases("1", true), FileReleases("2", false)}), 2}}},
       {"ReadFile_OpenVideoStream",
        {{"An error occurred opening the video stream for file 'a.mp4'\n", fileOnly}}},
       {"ReadVideoStream_GetDecodePrefs",
        {{"An error occurred obtaining decode prefs of the video stream for file 'a.mp4'\n",
          stream}}},
       {"ReadVideoStream_GetFormat",
        {{kFormat, stream},
         {kFormat, MultiFileReleases({FileReleases("1", true), FileReleases("2", true)}), 2}}},
       {"ReadVideoStream_GetCompressedFormat", {{kCompressed, stream}}}});
}
Table MultiFileFrames() {
  const Calls releases = MultiFileReleases({FileReleases("1", true), FileReleases("2", true)});
  const std::string error = "An error occurred retrieving frame ";
  return With(MultiFile(),
              {{"ReadVideoStream_GetFrame", {{error, releases}, {error, releases, 5}}}});
}

// The hardware modes: a failed query ends the check silently with 0.
const std::string kThreeDecoders = "decoders 4:4318:GPU A;2:32902:iGPU;3:4098:Radeon\n";
Table Check(const std::string& query, const std::string& title, bool twoQueries) {
  std::vector<Outcome> outcomes{{"\nCheck for supported hardware decoders" + title, {}, 1, 0}};
  if (twoQueries) outcomes.push_back({"Total Hardware Decoders detected = 3\n", {}, 2, 0});
  return {{"Initialize", {{kInitFailed, {}, 1, 254}}}, {query, outcomes}};
}
const std::string kDetection = ", plus print all collected information\n";

INSTANTIATE_TEST_SUITE_P(
    Modes, FaultMatrix,
    testing::Values(
        Mode{"Brief", "clip.mp4 -brief", "", kBrief}, Mode{"Audio", "clip.mp4 -audio", "", kAudio},
        Mode{"AudioExtract", "clip.mp4 -audio -extract", "audio.sampleCount 10000", kAudioExtract},
        Mode{"Video", "clip.mp4 -video", "", Video("null")},
        Mode{"VideoExtract", "clip.mp4 -video -extract", "", Frames(2, 3)},
        Mode{"DualStream", "clip.mp4 -video -extract -dualstream", "", Frames(5, 2)},
        Mode{"GpuBuffer", "clip.mp4 -video -gpu_buffer", "",
             With(Video("imagepool1"), {{"CreateImagePoolGPU",
                                         {{"An error occured creating image pool on GPU.\n",
                                           {"DeleteBufferPoolHandle bufferpool1"}}}}})},
        Mode{"Nvidia", "clip.mp4 -video -hardware NVIDIA", "", Hardware("InitCUDA")},
        Mode{"Amd", "clip.mp4 -video -hardware AMD", "", Hardware("InitAMF")},
        Mode{"Intel", "clip.mp4 -video -hardware INTEL", "", Hardware("InitQSV")},
        Mode{"MultiFile", "a.mp4 -video -file b.mp4", "", MultiFile()},
        Mode{"MultiFileExtract", "a.mp4 -video -extract -file b.mp4", "", MultiFileFrames(), 255,
             true},
        Mode{"HwCheck", "x -hwcheck", kThreeDecoders,
             Check("GetSupportedHardwareDecoders", "\n", true), 0},
        Mode{"HwCheckOOP", "x -hwcheckOOP", kThreeDecoders,
             Check("GetSupportedHardwareDecodersOOP", " via Out-of-Process launch ...\n", true), 0},
        Mode{"HwDetection", "x -hwdetection", kThreeDecoders,
             Check("GetHardwareDetectionResults", kDetection, false), 0},
        Mode{"HwDetectionOOP", "x -hwdetectionOOP", kThreeDecoders,
             Check("GetHardwareDetectionResultsOOP", kDetection, false), 0}),
    [](const auto& info) { return info.param.what; });

}  // namespace
