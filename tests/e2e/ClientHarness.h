// Runs the built client in a fresh temporary directory with the fake reader library (or none)
// beside it, and collects its output, exit status, the fake's call log and its files. A sanitizer
// report or a misused handle fails the test. The environment can name another build of the client
// (the Windows build under wine): ZR8_TEST_LAUNCHER, ZR8_TEST_CLIENT, ZR8_TEST_FAKE,
// ZR8_TEST_FAKE_MISSING20, ZR8_TEST_REAL, ZR8_TEST_LIBRARY_NAME and ZR8_TEST_PATH_PREFIX.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace harness {

// kReal: the reader library built on FFmpeg (ZR8_TEST_REAL).
enum class Library { kNone, kFake, kFakeMissing20, kReal };

struct RunResult {
  // From the Windows build: CR LF read as LF (a bare LF shown as "<bare LF>"), and on stderr the
  // debugger-output lines that wine traces ("WINEDEBUG=+debugstr") as their text.
  std::string out;
  std::string err;
  int status = 0;
  std::vector<std::string> calls;  // the fake's log, one entry per line
  std::filesystem::path dir;       // the directory the client ran in

  std::string File(const std::string& name) const;  // the bytes of an output file
  // The calls of these entry points ("ZR8READER_" may be left out; none: all), in order.
  std::vector<std::string> CallsOf(const std::vector<std::string>& names) const;
};

class ClientRun {
 public:
  ClientRun();
  ~ClientRun();
  ClientRun(const ClientRun&) = delete;
  ClientRun& operator=(const ClientRun&) = delete;

  ClientRun& WithLibrary(Library library);
  ClientRun& WithConfig(const std::string& text);
  // Without the system's OpenCL library: one that does not load comes first (Linux), or wine is
  // told not to load it.
  ClientRun& WithoutOpenCL();
  // Runs the client with these arguments (after the program name); may run more than once.
  RunResult Run(const std::vector<std::string>& arguments);

  const std::filesystem::path& dir() const { return work_; }

 private:
  std::filesystem::path root_;
  std::filesystem::path work_;
  std::vector<std::string> environment_;
};

std::string Prefix();       // of output files and the library as the client prints them ("./")
std::string LibraryName();  // "libZr8Reader.so"
bool IsWindowsBuild();      // (its prefix is ".\")

std::string ReadAll(const std::filesystem::path& path);
std::vector<std::string> Lines(const std::string& text);
// Text with C-style escapes: \xHH, \n, \r, \t; \(N*c) for N copies of c; a backslash before a line
// feed drops both, before any other character it stands for that character.
std::string Unescape(const std::string& text);

}  // namespace harness
