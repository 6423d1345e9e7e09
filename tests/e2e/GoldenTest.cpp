// The client's cases as data: each file in golden/ runs the client once against the fake library
// and holds what that run must do. ZR8_UPDATE_GOLDEN=1 rewrites every case's results from the
// run instead, so that a change of output is reviewed as a diff.
//
// A case is comment lines ("#"), then sections, each a header line and the lines of its text:
//   [args]     one argument per line             [library]  fake (default), none or missing20
//   [config]   the fake's answers                [setup]    "dir NAME" or "file NAME TEXT"
//   [only]     linux: not for the Windows build  [exit]     the exit status
//   [stdout]   standard output, measured times as "#"
//   [stderr]   standard error (no section: none)
//   [calls]    the fake's log; "[calls A B]": the calls of those entry points only
//   [files]    "NAME absent", "NAME pcm FRAMES CHANNELS" or "NAME pictures STREAM SIZE FRAMES..."
//              (frames as numbers or ranges "0-127")
// In text: \xHH is a byte, \(N*c) N copies of c, a backslash ending a line drops its line feed,
// and a backslash before any other character is that character. ${prefix}, ${library},
// ${odd-name}, ${ENOENT} and ${ENOEXEC} stand for what differs by platform, ${usage} for the usage
// text (golden/usage.txt).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "e2e/ClientHarness.h"
#include "e2e/VideoOutput.h"

namespace fs = std::filesystem;
using harness::ClientRun;
using Lines = std::vector<std::string>;

namespace {

struct Section {
  std::string header;  // without the brackets
  Lines lines;
};

struct Case {
  fs::path path;
  Lines comments;
  std::vector<Section> sections;

  const Section* Find(const std::string& word) const {
    for (const Section& s : sections) {
      if (s.header == word || s.header.rfind(word + " ", 0) == 0) return &s;
    }
    return nullptr;
  }
};

Case Load(const fs::path& path) {
  Case c{path, {}, {}};
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      c.sections.push_back({line.substr(1, line.size() - 2), {}});
    } else if (c.sections.empty()) {
      c.comments.push_back(line);
    } else {
      c.sections.back().lines.push_back(line);
    }
  }
  return c;
}

// Names that differ by platform: a Windows name is UTF-16, so bytes that are not UTF-8 cannot
// reach it; there the odd name holds characters outside ASCII and outside the basic plane.
std::vector<std::pair<std::string, std::string>> Placeholders() {
  const bool windows = harness::IsWindowsBuild();
  static const std::string usage = [] {
    std::ifstream in(fs::path(ZR8_GOLDEN_DIR) / "usage.txt", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  return {{"${usage}", usage},
          {"${odd-name}", windows ? "clip \xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xa5.mp4"
                                  : "clip\xff\xfe\xc3(\xed\xa0\x80.mp4"},
          {"${prefix}${library}", harness::LibraryPath()},
          {"${library}", harness::LibraryName()},
          {"${prefix}zr8reader", harness::Prefix() + "zr8reader"},
          {"error=${ENOENT},", windows ? "error=126," : "error=2,"},
          {"error=${ENOEXEC},", windows ? "error=193," : "error=8,"}};
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string Decode(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) {
    bool feed = true;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] != '\\') {
        text.push_back(line[i]);
      } else if (i + 1 == line.size()) {
        feed = false;
      } else if (line[i + 1] == 'x' && i + 3 < line.size()) {
        text.push_back(static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16)));
        i += 3;
      } else if (line[i + 1] == '(') {
        const size_t star = line.find('*', i);
        text.append(std::stoul(line.substr(i + 2, star - i - 2)), line[star + 1]);
        i = star + 2;
      } else {
        text.push_back(line[++i]);
      }
    }
    if (feed) text.push_back('\n');
  }
  for (const auto& [name, value] : Placeholders()) text = ReplaceAll(text, name, value);
  return text;
}

// The length of the UTF-8 sequence at text[i], or 0 where none starts.
size_t Utf8Length(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  const size_t n = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (n == 0 || i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  if (n == 3 && (lead == 0xED ? byte(i + 1) >= 0xA0 : lead == 0xE0 && byte(i + 1) < 0xA0)) return 0;
  if (n == 4 && (lead == 0xF0 ? byte(i + 1) < 0x90 : lead == 0xF4 && byte(i + 1) >= 0x90)) return 0;
  return n;
}

Lines Encode(std::string text) {
  for (const auto& [name, value] : Placeholders()) text = ReplaceAll(text, value, name);
  Lines lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    size_t run = 1;
    while (i + run < text.size() && text[i + run] == c) ++run;
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else if (run >= 40 && u > 0x20 && u < 0x7F && c != '\\') {
      line += "\\(" + std::to_string(run) + "*" + c + ")";
      i += run - 1;
    } else if (c == '\\' || (c == '[' && line.empty())) {
      line += std::string("\\") + c;
    } else if (u >= 0x80 && Utf8Length(text, i) > 0) {
      line += text.substr(i, Utf8Length(text, i));
      i += Utf8Length(text, i) - 1;
    } else if (u < 0x20 || u >= 0x7F ||
               (c == ' ' && (i + 1 == text.size() || text[i + 1] == '\n'))) {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\x%02X", u);
      line += hex;
    } else {
      line.push_back(c);
    }
  }
  if (!line.empty()) lines.push_back(line + "\\");
  return lines;
}

std::vector<int64_t> ParseFrames(std::istringstream& in) {
  std::vector<int64_t> frames;
  for (std::string word; in >> word;) {
    const size_t dash = word.find('-', 1);
    const int64_t first = std::stoll(word.substr(0, dash));
    const int64_t last = dash == std::string::npos ? first : std::stoll(word.substr(dash + 1));
    for (int64_t f = first; f <= last; ++f) frames.push_back(f);
  }
  return frames;
}

std::string FormatFrames(const std::vector<int64_t>& frames) {
  std::string text;
  for (size_t i = 0; i < frames.size();) {
    size_t j = i;
    while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1) ++j;
    text += " " + std::to_string(frames[i]);
    if (j > i + 1) text += "-" + std::to_string(frames[j]);
    i = j > i + 1 ? j + 1 : i + 1;
  }
  return text;
}

// Checks one [files] line against the run; in update mode returns it with the file's frames.
std::string CheckFile(const std::string& spec, const harness::RunResult& result, bool update) {
  std::istringstream in(spec);
  std::string name, kind;
  in >> name >> kind;
  name = Decode({name + "\\"});
  SCOPED_TRACE(spec);
  if (kind == "absent") {
    EXPECT_FALSE(result.HasFile(name));
    return spec;
  }
  const std::string bytes = result.File(name);
  int64_t a = 0, b = 0;
  in >> a >> b;
  const std::string head = name + " " + kind + " " + std::to_string(a) + " " + std::to_string(b);
  if (kind == "pcm") {
    const int64_t frames = update ? static_cast<int64_t>(bytes.size()) / (4 * b) : a;
    EXPECT_TRUE(bytes == video_output::Pcm(frames, static_cast<int>(b))) << bytes.size();
    return name + " pcm " + std::to_string(frames) + " " + std::to_string(b);
  }
  EXPECT_EQ(kind, "pictures");
  std::vector<int64_t> frames = ParseFrames(in);
  if (update) {
    frames.clear();
    for (size_t at = 0; b > 0 && at + b <= bytes.size(); at += b) {
      int64_t frame = 0;
      for (int64_t k = std::min<int64_t>(b, 8) - 1; k >= 0; --k) {
        frame = frame * 256 + static_cast<unsigned char>(bytes[at + k]);
      }
      frames.push_back(frame);
    }
  }
  EXPECT_TRUE(bytes ==
              video_output::Pictures(frames, static_cast<int32_t>(a), static_cast<uint32_t>(b)))
      << bytes.size() << " bytes";
  return head + FormatFrames(frames);
}

std::vector<fs::path> CaseFiles() {
  std::vector<fs::path> paths;
  for (const auto& entry : fs::directory_iterator(ZR8_GOLDEN_DIR)) {
    if (entry.path().extension() == ".case") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

class Golden : public testing::TestWithParam<fs::path> {};

TEST_P(Golden, Case) {
  const Case c = Load(GetParam());
  const auto text = [&](const char* word) {
    const Section* s = c.Find(word);
    return s == nullptr ? std::string() : Decode(s->lines);
  };
  if (text("only") == "linux\n" && harness::IsWindowsBuild()) GTEST_SKIP() << "Linux only";
  ClientRun run;
  const std::string library = text("library");
  run.WithLibrary(library == "none\n"        ? harness::Library::kNone
                  : library == "missing20\n" ? harness::Library::kFakeMissing20
                                             : harness::Library::kFake);
  if (c.Find("config") != nullptr) run.WithConfig(text("config"));
  if (const Section* setup = c.Find("setup")) {
    for (const std::string& line : setup->lines) {
      std::istringstream words(Decode({line + "\\"}));
      std::string kind, name, content;
      words >> kind >> name;
      std::getline(words >> std::ws, content);
      if (kind == "dir") fs::create_directory(run.dir() / name);
      if (kind == "file") std::ofstream(run.dir() / name, std::ios::binary) << content;
    }
  }
  Lines arguments;
  if (const Section* args = c.Find("args")) {
    for (const std::string& line : args->lines) arguments.push_back(Decode({line + "\\"}));
  }
  const auto result = run.Run(arguments);
  const std::string out = video_output::MaskTimes(result.out);
  Lines calls = result.calls;
  const Section* callSection = c.Find("calls");
  if (callSection != nullptr && callSection->header != "calls") {
    std::istringstream names(callSection->header.substr(6));
    calls = result.CallsOf({std::istream_iterator<std::string>(names), {}});
  }
  EXPECT_EQ(result.Misuse(), Lines{});

  if (std::getenv("ZR8_UPDATE_GOLDEN") == nullptr) {
    EXPECT_EQ(result.status, std::stoi("0" + text("exit")));
    EXPECT_EQ(out, text("stdout"));
    EXPECT_EQ(result.err, text("stderr"));
    if (callSection != nullptr) {
      Lines expected;
      for (const std::string& line : callSection->lines) expected.push_back(Decode({line + "\\"}));
      EXPECT_EQ(calls, expected);
    }
    if (const Section* files = c.Find("files")) {
      for (const std::string& spec : files->lines) CheckFile(spec, result, false);
    }
    return;
  }
  if (harness::IsWindowsBuild()) GTEST_SKIP() << "golden data is written from the Linux build";
  std::ofstream file(c.path, std::ios::binary);
  for (const std::string& line : c.comments) file << line << "\n";
  for (const char* input : {"args", "library", "config", "setup", "only"}) {
    if (const Section* s = c.Find(input)) {
      file << "[" << s->header << "]\n";
      for (const std::string& line : s->lines) file << line << "\n";
    }
  }
  const auto write = [&](const std::string& header, const Lines& lines) {
    file << "[" << header << "]\n";
    for (const std::string& line : lines) file << line << "\n";
  };
  write("exit", {std::to_string(result.status)});
  write("stdout", Encode(out));
  if (!result.err.empty()) write("stderr", Encode(result.err));
  if (callSection != nullptr) {
    Lines encoded;
    for (const std::string& call : calls) encoded.push_back(Encode(call + "\n").front());
    write(callSection->header, encoded);
  }
  if (const Section* files = c.Find("files")) {
    Lines specs;
    for (const std::string& spec : files->lines) specs.push_back(CheckFile(spec, result, true));
    write("files", specs);
  }
}

INSTANTIATE_TEST_SUITE_P(Client, Golden, testing::ValuesIn(CaseFiles()), [](const auto& info) {
  std::string name = info.param.stem().string();
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
});

}  // namespace
