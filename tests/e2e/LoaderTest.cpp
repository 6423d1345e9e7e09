// Loading the reader library from the current directory.
#include <gtest/gtest.h>

#include <fstream>

#include "e2e/ClientHarness.h"

using harness::ClientRun;
using harness::Library;

namespace {

const char kLoadFailure[] = "Failed to load the Zr8Reader DLL and/or find suitable entrypoints";

TEST(Loader, MissingLibraryWritesOneDebugLine) {
  ClientRun run;
  const auto result = run.Run({"clip.mp4"});
  EXPECT_EQ(result.out,
            std::string("\nBasic information example\nFile: \"clip.mp4\"\n\n") + kLoadFailure);
  EXPECT_EQ(result.err, "[DEBUG]LoadLibrary error=2, failed on '" + harness::LibraryPath() + "'\n");
  EXPECT_EQ(result.status, 255);
}

TEST(Loader, LibraryThatIsNotLoadable) {
  ClientRun run;
  std::ofstream(run.dir() / "libZr8Reader.so") << "not a library";
  const auto result = run.Run({"clip.mp4", "-hwcheck"});
  EXPECT_EQ(result.out, std::string("\nCheck for supported hardware decoders\n") + kLoadFailure);
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, "[DEBUG]LoadLibrary error=8, failed on '" + harness::LibraryPath() + "'\n");
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
