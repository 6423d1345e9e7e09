// Detection in a helper process, with a time limit, and the cache of its results.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "Internal.h"
#include "zr8hardware/Hardware.h"

extern char** environ;

namespace zr8hw {

namespace {

using Clock = std::chrono::steady_clock;

// A child process leading its own process group. Unless it has been reaped, the whole group is
// killed and the child reaped when this goes away, so no process outlives the query.
class ChildGroup {
 public:
  explicit ChildGroup(pid_t pid) : pid_(pid) {}
  ChildGroup(const ChildGroup&) = delete;
  ChildGroup& operator=(const ChildGroup&) = delete;
  ~ChildGroup() { KillAndReap(); }

  // The exit status once the child has ended, waiting until deadline at most.
  std::optional<int> WaitUntil(Clock::time_point deadline) {
    while (true) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return status;
      }
      if (done < 0 && errno == ECHILD) {
        // The host process ignores SIGCHLD, so the child was reaped without a status: its
        // record, checked by the caller, is all there is to go by.
        pid_ = -1;
        return 0;
      }
      if (done < 0 && errno != EINTR) {
        pid_ = -1;
        return std::nullopt;
      }
      if (Clock::now() >= deadline) return std::nullopt;
      ::poll(nullptr, 0, 2);
    }
  }

  void KillAndReap() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

class SpawnSettings {
 public:
  SpawnSettings() {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attributes_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;
  ~SpawnSettings() {
    ::posix_spawnattr_destroy(&attributes_);
    ::posix_spawn_file_actions_destroy(&actions_);
  }
  posix_spawn_file_actions_t* Actions() { return &actions_; }
  posix_spawnattr_t* Attributes() { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

constexpr uint32_t kCacheMagic = 0x4338525A;  // "ZR8C"
constexpr std::size_t kCacheHeader = 12;
constexpr std::size_t kMaxFingerprint = 64 * 1024;

template <typename T>
void Append(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// The record from the cache or the helper, into record (kDetectionRecordSize bytes).
int32_t ObtainRecord(const OutOfProcessConfig& config, int32_t timeoutMs, bool useCache,
                     unsigned char* record) {
  const bool cached = !config.cacheDirectory.empty();
  const std::string fingerprint = cached ? DeviceFingerprint(config.fingerprintRoot) : "";
  if (useCache && cached && LoadCachedRecord(config.cacheDirectory, fingerprint, record)) {
    return kOk;
  }
  const int32_t status = RunDetectionHelper(config, timeoutMs, record);
  if (status >= 0 && cached) SaveCachedRecord(config.cacheDirectory, fingerprint, record);
  return status;
}

}  // namespace

std::string ModuleDirectory() {
  Dl_info info{};
  std::string module;
  if (::dladdr(reinterpret_cast<void*>(&ModuleDirectory), &info) != 0 && info.dli_fname &&
      info.dli_fname[0] != '\0') {
    char resolved[PATH_MAX];
    if (::realpath(info.dli_fname, resolved)) module = resolved;
  }
  if (module.empty()) {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) module.assign(self, static_cast<std::size_t>(length));
  }
  const auto slash = module.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : module.substr(0, slash);
}

std::string DefaultCacheDirectory() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/zr8reader";
  const char* home = std::getenv("HOME");
  if (home && home[0] != '\0') return std::string(home) + "/.cache/zr8reader";
  return "";
}

OutOfProcessConfig DefaultOutOfProcessConfig() {
  OutOfProcessConfig config;
  const std::string directory = ModuleDirectory();
  if (!directory.empty()) {
    // Beside the module in a build tree; in its own folder below the library's in an install.
    config.helperPath = directory + "/" + kHelperName;
    const std::string installed = directory + "/" ZR8_HELPER_SUBDIR "/" + kHelperName;
    if (::access(config.helperPath.c_str(), X_OK) != 0 && ::access(installed.c_str(), X_OK) == 0) {
      config.helperPath = installed;
    }
  }
  config.cacheDirectory = DefaultCacheDirectory();
  return config;
}

int32_t RunDetectionHelper(const OutOfProcessConfig& config, int32_t timeoutMs, void* record) {
  if (!record || timeoutMs < 0) return kInvalidArg;
  if (config.helperPath.empty() || ::access(config.helperPath.c_str(), X_OK) != 0) {
    return kFileNotFound;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return kFail;
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);

  SpawnSettings settings;
  ::posix_spawn_file_actions_addopen(settings.Actions(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(settings.Actions(), writeEnd.Get(), STDOUT_FILENO);
  // Descriptors the host process left inheritable stay out of the helper.
  ::posix_spawn_file_actions_addclosefrom_np(settings.Actions(), STDERR_FILENO + 1);
  sigset_t signals;
  sigemptyset(&signals);
  ::posix_spawnattr_setsigmask(settings.Attributes(), &signals);
  sigaddset(&signals, SIGPIPE);
  ::posix_spawnattr_setsigdefault(settings.Attributes(), &signals);
  ::posix_spawnattr_setpgroup(settings.Attributes(), 0);
  ::posix_spawnattr_setflags(settings.Attributes(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                        POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> words{config.helperPath};
  words.insert(words.end(), config.helperArgs.begin(), config.helperArgs.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, config.helperPath.c_str(), settings.Actions(),
                                    settings.Attributes(), argv.data(), environ);
  if (spawned != 0) return spawned == ENOENT ? kFileNotFound : kFail;
  ChildGroup child(pid);
  writeEnd.Reset();

  // One byte more than a record, to tell a long answer from a right one.
  std::vector<unsigned char> answer(kDetectionRecordSize + 1);
  std::size_t received = 0;
  while (received < answer.size()) {
    pollfd waiting{readEnd.Get(), POLLIN, 0};
    const int ready = ::poll(&waiting, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return kFail;
    if (ready == 0) return kTimeout;  // the child's group is killed on the way out
    const ssize_t got = ::read(readEnd.Get(), answer.data() + received, answer.size() - received);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    received += static_cast<std::size_t>(got);
  }
  if (received != kDetectionRecordSize) return kBadRecord;

  const std::optional<int> status = child.WaitUntil(deadline);
  if (!status) return kTimeout;
  if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return kFail;
  if (!IsValidDetectionRecord(answer.data(), received)) return kBadRecord;
  std::memcpy(record, answer.data(), kDetectionRecordSize);
  return kOk;
}

std::string CacheFilePath(const std::string& cacheDirectory) {
  return cacheDirectory + "/detection.bin";
}

bool LoadCachedRecord(const std::string& cacheDirectory, const std::string& fingerprint,
                      void* record) {
  if (cacheDirectory.empty() || fingerprint.size() > kMaxFingerprint) return false;
  std::error_code error;
  const auto size = std::filesystem::file_size(CacheFilePath(cacheDirectory), error);
  const std::size_t expected = kCacheHeader + fingerprint.size() + kDetectionRecordSize;
  if (error || size != expected) return false;
  const std::optional<std::string> content = ReadSmallFile(CacheFilePath(cacheDirectory));
  if (!content || content->size() != expected) return false;
  uint32_t header[3];
  std::memcpy(header, content->data(), sizeof header);
  if (header[0] != kCacheMagic || header[1] != kDetectionLayoutVersion ||
      header[2] != fingerprint.size() ||
      content->compare(kCacheHeader, fingerprint.size(), fingerprint) != 0) {
    return false;
  }
  const char* saved = content->data() + kCacheHeader + fingerprint.size();
  if (!IsValidDetectionRecord(saved, kDetectionRecordSize)) return false;
  std::memcpy(record, saved, kDetectionRecordSize);
  return true;
}

bool SaveCachedRecord(const std::string& cacheDirectory, const std::string& fingerprint,
                      const void* record) {
  if (cacheDirectory.empty() || fingerprint.size() > kMaxFingerprint) return false;
  std::error_code error;
  std::filesystem::create_directories(cacheDirectory, error);
  if (error) return false;
  std::string content;
  Append<uint32_t>(content, kCacheMagic);
  Append<uint32_t>(content, kDetectionLayoutVersion);
  Append<uint32_t>(content, static_cast<uint32_t>(fingerprint.size()));
  content += fingerprint;
  content.append(static_cast<const char*>(record), kDetectionRecordSize);

  const std::string target = CacheFilePath(cacheDirectory);
  std::string temporary = target + ".XXXXXX";
  UniqueFd file(::mkstemp(temporary.data()));
  if (!file.Valid()) return false;
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t put = ::write(file.Get(), content.data() + written, content.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    written += static_cast<std::size_t>(put);
  }
  const bool closed = ::close(file.Release()) == 0;
  if (written != content.size() || !closed || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

int32_t DetectionResultsOOP(void* results, int32_t timeoutMs, int32_t useCache,
                            int32_t dxgiEnumPreference, const OutOfProcessConfig& config) {
  if (!results || timeoutMs < 0) return kInvalidArg;
  try {
    std::vector<unsigned char> record(kDetectionRecordSize);
    const int32_t status = ObtainRecord(config, timeoutMs, useCache != 0, record.data());
    if (status < 0) return status;
    std::memcpy(record.data() + 32, &dxgiEnumPreference, sizeof dxgiEnumPreference);
    std::memcpy(results, record.data(), kDetectionRecordSize);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (...) {
    return kFail;
  }
}

int32_t SupportedDecodersOOP(int32_t capacity, void* records, int32_t* count, int32_t timeoutMs,
                             int32_t useCache, const OutOfProcessConfig& config) {
  if (!count || capacity < 0 || (capacity > 0 && !records) || timeoutMs < 0) return kInvalidArg;
  try {
    std::vector<unsigned char> record(kDetectionRecordSize);
    const int32_t status = ObtainRecord(config, timeoutMs, useCache != 0, record.data());
    if (status < 0) return status;
    const std::vector<HardwareDecoderInfo> decoders = DecodersOfRecord(record.data());
    const std::size_t fill = std::min(decoders.size(), static_cast<std::size_t>(capacity));
    if (fill > 0) std::memcpy(records, decoders.data(), fill * sizeof(HardwareDecoderInfo));
    *count = static_cast<int32_t>(decoders.size());
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (...) {
    return kFail;
  }
}

}  // namespace zr8hw
