// Fault injection: each call of a mode's successful run that can fail fails in turn, as
// golden/faults.txt lists; the run must end with the failure's message and make the listed releases
// in order. A call that has no line there fails the test: every new call needs a failure path.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "e2e/ClientHarness.h"

using harness::ClientRun;
using harness::Library;
using Calls = std::vector<std::string>;

namespace {

const std::string kPrefix = "ZR8READER_";

// Calls that answer with a value (no failure to inject), and calls that fail by answering zero.
std::set<std::string> valueCalls, yesNoCalls;

std::string Entry(const std::string& line) {
  std::string entry = line.substr(0, line.find(' '));
  return entry.starts_with(kPrefix) ? entry.substr(kPrefix.size()) : entry;
}

// The entry points called, in order.
Calls EntryPoints(const Calls& log) {
  Calls entries;
  for (const std::string& line : log) entries.push_back(Entry(line));
  return entries;
}

// A failing release is ignored (the run goes on as if it had succeeded).
bool IsRelease(const std::string& entry) {
  return entry.starts_with("Delete") || entry.starts_with("Uninit") ||
         entry == "ReadFile_CloseFile";
}

// The releases after the n-th call of entry, each as "<entry> <arguments>" without the result;
// the per-frame image handles are left out.
Calls ReleasesAfter(const Calls& log, const std::string& entry, int n) {
  Calls releases;
  int seen = 0;
  for (const std::string& line : log) {
    if (seen >= n && IsRelease(Entry(line)) && Entry(line) != "DeleteImageHandle") {
      releases.push_back(line.substr(kPrefix.size(), line.find(" =>") - kPrefix.size()));
    }
    if (Entry(line) == entry) ++seen;
  }
  return releases;
}

struct Failure {
  std::string entry;
  int call = 1;
  int status = 0;
  std::string ending;  // empty: ignored
  Calls releases;
};

struct Mode {
  std::string name;
  int status = 0;
  Calls arguments;
  std::string config;
  std::vector<Failure> failures;

  friend void PrintTo(const Mode& mode, std::ostream* os) { *os << mode.name; }
};

std::vector<Mode> Modes() {
  std::vector<Mode> modes;
  std::ifstream in(std::filesystem::path(ZR8_GOLDEN_DIR) / "faults.txt");
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string word;
    if (!(words >> word) || word.starts_with("#")) continue;
    if (word == "mode") {
      Mode& mode = modes.emplace_back();
      words >> mode.name >> mode.status;
      mode.arguments = {std::istream_iterator<std::string>(words), {}};
    } else if (word == "values" || word == "yes-no") {
      std::set<std::string>& calls = word == "values" ? valueCalls : yesNoCalls;
      calls.insert(std::istream_iterator<std::string>(words), {});
    } else if (word == "config") {
      modes.back().config += line.substr(7) + "\n";
    } else if (line.starts_with(" ")) {
      modes.back().failures.back().releases.push_back(line.substr(line.find_first_not_of(' ')));
    } else {
      Failure& failure = modes.back().failures.emplace_back(Failure{word, 1, 0, "", {}});
      words >> failure.call >> failure.status;
      std::getline(words.ignore(1), failure.ending);
      failure.ending = harness::Unescape(failure.ending);
      if (failure.ending == "ignored") failure.ending.clear();
    }
  }
  return modes;
}

class FaultMatrix : public testing::TestWithParam<Mode> {};

TEST_P(FaultMatrix, EveryFailableCallHasItsFailurePath) {
  const Mode& mode = GetParam();
  ClientRun good;
  const auto success = good.WithLibrary(Library::kFake).WithConfig(mode.config).Run(mode.arguments);
  ASSERT_EQ(success.status, mode.status) << success.out;

  std::vector<Failure> failures;
  std::set<std::string> seen;
  for (const std::string& entry : EntryPoints(success.calls)) {
    if (valueCalls.contains(entry) || !seen.insert(entry).second) continue;
    const size_t before = failures.size();
    std::copy_if(mode.failures.begin(), mode.failures.end(), std::back_inserter(failures),
                 [&](const Failure& failure) { return failure.entry == entry; });
    if (failures.size() > before) continue;
    if (IsRelease(entry)) {
      failures.push_back({entry, 1, mode.status, "", {}});
    } else {
      ADD_FAILURE() << entry << " is called but has no failure path listed";
    }
  }
  for (const Failure& f : failures) {
    const std::string call = std::to_string(f.call);
    SCOPED_TRACE(f.entry + " call " + call);
    const std::string fault = yesNoCalls.contains(f.entry) ? "result " + kPrefix + f.entry + " 0 "
                                                           : "fail " + kPrefix + f.entry + " ";
    ClientRun run;
    run.WithLibrary(Library::kFake).WithConfig(mode.config + fault + call + "\n");
    const auto result = run.Run(mode.arguments);
    EXPECT_EQ(result.status, f.status) << result.out;
    const Calls releases = ReleasesAfter(result.calls, f.entry, f.call);
    if (f.ending.empty()) {
      EXPECT_EQ(EntryPoints(result.calls), EntryPoints(success.calls));
      EXPECT_EQ(releases, ReleasesAfter(success.calls, f.entry, f.call));
    } else {
      EXPECT_TRUE(result.out.ends_with(f.ending)) << result.out;
      EXPECT_EQ(releases, f.releases);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultMatrix, testing::ValuesIn(Modes()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
