// The brief report, end to end against the fake library.
#include <gtest/gtest.h>

#include "e2e/ClientHarness.h"

using harness::ClientRun;
using harness::Library;
using Calls = std::vector<std::string>;

namespace {

std::string Report(const std::string& file, int audio, int video, const std::string& seconds,
                   const std::string& name) {
  return "\nBasic information example\nFile: \"" + file +
         "\"\n\nFile is of a supported format.\nAudio stream count: " + std::to_string(audio) +
         "\nVideo stream count: " + std::to_string(video) + "\nDuration: " + seconds +
         " seconds\n\nClosing file '" + name + "'\n";
}

TEST(BriefReport, ReportsAndReleasesInOrder) {
  ClientRun run;
  run.WithLibrary(Library::kFake)
      .WithConfig("audioStreams 1\nvideoStreams 1\nfileLength 900000000\n");
  const auto result = run.Run({"clip.mp4", "-brief"});
  EXPECT_EQ(result.out, Report("clip.mp4", 1, 1, "90", "clip.mp4"));
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.calls, (Calls{
                              "ZR8READER_Initialize => 0",
                              "ZR8READER_IsSupported \"clip.mp4\" => 1",
                              "ZR8READER_OpenReadFile \"clip.mp4\" 3 => 0 file1",
                              "ZR8READER_ReadFile_GetAudioStreamCount file1 => 1",
                              "ZR8READER_ReadFile_GetVideoStreamCount file1 => 1",
                              "ZR8READER_ReadFile_GetFileLength file1 => 900000000",
                              "ZR8READER_ReadFile_GetFileName file1 512 => 0",
                              "ZR8READER_ReadFile_IsFileOpen file1 => 1",
                              "ZR8READER_ReadFile_CloseFile file1 => 0",
                              "ZR8READER_DeleteReadFileHandle file1 => 0",
                          }));
  EXPECT_FALSE(result.HasFile("zr8reader.pcm"));
}

struct DurationCase {
  const char* what;
  const char* ticks;
  const char* seconds;

  friend void PrintTo(const DurationCase& c, std::ostream* os) { *os << c.what; }
};

class BriefDuration : public testing::TestWithParam<DurationCase> {};

TEST_P(BriefDuration, PrintsSecondsInTheDefaultFormat) {
  ClientRun run;
  run.WithLibrary(Library::kFake)
      .WithConfig(std::string("audioStreams 0\nvideoStreams 2\nfileLength ") + GetParam().ticks);
  const auto result = run.Run({"clip.mp4"});
  EXPECT_EQ(result.out, Report("clip.mp4", 0, 2, GetParam().seconds, "clip.mp4"));
}

INSTANTIATE_TEST_SUITE_P(BriefReport, BriefDuration,
                         testing::Values(DurationCase{"Zero", "0", "0"},
                                         DurationCase{"Ninety", "900000000", "90"},
                                         DurationCase{"Fraction", "25000000", "2.5"},
                                         DurationCase{"Exponent", "12345678900000", "1.23457e+06"},
                                         DurationCase{"Small", "1", "1e-07"},
                                         DurationCase{"Negative", "-15000000", "-1.5"}),
                         [](const auto& info) { return info.param.what; });

TEST(BriefReport, NameIsTheLibrarysAndAFileNotOpenIsNotClosed) {
  ClientRun run;
  run.WithLibrary(Library::kFake)
      .WithConfig("fileName /media/library name.mp4\nresult ZR8READER_ReadFile_IsFileOpen 0\n");
  const auto result = run.Run({"clip.mp4", "-brief"});
  EXPECT_EQ(result.out, Report("clip.mp4", 1, 1, "90", "/media/library name.mp4"));
  EXPECT_TRUE(result.CallsOf({"ReadFile_CloseFile"}).empty());
  EXPECT_EQ(result.CallsOf({"DeleteReadFileHandle"}),
            Calls{"ZR8READER_DeleteReadFileHandle file1 => 0"});
}

// Text outside ASCII never cuts the output short, and the name reaches the library unchanged.
// On Linux even bytes that are not UTF-8 survive; a Windows name is UTF-16 and prints as UTF-8
// when standard output is redirected.
TEST(BriefReport, FileNamesKeepTheirCharacters) {
  std::vector<std::string> names{"clip-\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xa5.mp4"};
  if (!harness::IsWindowsBuild()) names.push_back("clip\xff\xc3(\xe2\x82\xac.mp4");
  for (const std::string& name : names) {
    ClientRun run;
    run.WithLibrary(Library::kFake);
    const auto result = run.Run({name});
    EXPECT_EQ(result.out, Report(name, 1, 1, "90", name));
    EXPECT_EQ(result.CallsOf({"IsSupported"}),
              Calls{"ZR8READER_IsSupported \"" + name + "\" => 1"});
  }
}

}  // namespace
