// The audio report and its PCM extraction, end to end against the fake library.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "e2e/ClientHarness.h"
#include "fake/FakeContent.h"

using harness::ClientRun;
using harness::Library;
using Calls = std::vector<std::string>;

namespace {

const std::string kHeader = "\nAudio example\nFile: \"clip.mp4\"\n\n";

// The report lines for the fake's default stream, with the fields a case changes.
struct Details {
  int streams = 1;
  int index = 0;
  std::string format = "fl32";
  std::string channels = "2";
  std::string sampleRate = "48000";
  std::string bitDepth = "16";
  std::string seconds = "1";
  std::string sampleCount = "48000";
  std::string avgBitRate = "128000";
  std::string maxBitRate = "160000";
  std::string fourCC = "mp4a";

  std::string Text() const {
    return kHeader + "Number of audio streams: " + std::to_string(streams) +
           "\n\nDetails for stream " + std::to_string(index) + ": \n\nFormat: " + format +
           "\nNumber of channels: " + channels + "\nSample rate: " + sampleRate +
           "\nBit depth: " + bitDepth + "\nBits per channel: " + bitDepth +
           "\nDuration: " + seconds + " seconds\nSample count: " + sampleCount +
           "\nAvg bit rate: " + avgBitRate + "\nMax bit rate: " + maxBitRate +
           "\nFourCC: " + fourCC + "\n";
  }
};

std::string WrittenLine(int64_t frames, int channels) {
  return "Written " + std::to_string(frames) + " samples (" +
         std::to_string(frames * channels * 4) + " bytes) to file '" + harness::Prefix() +
         "zr8reader.pcm'\n";
}

// The bytes the fake delivers for frames [0, frames) of a stream with this many channels.
std::string Pcm(int64_t frames, int channels) {
  std::string bytes;
  bytes.reserve(static_cast<size_t>(frames * channels) * sizeof(float));
  for (int64_t frame = 0; frame < frames; ++frame) {
    for (int channel = 0; channel < channels; ++channel) {
      const float value = fake::SampleValue(frame, channel);
      char raw[sizeof(float)];
      std::memcpy(raw, &value, sizeof(float));
      bytes.append(raw, sizeof(float));
    }
  }
  return bytes;
}

const std::string kSampleError = "An error occurred retrieving the audio sample data.\n";
const Calls kPreambleAndStream = {
    "ZR8READER_Initialize => 0",
    "ZR8READER_IsSupported \"clip.mp4\" => 1",
    "ZR8READER_OpenReadFile \"clip.mp4\" 2 => 0 file1",
    "ZR8READER_ReadFile_GetAudioStreamCount file1 => 1",
    "ZR8READER_ReadFile_OpenAudioStream file1 0 => 0 audio1",
    "ZR8READER_ReadAudioStream_GetStreamLength audio1 => 10000000",
};
const Calls kSuccessfulRelease = {
    "ZR8READER_ReadFile_CloseFile file1 => 0",
    "ZR8READER_DeleteReadAudioStreamHandle audio1 => 0",
    "ZR8READER_DeleteReadFileHandle file1 => 0",
};
const Calls kFailedRelease = {
    "ZR8READER_DeleteReadAudioStreamHandle audio1 => 0",
    "ZR8READER_DeleteReadFileHandle file1 => 0",
};

Calls Concat(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const std::vector<std::string> kReleases = {"ReadFile_CloseFile", "DeleteReadAudioStreamHandle",
                                            "DeleteReadFileHandle"};

TEST(AudioReport, ReportsWithoutExtractionAndReleasesInOrder) {
  ClientRun run;
  run.WithLibrary(Library::kFake);
  const auto result = run.Run({"clip.mp4", "-audio"});
  EXPECT_EQ(result.out, Details{}.Text());
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.calls, Concat({kPreambleAndStream,
                                  {"ZR8READER_ReadAudioStream_GetSampleCount audio1 => 48000",
                                   "ZR8READER_ReadAudioStream_GetCompressedFormat audio1 => 0"},
                                  kSuccessfulRelease}));
  EXPECT_FALSE(result.HasFile("zr8reader.pcm"));
}

TEST(AudioReport, ExtractsTwoChannelsOf48000FramesInBlocks) {
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig("audio.channels 2\naudio.sampleCount 48000\n");
  const auto result = run.Run({"clip.mp4", "-audio", "-extract"});
  EXPECT_EQ(result.out, Details{}.Text() + "Written 48000 samples (384000 bytes) to file '" +
                            harness::Prefix() + "zr8reader.pcm'\n");
  Calls requests;
  for (int64_t start = 0; start < 48000; start += 4096) {
    const int64_t frames = std::min<int64_t>(4096, 48000 - start);
    requests.push_back("ZR8READER_ReadAudioStream_GetSamples audio1 " + std::to_string(start) +
                       " " + std::to_string(frames) + " => 0 " + std::to_string(frames));
  }
  EXPECT_EQ(result.CallsOf({"ReadAudioStream_GetSamples"}), requests);
  EXPECT_EQ(result.calls, Concat({kPreambleAndStream,
                                  {"ZR8READER_ReadAudioStream_GetSampleCount audio1 => 48000",
                                   "ZR8READER_ReadAudioStream_GetCompressedFormat audio1 => 0"},
                                  requests,
                                  kSuccessfulRelease}));
  const std::string file = result.File("zr8reader.pcm");
  EXPECT_EQ(file.size(), 384000u);
  EXPECT_TRUE(file == Pcm(48000, 2));
  EXPECT_TRUE(result.Misuse().empty());
}

struct ExtractionCase {
  const char* what;
  std::string config;
  Calls requests;        // "start maxFrames => status framesRead" of each GetSamples call
  int64_t framesInFile;  // frames 0 to framesInFile - 1
  int channels;
  bool complete;  // the Written line and the successful releases, or the sample error
};

void PrintTo(const ExtractionCase& param, std::ostream* out) {
  *out << param.what;
}

class AudioExtraction : public testing::TestWithParam<ExtractionCase> {};

// Every request, the file's bytes and the end of the extraction, block by block.
TEST_P(AudioExtraction, WritesEachDeliveredBlockAndEndsAsItShould) {
  const ExtractionCase& param = GetParam();
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig(param.config);
  const auto result = run.Run({"clip.mp4", "-audio", "-extract"});
  Calls requests;
  for (const std::string& request : param.requests) {
    requests.push_back("ZR8READER_ReadAudioStream_GetSamples audio1 " + request);
  }
  EXPECT_EQ(result.CallsOf({"ReadAudioStream_GetSamples"}), requests);
  const std::string out = result.out;
  const std::string ending =
      param.complete ? WrittenLine(param.framesInFile, param.channels) : kSampleError;
  ASSERT_GE(out.size(), ending.size());
  EXPECT_EQ(out.substr(out.size() - ending.size()), ending);
  EXPECT_EQ(out.find("Written"), param.complete ? out.size() - ending.size() : std::string::npos);
  EXPECT_TRUE(result.File("zr8reader.pcm") == Pcm(param.framesInFile, param.channels));
  Calls releases = param.complete ? kSuccessfulRelease : kFailedRelease;
  EXPECT_EQ(result.CallsOf(kReleases), releases);
  EXPECT_EQ(result.EntryPoints().back(), "ZR8READER_DeleteReadFileHandle");
  EXPECT_TRUE(result.Misuse().empty());  // one buffer for every block, handles released once
}

ExtractionCase Extraction(const char* what, std::string config, Calls requests, int64_t frames,
                          int channels, bool complete) {
  return {what, std::move(config), std::move(requests), frames, channels, complete};
}

INSTANTIATE_TEST_SUITE_P(
    AudioReport, AudioExtraction,
    testing::Values(
        Extraction("ShortStreamInOneRequest", "audio.sampleCount 10\naudio.channels 1\n",
                   {"0 4096 => 0 10"}, 10, 1, true),
        Extraction("ExactlyOneBlock", "audio.sampleCount 4096\naudio.channels 3\n",
                   {"0 4096 => 0 4096"}, 4096, 3, true),
        Extraction("ShortDeliveriesAskAgainFromTheNextFrame",
                   "audio.sampleCount 5000\naudio.blocks 1000 10 4096\n",
                   {"0 4096 => 0 1000", "1000 4000 => 0 10", "1010 3990 => 0 3990"}, 5000, 2, true),
        Extraction("MoreDeliveredThanCountedEndsTheExtraction",
                   "audio.sampleCount 100\naudio.available 5000\n", {"0 4096 => 0 4096"}, 4096, 2,
                   true),
        Extraction("ZeroSampleCountStillAsksOnce", "audio.sampleCount 0\naudio.available 300\n",
                   {"0 4096 => 0 300"}, 300, 2, true),
        Extraction("NegativeSampleCountStillAsksOnce", "audio.sampleCount -5\naudio.available 7\n",
                   {"0 4096 => 0 7"}, 7, 2, true),
        Extraction("ZeroSampleCountWithNothingDelivered", "audio.sampleCount 0\n",
                   {"0 4096 => 0 0"}, 0, 2, false),
        Extraction("FirstRequestFails", "fail ZR8READER_ReadAudioStream_GetSamples 1\n",
                   {"0 4096 => -2147467259"}, 0, 2, false),
        Extraction("LaterRequestFailsAndTheFileKeepsEarlierBlocks",
                   "audio.sampleCount 10000\nfail ZR8READER_ReadAudioStream_GetSamples 3\n",
                   {"0 4096 => 0 4096", "4096 4096 => 0 4096", "8192 1808 => -2147467259"}, 8192, 2,
                   false),
        Extraction("EmptyDeliveryBeforeTheEnd", "audio.sampleCount 10000\naudio.blocks 4096 0\n",
                   {"0 4096 => 0 4096", "4096 4096 => 0 0"}, 4096, 2, false),
        Extraction("MoreFramesThanAskedForIsRefused",
                   "audio.sampleCount 10000\naudio.overcount 1\n", {"0 4096 => 0 4097"}, 0, 2,
                   false)),
    [](const auto& info) { return info.param.what; });

TEST(AudioReport, AnExistingOutputFileIsTruncated) {
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig("audio.sampleCount 10\naudio.channels 1\n");
  {
    std::ofstream old(run.dir() / "zr8reader.pcm", std::ios::binary);
    old << std::string(100000, 'x');
  }
  const auto result = run.Run({"clip.mp4", "-audio", "-extract"});
  EXPECT_TRUE(result.File("zr8reader.pcm") == Pcm(10, 1));
}

TEST(AudioReport, OutputFileThatCannotBeOpened) {
  ClientRun run;
  run.WithLibrary(Library::kFake);
  // A directory of that name makes the open fail, whoever runs the test.
  std::filesystem::create_directory(run.dir() / "zr8reader.pcm");
  const auto result = run.Run({"clip.mp4", "-audio", "-extract"});
  EXPECT_EQ(result.out, Details{}.Text() + "failed to open output file '" + harness::Prefix() +
                            "zr8reader.pcm' for writing\n");
  EXPECT_TRUE(result.CallsOf({"ReadAudioStream_GetSamples"}).empty());
  EXPECT_EQ(result.CallsOf(kReleases), kFailedRelease);
  EXPECT_EQ(result.status, 255);
}

// Our own choice: fewer than one channel cannot be extracted. The report still comes first; no
// request is made, no file is created, and the handles go as after any failed extraction.
TEST(AudioReport, RefusesToExtractFewerThanOneChannel) {
  for (const char* channels : {"0", "-3"}) {
    SCOPED_TRACE(channels);
    ClientRun run;
    run.WithLibrary(Library::kFake).WithConfig(std::string("audio.channels ") + channels);
    const auto result = run.Run({"clip.mp4", "-audio", "-extract"});
    Details details;
    details.channels = channels;
    EXPECT_EQ(result.out, details.Text() +
                              "The audio samples cannot be extracted: the stream has " + channels +
                              " channels.\n");
    EXPECT_TRUE(result.CallsOf({"ReadAudioStream_GetSamples"}).empty());
    EXPECT_FALSE(result.HasFile("zr8reader.pcm"));
    EXPECT_EQ(result.CallsOf(kReleases), kFailedRelease);
  }
}

struct FailureCase {
  const char* what;
  std::vector<std::string> arguments;
  std::string config;
  std::string out;  // after the header
  Calls tail;       // the calls after the stream count
};

void PrintTo(const FailureCase& param, std::ostream* out) {
  *out << param.what;
}

class AudioFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(AudioFailure, PrintsItsMessageAndReleasesWhatWasOpened) {
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig(GetParam().config);
  std::vector<std::string> arguments{"clip.mp4", "-audio"};
  arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  const auto result = run.Run(arguments);
  EXPECT_EQ(result.out, kHeader + GetParam().out);
  ASSERT_GE(result.calls.size(), 4u);
  EXPECT_EQ(Calls(result.calls.begin() + 4, result.calls.end()), GetParam().tail);
  EXPECT_FALSE(result.HasFile("zr8reader.pcm"));
  EXPECT_EQ(result.status, 255);
}

const std::string kStreamsLine = "Number of audio streams: 1\n\n";

FailureCase Failure(const char* what, std::vector<std::string> arguments, std::string config,
                    std::string out, Calls tail) {
  return {what, std::move(arguments), std::move(config), std::move(out), std::move(tail)};
}

INSTANTIATE_TEST_SUITE_P(
    AudioReport, AudioFailure,
    testing::Values(Failure("NegativeStreamCount", {}, "audioStreams -1",
                            "The specified file does not contain audio.\n",
                            {"ZR8READER_DeleteReadFileHandle file1 => 0"}),
                    Failure("NoSuchStream", {"-stream", "2"}, "audioStreams 2",
                            "The specified stream does not exist; file only contains 2\n",
                            {"ZR8READER_DeleteReadFileHandle file1 => 0"}),
                    Failure("NegativeIndexGoesToTheLibrary", {"-stream", "-1"}, "",
                            kStreamsLine + "An error occurred opening the audio stream.\n",
                            {"ZR8READER_ReadFile_OpenAudioStream file1 -1 => -2147024809",
                             "ZR8READER_DeleteReadFileHandle file1 => 0"})),
    [](const auto& info) { return info.param.what; });

// "-stream" picks the stream and implies extraction; a value that is no number picks stream 0.
TEST(AudioReport, StreamOptionChoosesTheStreamAndExtracts) {
  struct Case {
    const char* value;
    int index;
  };
  for (const Case& c : {Case{"2", 2}, Case{"x", 0}}) {
    SCOPED_TRACE(c.value);
    ClientRun run;
    run.WithLibrary(Library::kFake)
        .WithConfig("audioStreams 3\naudio.sampleCount 20\naudio2.channels 5\n");
    const auto result = run.Run({"clip.mp4", "-audio", "-stream", c.value});
    Details details;
    details.streams = 3;
    details.index = c.index;
    details.sampleCount = "20";
    details.channels = c.index == 2 ? "5" : "2";
    const int channels = c.index == 2 ? 5 : 2;
    EXPECT_EQ(result.out, details.Text() + WrittenLine(20, channels));
    EXPECT_EQ(result.CallsOf({"ReadFile_OpenAudioStream"}),
              Calls{"ZR8READER_ReadFile_OpenAudioStream file1 " + std::to_string(c.index) +
                    " => 0 audio1"});
    EXPECT_TRUE(result.File("zr8reader.pcm") == Pcm(20, channels));
  }
}

struct LineCase {
  const char* what;
  std::string config;
  Details details;
};

void PrintTo(const LineCase& param, std::ostream* out) {
  *out << param.what;
}

class AudioReportLines : public testing::TestWithParam<LineCase> {};

// The format text, the number formats and the shared bit-depth field of the report lines.
TEST_P(AudioReportLines, PrintsEachFieldAsTheStreamDefaultDoes) {
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig(GetParam().config);
  EXPECT_EQ(run.Run({"clip.mp4", "-audio"}).out, GetParam().details.Text());
}

Details With(void (*change)(Details&)) {
  Details details;
  change(details);
  return details;
}

INSTANTIATE_TEST_SUITE_P(
    AudioReport, AudioReportLines,
    testing::Values(
        LineCase{"FormatEmptyAtLeadingZero", "audio.format 0x00414243",
                 With([](Details& d) { d.format = ""; })},
        LineCase{"FormatEndsAtSecondByte", "audio.format 0x41004243",
                 With([](Details& d) { d.format = "A"; })},
        LineCase{"FormatEndsAtThirdByte", "audio.format 0x41420043",
                 With([](Details& d) { d.format = "AB"; })},
        LineCase{"FormatOfThreeCharacters", "audio.format 0x41424300",
                 With([](Details& d) { d.format = "ABC"; })},
        LineCase{"FormatBytesPassUnchanged", "audio.format 0x41E9FF42", With([](Details& d) {
                   d.format =
                       "A\xE9\xFF"
                       "B";
                 })},
        LineCase{"FractionalRateAndDuration", "audio.sampleRate 22050.5\naudio.length 15000000",
                 With([](Details& d) {
                   d.sampleRate = "22050.5";
                   d.seconds = "1.5";
                 })},
        LineCase{"LargeValuesUseExponents", "audio.sampleRate 1234567\naudio.length 98765432100000",
                 With([](Details& d) {
                   d.sampleRate = "1.23457e+06";
                   d.seconds = "9.87654e+06";
                 })},
        LineCase{"IntegersWithoutGrouping",
                 "audio.sampleCount 9000000000\naudio.avgBitRate 4294967295\n"
                 "audio.maxBitRate 0\naudio.bitDepth 24\naudio.channels 6",
                 With([](Details& d) {
                   d.sampleCount = "9000000000";
                   d.avgBitRate = "4294967295";
                   d.maxBitRate = "0";
                   d.bitDepth = "24";
                   d.channels = "6";
                 })},
        LineCase{"NegativeFields", "audio.length -5000000\naudio.bitDepth -1\naudio.sampleCount -2",
                 With([](Details& d) {
                   d.seconds = "-0.5";
                   d.bitDepth = "-1";
                   d.sampleCount = "-2";
                 })},
        LineCase{"FourCCText", "audio.fourCC 0x4F505553",
                 With([](Details& d) { d.fourCC = "OPUS"; })}),
    [](const auto& info) { return info.param.what; });

}  // namespace
