// The command line: which mode runs for which arguments, and every rejection.
#include <gtest/gtest.h>

#include "e2e/ClientHarness.h"

using harness::ClientRun;
using harness::kUsage;
using harness::Library;

namespace {

struct RejectionCase {
  const char* what;
  std::vector<std::string> arguments;

  friend void PrintTo(const RejectionCase& c, std::ostream* os) { *os << c.what; }
};

class Rejection : public testing::TestWithParam<RejectionCase> {};

// Every rejection: the usage text alone, exit status -1, and no library call at all.
TEST_P(Rejection, PrintsUsageAndCallsNothing) {
  ClientRun run;
  run.WithLibrary(Library::kFake);
  const auto result = run.Run(GetParam().arguments);
  EXPECT_EQ(result.out, kUsage);
  EXPECT_EQ(result.status, 255);
  EXPECT_TRUE(result.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Rejection,
    testing::Values(
        RejectionCase{"NoArguments", {}}, RejectionCase{"ModeWordCase", {"clip", "-Brief"}},
        RejectionCase{"ModeWordWithSuffix", {"clip", "-briefly"}},
        RejectionCase{"ModeWordBeforeFile", {"-brief", "clip"}},
        RejectionCase{"StreamWithoutValue", {"clip", "-audio", "-stream"}},
        RejectionCase{"AudioWithSevenArguments", {"clip", "-audio", "a", "b", "c", "d", "e"}},
        RejectionCase{"HardwareLowerCase", {"clip", "-video", "-hardware", "amd"}},
        RejectionCase{"HardwareWithoutValue", {"clip", "-video", "-hardware"}},
        RejectionCase{"HardwareAuto", {"clip", "-video", "-hardware", "AUTO"}},
        RejectionCase{"FileWithoutValue", {"clip", "-video", "-file", "a", "-file"}},
        RejectionCase{"HwcheckOOPOverLimit",
                      {"clip", "-hwcheckOOP", "-timeout", "100", "-useCache"}},
        RejectionCase{"TimeoutWithoutValue", {"clip", "-hwcheckOOP", "-timeout"}},
        RejectionCase{"HwdetectionOverLimit",
                      {"clip", "-hwdetection", "-timeout", "1", "-useCache", "x"}},
        RejectionCase{"HwdetectionOOPOverLimit", {"clip", "-hwdetectionOOP", "a", "b", "c", "d"}},
        RejectionCase{"DxgiWithoutValue", {"clip", "-hwdetectionOOP", "-dxgiEnumPreference"}}),
    [](const auto& info) { return info.param.what; });

struct ModeCase {
  const char* what;
  std::vector<std::string> arguments;
  std::string title;  // what the chosen mode writes first

  friend void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.what; }
};

class ModeChoice : public testing::TestWithParam<ModeCase> {};

// The mode that runs is the one argument 2 names; nothing follows its output.
TEST_P(ModeChoice, RunsTheNamedMode) {
  ClientRun run;  // no library: each mode stops after its load-failure message
  const auto result = run.Run(GetParam().arguments);
  const std::string loadFailure =
      "Failed to load the Zr8Reader DLL and/or find suitable entrypoints";
  EXPECT_EQ(result.out, GetParam().title + loadFailure);
  EXPECT_EQ(result.status, 255);
}

const std::string kBriefTitle = "\nBasic information example\nFile: \"clip\"\n\n";
const std::string kAudioTitle = "\nAudio example\nFile: \"clip\"\n\n";
const std::string kVideoTitle = "\nVideo example\nFile: \"clip\"\n\n";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, ModeChoice,
    testing::Values(
        ModeCase{"FileAlone", {"clip"}, kBriefTitle},
        ModeCase{"Brief", {"clip", "-brief", "ignored"}, kBriefTitle},
        ModeCase{"AudioBeforeVideo", {"clip", "-audio", "-video"}, kAudioTitle},
        ModeCase{"StreamNotANumber", {"clip", "-audio", "-stream", "x"}, kAudioTitle},
        ModeCase{"AudioAtLimit", {"clip", "-audio", "a", "b", "c", "d"}, kAudioTitle},
        ModeCase{"Video", {"clip", "-video", "-decode_gpu", "-hardware", "NVIDIA"}, kVideoTitle},
        ModeCase{"MultiFile",
                 {"clip", "-video", "-file", "other"},
                 "Will process 2 files\n" + kVideoTitle},
        ModeCase{"FileAsValueOfFile",
                 {"clip", "-video", "-file", "-file", "x"},
                 "Will process 3 files\n" + kVideoTitle},
        ModeCase{"SameFileTwice",
                 {"clip", "-video", "-file", "clip"},
                 "Will process 2 files\n" + kVideoTitle},
        ModeCase{"Hwcheck",
                 {"clip", "-hwcheck", "extra", "words", "x", "y", "z"},
                 "\nCheck for supported hardware decoders\n"},
        ModeCase{"HwcheckOOP",
                 {"clip", "-hwcheckOOP", "-usecache"},
                 "\nCheck for supported hardware decoders via Out-of-Process launch ...\n"},
        ModeCase{"Hwdetection",
                 {"clip", "-hwdetection", "-timeout", "100", "-useCache"},
                 "\nCheck for supported hardware decoders, plus print all collected information\n"},
        ModeCase{
            "HwdetectionOOP",
            {"-x", "-hwdetectionOOP"},
            "\nCheck for supported hardware decoders, plus print all collected information\n"}),
    [](const auto& info) { return info.param.what; });

}  // namespace
