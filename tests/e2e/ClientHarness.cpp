#include "e2e/ClientHarness.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

#ifndef ZR8_TEST_REAL
#define ZR8_TEST_REAL ""  // the end-to-end tests: only from the environment
#endif

namespace harness {
namespace {

std::string Setting(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Windows writes line ends as CR LF; compare as LF. A bare LF is a fault there.
std::string WithoutCarriageReturns(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += "<bare LF>";
    out.push_back(text[i]);
  }
  return out;
}

// Wine traces each debugger-output line on standard error as
//   0024:warn:debugstr:OutputDebugStringA "text with C-style escapes"
// Such lines become their text and a line feed; every other line stays as it is.
std::string DebuggerLines(const std::string& text) {
  const std::string marker = ":debugstr:OutputDebugStringA \"";
  std::string out;
  for (const std::string& line : Lines(text)) {
    const size_t at = line.find(marker);
    if (at == std::string::npos || line.back() != '"') {
      out += line + "\n";
      continue;
    }
    const std::string quoted =
        line.substr(at + marker.size(), line.size() - at - marker.size() - 1);
    for (size_t i = 0; i < quoted.size(); ++i) {
      char c = quoted[i];
      if (c == '\\' && i + 1 < quoted.size()) {
        c = quoted[++i];
        if (c == 'x' && i + 2 < quoted.size()) {
          c = static_cast<char>(std::stoi(quoted.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else if (const size_t k = std::string("nrt").find(c); k != std::string::npos) {
          c = "\n\r\t"[k];
        }
      }
      out.push_back(c);
    }
    out.push_back('\n');
  }
  return out;
}

std::string EntryOf(const std::string& line) {
  return line.substr(0, line.find(' '));
}

}  // namespace

std::string Prefix() {
  return Setting("ZR8_TEST_PATH_PREFIX", "./");
}

std::string LibraryName() {
  return Setting("ZR8_TEST_LIBRARY_NAME", "libZr8Reader.so");
}

std::string LibraryPath() {
  return Prefix() + LibraryName();
}

bool IsWindowsBuild() {
  return Prefix() == ".\\";
}

std::string RunResult::File(const std::string& name) const {
  return ReadAll(dir / name);
}

std::vector<std::string> RunResult::CallsOf(const std::vector<std::string>& names) const {
  std::vector<std::string> selected;
  for (const std::string& line : calls) {
    for (const std::string& name : names) {
      if (EntryOf(line) == name || EntryOf(line) == "ZR8READER_" + name) selected.push_back(line);
    }
  }
  return selected;
}

std::vector<std::string> RunResult::EntryPoints() const {
  std::vector<std::string> entries;
  for (const std::string& line : calls) {
    if (!line.starts_with("!!")) entries.push_back(EntryOf(line));
  }
  return entries;
}

std::vector<std::string> RunResult::Misuse() const {
  std::vector<std::string> lines;
  for (const std::string& line : calls) {
    if (line.starts_with("!!")) lines.push_back(line);
  }
  return lines;
}

ClientRun::ClientRun() {
  std::string pattern = (fs::temp_directory_path() / "zr8client-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  work_ = root_ / "work";
  fs::create_directory(work_);
}

ClientRun::~ClientRun() {
  std::error_code ignored;
  fs::permissions(work_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(root_, ignored);
}

ClientRun& ClientRun::WithLibrary(Library library) {
  std::string source;
  if (library == Library::kFake) source = Setting("ZR8_TEST_FAKE", ZR8_TEST_FAKE);
  if (library == Library::kFakeMissing20) {
    source = Setting("ZR8_TEST_FAKE_MISSING20", ZR8_TEST_FAKE_MISSING20);
  }
  if (library == Library::kReal) {
    source = Setting("ZR8_TEST_REAL", ZR8_TEST_REAL);
    if (source.empty()) throw std::runtime_error("no real reader library to test");
  }
  if (!source.empty()) {
    fs::copy_file(source, work_ / LibraryName(), fs::copy_options::overwrite_existing);
  }
  return *this;
}

ClientRun& ClientRun::WithConfig(const std::string& text) {
  std::ofstream(work_ / "fake_config.txt", std::ios::binary) << text;
  return *this;
}

ClientRun& ClientRun::WithoutOpenCL() {
  fs::create_directory(root_ / "no-opencl");
  std::ofstream(root_ / "no-opencl" / "libOpenCL.so.1") << "not a library\n";
  environment_ = {"LD_LIBRARY_PATH=" + (root_ / "no-opencl").string(), "WINEDLLOVERRIDES=opencl=d"};
  return *this;
}

RunResult ClientRun::Run(const std::vector<std::string>& arguments) {
  // One shell command: each word quoted, output to files (not pipes, which a process that inherits
  // one can hold open), and a client that hangs killed after 120 s.
  const auto quoted = [](const std::string& word) {
    std::string text = "'";
    for (char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text + "'";
  };
  std::string command = "cd " + quoted(work_.string()) + " && env";
  for (const std::string& setting : environment_) command += " " + quoted(setting);
  command += " timeout -s KILL 120 " + Setting("ZR8_TEST_LAUNCHER", "") + " " +
             quoted(Setting("ZR8_TEST_CLIENT", ZR8_TEST_CLIENT));
  for (const std::string& argument : arguments) command += " " + quoted(argument);
  command += " </dev/null >" + quoted((root_ / "stdout").string()) + " 2>" +
             quoted((root_ / "stderr").string());
  fs::remove(work_ / "fake_calls.log");
  const int status = std::system(command.c_str());

  RunResult result;
  result.out = ReadAll(root_ / "stdout");
  result.err = ReadAll(root_ / "stderr");
  if (IsWindowsBuild()) {
    result.out = WithoutCarriageReturns(result.out);
    result.err = DebuggerLines(result.err);
  }
  result.status = WEXITSTATUS(status);  // the shell's: 128 + the signal that ended the client
  result.calls = Lines(ReadAll(work_ / "fake_calls.log"));
  result.dir = work_;
  // A sanitizer report fails whichever test ran the client, whatever else it checks.
  for (const char* mark : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer",
                           "WARNING: ThreadSanitizer"}) {
    if (result.err.find(mark) != std::string::npos) {
      ADD_FAILURE() << "sanitizer report on the client's stderr:\n" << result.err;
      break;
    }
  }
  return result;
}

}  // namespace harness
