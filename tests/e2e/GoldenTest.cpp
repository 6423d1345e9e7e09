// The client's cases as data: each file in golden/ runs the client once and holds what that run
// must do (golden/README.md gives the format). ZR8_UPDATE_GOLDEN=1 rewrites every case's results
// from the run instead, so that a change of output is reviewed as a diff.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>

#include "e2e/ClientHarness.h"
#include "e2e/VideoOutput.h"
#include "fake/FakeContent.h"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

struct Section {
  std::string header;  // without the brackets
  Lines lines;
};

// A case: its comment lines, then its sections by their header's first word.
struct Case {
  Lines comments;
  std::map<std::string, Section> sections;

  Lines LinesOf(const std::string& word) const {
    return sections.contains(word) ? sections.at(word).lines : Lines{};
  }
};

Case Load(const fs::path& path) {
  Case c;
  Lines* lines = &c.comments;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') {
      lines->push_back(line);
      continue;
    }
    const std::string header = line.substr(1, line.size() - 2);
    lines = &(c.sections[header.substr(0, header.find(' '))] = {header, {}}).lines;
  }
  return c;
}

std::string Joined(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// What differs by platform. A Windows name is UTF-16, so bytes that are not UTF-8 cannot reach
// it; there the odd name holds characters outside ASCII and outside the basic plane instead.
std::vector<std::pair<std::string, std::string>> Placeholders() {
  const bool windows = harness::IsWindowsBuild();
  static const std::string usage = harness::ReadAll(fs::path(ZR8_GOLDEN_DIR) / "usage.txt");
  return {{"${usage}", usage},
          {"${odd-name}", windows ? "clip \xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xa5.mp4"
                                  : "clip\xff\xfe\xc3(\xed\xa0\x80.mp4"},
          {"${prefix}${library}", harness::Prefix() + harness::LibraryName()},
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
  std::string text = harness::Unescape(Joined(lines));
  for (const auto& [name, value] : Placeholders()) text = ReplaceAll(text, name, value);
  return text;
}

std::string DecodeLine(const std::string& line) {
  return Decode({line + "\\"});
}

// The text as Decode reads it back: runs of 40 or more, bytes outside printable ASCII and a space
// that ends a line escaped; "[" escaped where it starts a line.
Lines Encode(std::string text) {
  for (const auto& [name, value] : Placeholders()) text = ReplaceAll(text, value, name);
  Lines lines{""};
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    std::string& line = lines.back();
    size_t run = 1;
    while (i + run < text.size() && text[i + run] == c) ++run;
    if (c == '\n') {
      lines.emplace_back();
    } else if (run >= 40 && u > 0x20 && u < 0x7F && c != '\\') {
      line += "\\(" + std::to_string(run) + "*" + c + ")";
      i += run - 1;
    } else if (c == '\\' || (c == '[' && line.empty())) {
      line += std::string("\\") + c;
    } else if (u < 0x20 || u >= 0x7F ||
               (c == ' ' && (i + 1 == text.size() || text[i + 1] == '\n'))) {
      line += std::string("\\x") + "0123456789ABCDEF"[u >> 4] + "0123456789ABCDEF"[u & 15];
    } else {
      line.push_back(c);
    }
  }
  if (lines.back().empty()) {
    lines.pop_back();
  } else {
    lines.back() += "\\";
  }
  return lines;
}

// Standard output as the cases hold it: the measured times masked, and the OpenCL devices (which
// differ by machine) once they have the listing's layout.
std::string Masked(const std::string& out) {
  static const std::regex devices(
      "Detected GPU devices: [0-9]+\n(Name: [^\n]*; Vendor: [^\n]*; Version: [^\n]*\n)*"
      "Detected CPU devices: [0-9]+\n(Name: [^\n]*; Vendor: [^\n]*; Version: [^\n]*\n)*"
      "Selected (2nd GPU|1st GPU|1st CPU) device\n");
  return std::regex_replace(video_output::MaskTimes(out), devices, "(OpenCL devices)\n");
}

// One [files] line as this run's file gives it, its content checked to be what the fake delivers.
std::string FileLine(const std::string& entry, const harness::RunResult& result) {
  std::istringstream in(entry);
  std::string name, kind;
  int64_t serial = 0, size = 0;
  in >> name >> kind >> serial >> size;
  const std::string path = DecodeLine(name);
  if (kind == "absent") return name + (fs::exists(result.dir / path) ? " present" : " absent");
  const std::string bytes = result.File(path);
  if (kind == "size") return name + " size " + std::to_string(bytes.size());
  if (kind == "pcm") {  // "pcm FRAMES CHANNELS": serial is the frame count
    const int64_t frames = size > 0 ? static_cast<int64_t>(bytes.size()) / (4 * size) : 0;
    EXPECT_TRUE(bytes == fake::Pcm(0, frames, static_cast<int32_t>(size))) << name;
    return name + " pcm " + std::to_string(frames) + " " + std::to_string(size);
  }
  std::vector<int64_t> frames;
  for (size_t at = 0; size > 0 && at + size <= bytes.size(); at += size) {
    int64_t frame = 0;  // the fake writes the frame number into a picture's first bytes
    std::memcpy(&frame, bytes.data() + at, std::min<size_t>(size, 8));
    frames.push_back(frame);
  }
  EXPECT_TRUE(bytes ==
              fake::Pictures(frames, static_cast<int32_t>(serial), static_cast<uint32_t>(size)))
      << name << ": " << bytes.size() << " bytes not the fake's";
  std::string line = name + " pictures " + std::to_string(serial) + " " + std::to_string(size);
  for (size_t i = 0; i < frames.size(); ++i) {  // runs of three or more as ranges
    const size_t first = i;
    while (i + 1 < frames.size() && frames[i + 1] == frames[i] + 1) ++i;
    if (i == first + 1) --i;
    line += ' ';
    line += std::to_string(frames[first]);
    if (i > first) line += '-' + std::to_string(frames[i]);
  }
  return line;
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
  harness::ClientRun run;
  const std::string library = Decode(c.LinesOf("library"));
  run.WithLibrary(library == "none\n"        ? harness::Library::kNone
                  : library == "missing20\n" ? harness::Library::kFakeMissing20
                                             : harness::Library::kFake);
  if (c.sections.contains("config")) run.WithConfig(Decode(c.LinesOf("config")));
  for (const std::string& line : c.LinesOf("setup")) {
    std::istringstream words(DecodeLine(line));
    std::string kind, name, content;
    std::getline(words >> kind >> name >> std::ws, content);
    if (kind == "dir") fs::create_directory(run.dir() / name);
    if (kind == "file") std::ofstream(run.dir() / name, std::ios::binary) << content;
    if (kind == "no-opencl") run.WithoutOpenCL();
  }
  Lines arguments;
  for (const std::string& line : c.LinesOf("args")) arguments.push_back(DecodeLine(line));
  const auto result = run.Run(arguments);

  // The run's results in the file's own form, compared section by section or written back.
  std::vector<Section> results{{"exit", {std::to_string(result.status)}},
                               {"stdout", Encode(Masked(result.out))}};
  if (!result.err.empty() || c.sections.contains("stderr")) {
    results.push_back({"stderr", Encode(result.err)});
  }
  if (c.sections.contains("calls")) {
    const std::string& header = c.sections.at("calls").header;
    std::istringstream names(header.substr(5));
    const Lines log = result.CallsOf({std::istream_iterator<std::string>(names), {}});
    results.push_back({header, Encode(Joined(log))});
  }
  if (c.sections.contains("files")) {
    Lines lines;
    for (const std::string& entry : c.LinesOf("files")) lines.push_back(FileLine(entry, result));
    results.push_back({"files", lines});
  }
  if (std::getenv("ZR8_UPDATE_GOLDEN") == nullptr) {
    for (const Section& actual : results) {
      const std::string word = actual.header.substr(0, actual.header.find(' '));
      EXPECT_EQ(Joined(actual.lines), Joined(c.LinesOf(word))) << actual.header;
    }
    return;
  }
  if (harness::IsWindowsBuild()) GTEST_SKIP() << "golden data is written from the Linux build";
  std::ofstream file(GetParam(), std::ios::binary);
  file << Joined(c.comments);
  for (const char* input : {"setup", "config", "library", "args"}) {  // before the results
    if (c.sections.contains(input)) results.insert(results.begin(), c.sections.at(input));
  }
  for (const Section& s : results) file << "[" << s.header << "]\n" << Joined(s.lines);
}

INSTANTIATE_TEST_SUITE_P(Client, Golden, testing::ValuesIn(CaseFiles()), [](const auto& info) {
  std::string name = info.param.stem().string();
  std::replace_if(
      name.begin(), name.end(), [](char ch) { return !std::isalnum(ch); }, '_');
  return name;
});

}  // namespace
