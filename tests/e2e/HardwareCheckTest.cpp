// The hardware decoder checks and the detection report, end to end against the fake library.
#include <gtest/gtest.h>

#include "e2e/ClientHarness.h"

using harness::ClientRun;
using harness::Library;
using Calls = std::vector<std::string>;

namespace {

const std::string kCheckTitle = "\nCheck for supported hardware decoders\n";
const std::string kOOPTitle =
    "\nCheck for supported hardware decoders via Out-of-Process launch ...\n";
const std::string kDetectionTitle =
    "\nCheck for supported hardware decoders, plus print all collected information\n";
const std::string kHeaderLine = " Hardware Decoders detected (in order of preference):\n";

std::string Total(const std::string& count) {
  return "Total Hardware Decoders detected = " + count + "\n";
}

const std::string kThreeDecoders = "decoders 4:4318:GPU A;2:32902:iGPU;3:4098:Radeon\n";

struct ListCase {
  const char* what;
  std::string mode;
  std::string config;
  std::string out;  // after the title
};

void PrintTo(const ListCase& param, std::ostream* out) {
  *out << param.what;
}

class DecoderList : public testing::TestWithParam<ListCase> {};

// The limits of the lists: counts, failed queries, answers that disagree, unknown kinds.
TEST_P(DecoderList, PrintsWhatTheListHolds) {
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig(GetParam().config);
  const std::string& mode = GetParam().mode;
  const auto result = run.Run({"dummy", mode});
  const std::string title = mode == "-hwcheck"      ? kCheckTitle
                            : mode == "-hwcheckOOP" ? kOOPTitle
                                                    : kDetectionTitle;
  EXPECT_EQ(result.out, title + GetParam().out);
  EXPECT_EQ(result.status, 0);
}

std::string DetectionLines(int count) {
  // The fake lists the configured decoders, then kind i % 5 with id 1000 + i.
  const char* names[] = {"None", "Auto", "QSV", "UVD/VCN", "NVDEC/NVENC"};
  std::string lines;
  for (int i = 0; i < count; ++i) {
    lines +=
        "   " + std::to_string(i) + ": " + names[i % 5] + " on " + std::to_string(1000 + i) + "\n";
  }
  return lines;
}

INSTANTIATE_TEST_SUITE_P(
    HardwareChecks, DecoderList,
    testing::Values(
        // The three lists of the same decoders, each with its own names.
        ListCase{"Check", "-hwcheck", kThreeDecoders,
                 Total("3") + kHeaderLine +
                     "   0: NVDEC on 4318\n   1: QSV on 32902\n   2: UVD/VCN on 4098\n"},
        ListCase{"OOP", "-hwcheckOOP", kThreeDecoders,
                 Total("3") + kHeaderLine +
                     "   0: NVDEC on GPU A with vendor unique id 4318\n"
                     "   1: QSV on iGPU with vendor unique id 32902\n"
                     "   2: UVD/VCN on Radeon with vendor unique id 4098\n"},
        ListCase{"Detection", "-hwdetection", kThreeDecoders,
                 Total("3") + kHeaderLine +
                     "   0: NVDEC/NVENC on 4318\n   1: QSV on 32902\n   2: UVD/VCN on 4098\n"},
        ListCase{"CheckNoDecoders", "-hwcheck", "", Total("0")},
        ListCase{"CheckSecondAnswerFewer", "-hwcheck", kThreeDecoders + "decoders.second 2:7:X",
                 Total("3") + kHeaderLine + "   0: QSV on 7\n"},
        ListCase{"CheckSecondAnswerNone", "-hwcheck", kThreeDecoders + "decoders.second ;",
                 Total("3") + kHeaderLine},
        ListCase{"CheckSecondAnswerMoreStaysWithinTheList", "-hwcheck",
                 "decoders 4:1:A;2:2:B\ndecoders.second 3:3:C;3:4:D;3:5:E;3:6:F",
                 Total("2") + kHeaderLine + "   0: UVD/VCN on 3\n   1: UVD/VCN on 4\n"},
        ListCase{"CheckKindsByCode", "-hwcheck", "decoders 0:0:A;1:1:B;5:2:C;-1:4294967295:D",
                 Total("4") + kHeaderLine +
                     "   0: None on 0\n   1: Auto on 1\n   2: Unknown on 2\n"
                     "   3: Unknown on 4294967295\n"},
        ListCase{"CheckCountBeyondMemory", "-hwcheck", "decoders.count 2147483647",
                 Total("2147483647") + "Not enough memory for 2147483647 decoder records\n"},
        ListCase{"OOPNoDecoders", "-hwcheckOOP", "", Total("0")},
        ListCase{"OOPSecondAnswerMoreStaysWithinTheList", "-hwcheckOOP",
                 "decoders 4:1:A\ndecoders.second 4:1:A;9:2:B",
                 Total("1") + kHeaderLine + "   0: NVDEC on A with vendor unique id 1\n"},
        ListCase{"OOPUnknownKind", "-hwcheckOOP", "decoders 17:5:Odd",
                 Total("1") + kHeaderLine + "   0: Unknown on Odd with vendor unique id 5\n"},
        ListCase{"DetectionNoDecoders", "-hwdetection", "", Total("0")},
        ListCase{"DetectionAtMostSixteen", "-hwdetection", "detection.count 20",
                 Total("20") + kHeaderLine + DetectionLines(16)},
        ListCase{"DetectionExactlySixteen", "-hwdetectionOOP", "detection.count 16",
                 Total("16") + kHeaderLine + DetectionLines(16)},
        ListCase{"DetectionCountIsUnsigned", "-hwdetection", "detection.count 4294967295",
                 Total("4294967295") + kHeaderLine + DetectionLines(16)},
        ListCase{"DetectionUnknownKinds", "-hwdetection", "decoders 5:1:A;-7:2:B;1:3:C",
                 Total("3") + kHeaderLine +
                     "   0: Unknown on 1\n   1: Unknown on 2\n   2: Auto on 3\n"}),
    [](const auto& info) { return info.param.what; });

struct NameCase {
  const char* what;
  std::string name;     // as configured (UTF-8)
  std::string printed;  // as the console shows it (UTF-8)
};

void PrintTo(const NameCase& param, std::ostream* out) {
  *out << param.what;
}

class DeviceName : public testing::TestWithParam<NameCase> {};

// The device name is UTF-16 in the record; the console shows it as text, within its 128 units.
TEST_P(DeviceName, PrintsTheNameWithinItsField) {
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig("decoders 2:9:" + GetParam().name);
  const auto result = run.Run({"dummy", "-hwcheckOOP"});
  EXPECT_EQ(result.out, kOOPTitle + Total("1") + kHeaderLine + "   0: QSV on " +
                            GetParam().printed + " with vendor unique id 9\n");
}

const std::string k127(127, 'n');

INSTANTIATE_TEST_SUITE_P(
    HardwareCheckOOP, DeviceName,
    testing::Values(NameCase{"Empty", "", ""},
                    NameCase{"Plain", "Intel(R) UHD Graphics 770", "Intel(R) UHD Graphics 770"},
                    NameCase{"OutsideAscii",
                             "Gr\xC3\xA4"
                             "fikkarte \xE2\x84\xA2",
                             "Gr\xC3\xA4"
                             "fikkarte \xE2\x84\xA2"},
                    NameCase{"SurrogatePair", "GPU \xF0\x9F\x8E\xAE", "GPU \xF0\x9F\x8E\xAE"},
                    NameCase{"LoneSurrogate",
                             "bad\xFF"
                             "byte",
                             "bad\xEF\xBF\xBD"
                             "byte"},
                    NameCase{"UnterminatedEndsAfter128Units", k127 + "xyz", k127 + "x"}),
    [](const auto& info) { return info.param.what; });

struct ValuesCase {
  const char* what;
  std::vector<std::string> arguments;
  Calls queries;  // the hardware queries, with what they were given
};

void PrintTo(const ValuesCase& param, std::ostream* out) {
  *out << param.what;
}

class ValuesToTheLibrary : public testing::TestWithParam<ValuesCase> {};

// What reaches the library from the command line: time-out, cache flag, DXGI preference.
TEST_P(ValuesToTheLibrary, PassesTheParsedValues) {
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig("decoders 4:1:A;2:2:B\n");
  const auto result = run.Run(GetParam().arguments);
  Calls expected{"ZR8READER_Initialize => 0"};
  expected.insert(expected.end(), GetParam().queries.begin(), GetParam().queries.end());
  EXPECT_EQ(result.calls, expected);
  EXPECT_EQ(result.status, 0);
}

ValuesCase Passes(const char* what, std::vector<std::string> arguments, Calls queries) {
  return {what, std::move(arguments), std::move(queries)};
}

INSTANTIATE_TEST_SUITE_P(
    HardwareChecks, ValuesToTheLibrary,
    testing::Values(Passes("CheckTakesNoOptions", {"dummy", "-hwcheck", "-timeout", "7"},
                           {"ZR8READER_GetSupportedHardwareDecoders 0 null => 0 2",
                            "ZR8READER_GetSupportedHardwareDecoders 2 records => 0 2"}),
                    Passes("OOPDefaults", {"dummy", "-hwcheckOOP"},
                           {"ZR8READER_GetSupportedHardwareDecodersOOP 0 null 5000 0 => 0 2",
                            "ZR8READER_GetSupportedHardwareDecodersOOP 2 records 5000 0 => 0 2"}),
                    Passes("OOPTimeout", {"dummy", "-hwcheckOOP", "-timeout", "250"},
                           {"ZR8READER_GetSupportedHardwareDecodersOOP 0 null 250 0 => 0 2",
                            "ZR8READER_GetSupportedHardwareDecodersOOP 2 records 250 0 => 0 2"}),
                    Passes("OOPCache", {"dummy", "-hwcheckOOP", "-useCache"},
                           {"ZR8READER_GetSupportedHardwareDecodersOOP 0 null 5000 1 => 0 2",
                            "ZR8READER_GetSupportedHardwareDecodersOOP 2 records 5000 1 => 0 2"}),
                    Passes("OOPCacheWordIsCaseSensitive", {"dummy", "-hwcheckOOP", "-usecache"},
                           {"ZR8READER_GetSupportedHardwareDecodersOOP 0 null 5000 0 => 0 2",
                            "ZR8READER_GetSupportedHardwareDecodersOOP 2 records 5000 0 => 0 2"}),
                    Passes("DetectionPassesOnlyThePreference",
                           {"dummy", "-hwdetection", "-timeout", "100", "-useCache"},
                           {"ZR8READER_GetHardwareDetectionResults 0 => 0 2"}),
                    Passes("DetectionPreference",
                           {"dummy", "-hwdetection", "-dxgiEnumPreference", "2"},
                           {"ZR8READER_GetHardwareDetectionResults 2 => 0 2"}),
                    Passes("DetectionOOPDefaults", {"dummy", "-hwdetectionOOP"},
                           {"ZR8READER_GetHardwareDetectionResultsOOP 5000 0 0 => 0 2"}),
                    Passes("DetectionOOPTimeoutAndCache",
                           {"dummy", "-hwdetectionOOP", "-timeout", "100", "-useCache"},
                           {"ZR8READER_GetHardwareDetectionResultsOOP 100 1 0 => 0 2"}),
                    Passes("DetectionOOPPreferenceAndCache",
                           {"dummy", "-hwdetectionOOP", "-dxgiEnumPreference", "-3", "-useCache"},
                           {"ZR8READER_GetHardwareDetectionResultsOOP 5000 1 -3 => 0 2"})),
    [](const auto& info) { return info.param.what; });

struct PreambleCase {
  const char* what;
  std::vector<std::string> arguments;
  std::string title;
};

void PrintTo(const PreambleCase& param, std::ostream* out) {
  *out << param.what;
}

class HardwarePreamble : public testing::TestWithParam<PreambleCase> {};

// Every hardware mode returns -2 when the library cannot be initialised, after the title and the
// fixed message, with no query made (-1 without the library: CommandLine.ModeChoice).
TEST_P(HardwarePreamble, ReturnsMinusTwoWithoutAQuery) {
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig(kThreeDecoders + "fail ZR8READER_Initialize\n");
  const auto result = run.Run(GetParam().arguments);
  EXPECT_EQ(result.out, GetParam().title + "Failed to initialize FileIO subsystem");
  EXPECT_EQ(result.calls, Calls{"ZR8READER_Initialize => -2147467259"});
  EXPECT_EQ(result.status, 254);
}

INSTANTIATE_TEST_SUITE_P(
    HardwareChecks, HardwarePreamble,
    testing::Values(PreambleCase{"Check", {"dummy", "-hwcheck"}, kCheckTitle},
                    PreambleCase{"CheckOOP", {"dummy", "-hwcheckOOP"}, kOOPTitle},
                    PreambleCase{"Detection", {"dummy", "-hwdetection"}, kDetectionTitle},
                    PreambleCase{"DetectionOOP", {"dummy", "-hwdetectionOOP"}, kDetectionTitle}),
    [](const auto& info) { return info.param.what; });

}  // namespace
