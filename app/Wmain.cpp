// The command line: argument 1 is the file, argument 2 the mode word, the rest that mode's options.
#include <cstdint>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "app/Usage.h"
#include "hwcheck/HardwareChecks.h"
#include "platform/Platform.h"
#include "reports/Reports.h"
#include "video/VideoModes.h"

namespace {

// A rejected command line: the usage text, then exit status -1.
constexpr std::optional<int> kRejected = std::nullopt;

bool Matches(const wchar_t* argument, const wchar_t* word) {
  return std::wcscmp(argument, word) == 0;
}

// The options of one mode, searched among arguments 3 to argc-1. Searches do not consume
// arguments: a value of one option is still seen by the searches for the others.
class OptionSearch {
 public:
  OptionSearch(int argc, wchar_t* argv[]) : argc_(argc), argv_(argv) {}

  // Position of the first argument that matches word, or 0 when none does.
  int Find(const wchar_t* word) const {
    for (int i = 3; i < argc_; ++i) {
      if (Matches(argv_[i], word)) return i;
    }
    return 0;
  }

  bool Has(const wchar_t* word) const { return Find(word) != 0; }

  // The argument after position; null when position is the last argument.
  const wchar_t* ValueAfter(int position) const {
    return position + 1 < argc_ ? argv_[position + 1] : nullptr;
  }

  int count() const { return argc_; }
  const wchar_t* at(int position) const { return argv_[position]; }

 private:
  int argc_;
  wchar_t** argv_;
};

// Looks up a value-taking option. Returns false when the option is the last argument; *value is
// left alone when the option is absent.
bool FindValue(const OptionSearch& search, const wchar_t* word, const wchar_t** value) {
  const int position = search.Find(word);
  if (position == 0) return true;
  *value = search.ValueAfter(position);
  return *value != nullptr;
}

bool FindNumber(const OptionSearch& search, const wchar_t* word, int32_t* number) {
  const wchar_t* value = nullptr;
  if (!FindValue(search, word, &value)) return false;
  if (value != nullptr) *number = platform::WideToInt(value);
  return true;
}

bool HardwareCode(const wchar_t* word, int32_t* code) {
  static const struct {
    const wchar_t* word;
    int32_t code;
  } kCodes[] = {{L"NONE", 0}, {L"INTEL", 2}, {L"AMD", 3}, {L"NVIDIA", 4}};
  for (const auto& entry : kCodes) {
    if (Matches(word, entry.word)) {
      *code = entry.code;
      return true;
    }
  }
  return false;
}

std::optional<int> RunAudio(const std::wstring& fileName, const OptionSearch& search) {
  if (search.count() > 7) return kRejected;
  bool extract = false;
  int32_t streamIndex = 0;
  if (search.count() > 3) {
    extract = search.Has(L"-extract");
    if (!FindNumber(search, L"-stream", &streamIndex)) return kRejected;
    if (search.Has(L"-stream")) extract = true;
  }
  AudioExample(fileName, extract, streamIndex);
  return -1;
}

std::optional<int> RunVideo(const std::wstring& fileName, const OptionSearch& search) {
  bool extract = false;
  bool dualStream = false;
  int32_t hardware = 0;
  bool optimal = false;
  bool gpuBuffer = false;
  std::vector<std::wstring> files{fileName};
  if (search.count() > 3) {
    extract = search.Has(L"-extract");
    dualStream = search.Has(L"-dualstream");
    const wchar_t* hardwareWord = nullptr;
    if (!FindValue(search, L"-hardware", &hardwareWord)) return kRejected;
    if (hardwareWord != nullptr && !HardwareCode(hardwareWord, &hardware)) return kRejected;
    optimal = search.Has(L"-optimal");
    gpuBuffer = search.Has(L"-gpu_buffer");
    // Every "-file" counts, also one that is itself the value of the "-file" before it.
    for (int i = 3; i < search.count(); ++i) {
      if (!Matches(search.at(i), L"-file")) continue;
      const wchar_t* name = search.ValueAfter(i);
      if (name == nullptr) return kRejected;
      files.emplace_back(name);
    }
  }
  if (files.size() >= 2) {
    platform::WideConsole() << "Will process " << files.size() << " files\n";
    MultiFileVideoExample(files, extract, dualStream, hardware, optimal, gpuBuffer);
  } else {
    VideoExample(fileName, extract, dualStream, hardware, optimal, gpuBuffer);
  }
  return -1;
}

std::optional<int> RunHardwareCheckOOP(const std::wstring& fileName, const OptionSearch& search) {
  if (search.count() > 5) return kRejected;
  int32_t timeoutMs = 5000;
  bool useCache = false;
  if (search.count() > 3) {
    if (!FindNumber(search, L"-timeout", &timeoutMs)) return kRejected;
    useCache = search.Has(L"-useCache");
  }
  return HardwareCheckOOP(fileName, timeoutMs, useCache);
}

std::optional<int> RunHardwareDetection(const std::wstring& fileName, const OptionSearch& search,
                                        bool outOfProcess) {
  if (search.count() > 6) return kRejected;
  int32_t timeoutMs = 5000;
  bool useCache = false;
  int32_t dxgiEnumPreference = 0;
  if (search.count() > 3) {
    if (!FindNumber(search, L"-timeout", &timeoutMs)) return kRejected;
    useCache = search.Has(L"-useCache");
    if (!FindNumber(search, L"-dxgiEnumPreference", &dxgiEnumPreference)) return kRejected;
  }
  return HardwareDetection(fileName, outOfProcess, timeoutMs, useCache, dxgiEnumPreference);
}

// Runs the mode that argument 2 names and gives its exit status; nothing when the command line is
// rejected, in which case no mode has run.
std::optional<int> Dispatch(int argc, wchar_t* argv[]) {
  const std::wstring fileName = argv[1];
  const OptionSearch search(argc, argv);
  if (argc == 2) {
    BasicInformationExample(fileName);
    return -1;
  }
  const wchar_t* mode = argv[2];
  if (Matches(mode, L"-brief")) {
    BasicInformationExample(fileName);
    return -1;
  }
  if (Matches(mode, L"-audio")) return RunAudio(fileName, search);
  if (Matches(mode, L"-video")) return RunVideo(fileName, search);
  if (Matches(mode, L"-hwcheck")) return HardwareCheck(fileName);
  if (Matches(mode, L"-hwcheckOOP")) return RunHardwareCheckOOP(fileName, search);
  if (Matches(mode, L"-hwdetection")) return RunHardwareDetection(fileName, search, false);
  if (Matches(mode, L"-hwdetectionOOP")) return RunHardwareDetection(fileName, search, true);
  return kRejected;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
  const std::optional<int> status = argc < 2 ? kRejected : Dispatch(argc, argv);
  if (!status) {
    PrintUsage();
    return -1;
  }
  return *status;
}
