#include "e2e/ClientHarness.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
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
    } else {
      const size_t from = at + marker.size();
      out += Unescape(line.substr(from, line.size() - from - 1)) + "\n";
    }
  }
  return out;
}

}  // namespace

std::string Prefix() {
  return Setting("ZR8_TEST_PATH_PREFIX", "./");
}

std::string LibraryName() {
  return Setting("ZR8_TEST_LIBRARY_NAME", "libZr8Reader.so");
}

bool IsWindowsBuild() {
  return Prefix() == ".\\";
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

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = i + 1 < text.size() && text[i] == '\\' ? text[++i] : '\0';
    if (c == '\0') {
      out.push_back(text[i]);
    } else if (c == 'x' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else if (c == '(') {
      const size_t star = text.find('*', i);
      out.append(std::stoul(text.substr(i + 1, star - i - 1)), text[star + 1]);
      i = star + 2;
    } else if (c != '\n') {
      const size_t k = std::string("nrt").find(c);
      out.push_back(k == std::string::npos ? c : "\n\r\t"[k]);
    }
  }
  return out;
}

std::string RunResult::File(const std::string& name) const {
  return ReadAll(dir / name);
}

std::vector<std::string> RunResult::CallsOf(const std::vector<std::string>& names) const {
  std::vector<std::string> selected;
  for (const std::string& line : calls) {
    const std::string entry = line.substr(0, line.find(' '));
    const auto named = [&](const std::string& name) {
      return entry == name || entry == "ZR8READER_" + name;
    };
    if (names.empty() || std::any_of(names.begin(), names.end(), named)) selected.push_back(line);
  }
  return selected;
}

ClientRun::ClientRun() {
  std::string pattern = (fs::temp_directory_path() / "zr8client-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  work_ = root_ / "work";
  fs::create_directory(work_);
  // The reader library's caches (frame indexes, the hardware record) start empty in each run.
  environment_ = {"XDG_CACHE_HOME=" + (root_ / "cache").string()};
}

ClientRun::~ClientRun() {
  std::error_code ignored;
  fs::permissions(work_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(root_, ignored);
}

ClientRun& ClientRun::WithLibrary(Library library) {
  const std::string sources[] = {"", Setting("ZR8_TEST_FAKE", ZR8_TEST_FAKE),
                                 Setting("ZR8_TEST_FAKE_MISSING20", ZR8_TEST_FAKE_MISSING20),
                                 Setting("ZR8_TEST_REAL", ZR8_TEST_REAL)};
  const std::string& source = sources[static_cast<int>(library)];
  if (library == Library::kReal && source.empty()) {
    throw std::runtime_error("no real reader library to test");
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
  environment_.push_back("LD_LIBRARY_PATH=" + (root_ / "no-opencl").string());
  environment_.push_back("WINEDLLOVERRIDES=opencl=d");
  return *this;
}

RunResult ClientRun::Run(const std::vector<std::string>& arguments) {
  // One shell command: each word quoted, output to files (not pipes, which a process that inherits
  // one can hold open), and a client that hangs killed after 120 s.
  // Built by appending: g++ 12 warns wrongly (-Wrestrict) on "literal" + a temporary string.
  std::string command;
  const auto add = [&command](const std::string& text, bool quote) {
    if (!quote) {
      command += text;
      return;
    }
    command += '\'';
    command += std::regex_replace(text, std::regex("'"), "'\\''");
    command += '\'';
  };
  add("cd ", false);
  add(work_.string(), true);
  add(" && env", false);
  for (const std::string& setting : environment_) {
    add(" ", false);
    add(setting, true);
  }
  add(" timeout -s KILL 120 " + Setting("ZR8_TEST_LAUNCHER", "") + " ", false);
  add(Setting("ZR8_TEST_CLIENT", ZR8_TEST_CLIENT), true);
  for (const std::string& argument : arguments) {
    add(" ", false);
    add(argument, true);
  }
  add(" </dev/null >", false);
  add((root_ / "stdout").string(), true);
  add(" 2>", false);
  add((root_ / "stderr").string(), true);
  fs::remove(work_ / "fake_calls.log");
  const int status = std::system(command.c_str());

  RunResult result{ReadAll(root_ / "stdout"), ReadAll(root_ / "stderr"), WEXITSTATUS(status),
                   Lines(ReadAll(work_ / "fake_calls.log")), work_};
  if (IsWindowsBuild()) {
    // Line ends as CR LF, compared as LF; a bare LF is a fault there.
    const std::string marked =
        std::regex_replace(result.out, std::regex("(^|[^\r])\n"), "$1<bare LF>\n");
    result.out = std::regex_replace(marked, std::regex("\r\n"), "\n");
    result.err = DebuggerLines(result.err);
  }
  // (The status is the shell's: 128 + the signal that ended the client.) A sanitizer report or a
  // handle misused ("!!" in the fake's log) fails whichever test ran the client.
  for (const char* mark : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer",
                           "WARNING: ThreadSanitizer"}) {
    if (result.err.find(mark) != std::string::npos) {
      ADD_FAILURE() << "sanitizer report on the client's stderr:\n" << result.err;
      break;
    }
  }
  for (const std::string& line : result.calls) {
    if (line.starts_with("!!")) ADD_FAILURE() << "the fake reports: " << line;
  }
  return result;
}

}  // namespace harness
