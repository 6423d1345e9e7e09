// Loading the reader library from the current directory.
#include <gtest/gtest.h>

#include <fstream>

#include "e2e/ClientHarness.h"

using harness::ClientRun;
using harness::Library;

namespace {

const char kLoadFailure[] = "Failed to load the Zr8Reader DLL and/or find suitable entrypoints";

// The platform's error numbers for a failed load: no such file, and a file that is not a library.
int MissingFileError() {
  return harness::IsWindowsBuild() ? 126 : 2;  // ERROR_MOD_NOT_FOUND, ENOENT
}
int NotALibraryError() {
  return harness::IsWindowsBuild() ? 193 : 8;  // ERROR_BAD_EXE_FORMAT, ENOEXEC
}

std::string DebugLine(int error) {
  return "[DEBUG]LoadLibrary error=" + std::to_string(error) + ", failed on '" +
         harness::LibraryPath() + "'\n";
}

TEST(Loader, MissingLibraryWritesOneDebugLine) {
  ClientRun run;
  const auto result = run.Run({"clip.mp4"});
  EXPECT_EQ(result.out,
            std::string("\nBasic information example\nFile: \"clip.mp4\"\n\n") + kLoadFailure);
  EXPECT_EQ(result.err, DebugLine(MissingFileError()));
  EXPECT_EQ(result.status, 255);
}

TEST(Loader, LibraryThatIsNotLoadable) {
  ClientRun run;
  std::ofstream(run.dir() / harness::LibraryName()) << "not a library";
  const auto result = run.Run({"clip.mp4", "-hwcheck"});
  EXPECT_EQ(result.out, std::string("\nCheck for supported hardware decoders\n") + kLoadFailure);
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, DebugLine(NotALibraryError()));
}

// A missing entry point fails the load with the same message, without a debug line and without
// any call into the library.
TEST(Loader, MissingEntryPoint) {
  ClientRun run;
  run.WithLibrary(Library::kFakeMissing20);
  for (const char* mode : {"-brief", "-hwdetection"}) {
    const auto result = run.Run({"clip.mp4", mode});
    EXPECT_NE(result.out.find(kLoadFailure), std::string::npos) << mode;
    EXPECT_EQ(result.out.substr(result.out.size() - sizeof(kLoadFailure) + 1), kLoadFailure);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(result.calls.empty());
    EXPECT_EQ(result.status, 255);
  }
}

TEST(Loader, CompleteLibraryIsUsed) {
  ClientRun run;
  run.WithLibrary(Library::kFake);
  const auto result = run.Run({"clip.mp4", "-hwcheck"});
  EXPECT_EQ(result.err, "");
  ASSERT_FALSE(result.calls.empty());
  EXPECT_EQ(result.calls.front(), "ZR8READER_Initialize => 0");
}

}  // namespace
