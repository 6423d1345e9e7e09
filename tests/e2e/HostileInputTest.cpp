// Input the client does not choose: file names that are not UTF-8 or very long, in every file
// mode, and output files that cannot be created or already exist.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "e2e/ClientHarness.h"

using harness::ClientRun;
using harness::Library;
using Calls = std::vector<std::string>;

namespace {

struct NameCase {
  const char* what;
  std::string name;
  bool exists;

  friend void PrintTo(const NameCase& c, std::ostream* os) { *os << c.what; }
};

struct ModeCase {
  const char* what;
  Calls options;  // after the name
  bool second;    // the name is the second file of a multi-file run

  friend void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.what; }
};

class HostileName : public testing::TestWithParam<std::tuple<ModeCase, NameCase>> {};

// The name reaches the library and the console byte for byte, whatever the mode.
TEST_P(HostileName, ReachesTheLibraryAndTheConsoleUnchanged) {
  const auto& [mode, name] = GetParam();
  // Windows file names are UTF-16, so bytes that are not UTF-8 cannot reach a Windows build; there
  // the name holds characters outside ASCII and outside the basic plane instead.
  const std::string fileName = harness::IsWindowsBuild() && std::string(name.what) == "NotUtf8"
                                   ? "clip \xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xa5.mp4"
                                   : name.name;
  ClientRun run;
  run.WithLibrary(Library::kFake);
  if (name.exists) std::ofstream(run.dir() / fileName) << "x";
  Calls arguments{mode.second ? "a.mp4" : fileName};
  arguments.insert(arguments.end(), mode.options.begin(), mode.options.end());
  if (mode.second) arguments.insert(arguments.end(), {"-file", fileName});
  const auto result = run.Run(arguments);
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.Misuse(), Calls{});
  const std::string shown = mode.second ? "File: " + fileName + "\n" : "\"" + fileName + "\"\n";
  EXPECT_NE(result.out.find(shown), std::string::npos) << result.out.substr(0, 300);
  EXPECT_EQ(result.CallsOf({"IsSupported"}).back(),
            "ZR8READER_IsSupported \"" + fileName + "\" => 1");
}

INSTANTIATE_TEST_SUITE_P(
    HostileInput, HostileName,
    testing::Combine(testing::Values(ModeCase{"Brief", {"-brief"}, false},
                                     ModeCase{"Audio", {"-audio", "-extract"}, false},
                                     ModeCase{"Video", {"-video", "-extract"}, false},
                                     ModeCase{"MultiFile", {"-video", "-extract"}, true}),
                     testing::Values(NameCase{"NotUtf8", "clip\xff\xfe\xc3(\xed\xa0\x80.mp4", true},
                                     NameCase{"Long", std::string(5000, 'n') + ".mp4", false})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).what) + std::get<1>(info.param).what;
    });

struct OutputCase {
  const char* what;
  Calls arguments;
  Calls blocked;   // output files with a directory in their place
  Calls existing;  // output files that exist with other bytes
  size_t failures;

  friend void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.what; }
};

class OutputFile : public testing::TestWithParam<OutputCase> {};

// A file that cannot be created gives its message and no write; one that exists is replaced.
TEST_P(OutputFile, IsReplacedOrReportedAsNotOpened) {
  const OutputCase& c = GetParam();
  ClientRun run;
  run.WithLibrary(Library::kFake).WithConfig("frameCount 3\naudio.sampleCount 10\n");
  for (const std::string& name : c.blocked) std::filesystem::create_directory(run.dir() / name);
  const std::string old(200000, 'x');
  for (const std::string& name : c.existing) std::ofstream(run.dir() / name) << old;
  const auto result = run.Run(c.arguments);
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.Misuse(), Calls{});
  size_t failures = 0;
  for (size_t at = 0; (at = result.out.find("failed to open output file", at)) != std::string::npos;
       ++at) {
    ++failures;
  }
  EXPECT_EQ(failures, c.failures) << result.out;
  for (const std::string& name : c.blocked) {
    EXPECT_NE(result.out.find("'" + harness::Prefix() + name + "' for writing\n"),
              std::string::npos)
        << name;
  }
  for (const std::string& name : c.existing) {
    const std::string bytes = result.File(name);
    EXPECT_LT(bytes.size(), old.size()) << name;
    EXPECT_NE(bytes.substr(0, 16), old.substr(0, 16)) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    HostileInput, OutputFile,
    testing::Values(
        OutputCase{"BothThreadFilesBlocked",
                   {"a.mp4", "-video", "-extract", "-file", "b.mp4"},
                   {"zr8reader.0.I420", "zr8reader.1.I420"},
                   {},
                   2},
        OutputCase{
            "FrameFileExists", {"clip.mp4", "-video", "-extract"}, {}, {"zr8reader.I420"}, 0},
        OutputCase{"ThreadFileExistsOtherBlocked",
                   {"a.mp4", "-video", "-extract", "-file", "b.mp4"},
                   {"zr8reader.1.I420"},
                   {"zr8reader.0.I420"},
                   1}),
    [](const auto& info) { return info.param.what; });

}  // namespace
