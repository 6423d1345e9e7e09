// Detection through the helper process: its answers, its failures, its time limit, the cache.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "FakeMachine.h"
#include "zr8hardware/Hardware.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Whether process pid is gone (or a zombie that only its new parent can still reap).
bool Gone(pid_t pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  const std::string stat = fake::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] == 'Z';
}

class OutOfProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    machine.AddRenderNode(128, 0x8086, 0x56a0, "i915");
    machine.AddRenderNode(129, 0x1002, 0x73bf, "amdgpu");
    config.helperPath = ZR8_TEST_DETECT_HELPER;
    config.helperArgs = {"--root", machine.Root(), "--no-cuda"};
    config.cacheDirectory = (work.Path() / "cache").string();
    config.fingerprintRoot = machine.Root();
  }

  std::vector<unsigned char> InProcess(int32_t dxgi) {
    std::vector<unsigned char> record(zr8hw::kDetectionRecordSize);
    EXPECT_EQ(zr8hw::DetectionResults(record.data(), dxgi, machine.System()), zr8hw::kOk);
    return record;
  }

  // Makes the helper a script with this body.
  void UseScript(const std::string& body) {
    const fs::path script = work.Path() / "helper.sh";
    fake::WriteScript(script, body);
    config.helperPath = script.string();
    config.helperArgs.clear();
  }

  // Both queries must fail and leave every output as it was.
  void ExpectFailureLeavesBuffersAlone(int32_t timeoutMs = 5000) {
    std::vector<unsigned char> results(zr8hw::kDetectionRecordSize, 0xAB);
    EXPECT_LT(zr8hw::DetectionResultsOOP(results.data(), timeoutMs, 0, 0, config), 0);
    EXPECT_EQ(results, std::vector<unsigned char>(zr8hw::kDetectionRecordSize, 0xAB));

    std::vector<unsigned char> records(4 * sizeof(zr8hw::HardwareDecoderInfo), 0xAB);
    int32_t count = 77;
    EXPECT_LT(zr8hw::SupportedDecodersOOP(4, records.data(), &count, timeoutMs, 0, config), 0);
    EXPECT_EQ(count, 77);
    EXPECT_EQ(records, std::vector<unsigned char>(records.size(), 0xAB));
    EXPECT_FALSE(fs::exists(zr8hw::CacheFilePath(config.cacheDirectory)));
  }

  fake::FakeMachine machine;
  fake::TempDir work;
  zr8hw::OutOfProcessConfig config;
};

TEST_F(OutOfProcess, HelperAnswersAsTheInProcessDetection) {
  std::vector<unsigned char> results(zr8hw::kDetectionRecordSize, 0xAB);
  ASSERT_EQ(zr8hw::DetectionResultsOOP(results.data(), 5000, 0, 7, config), zr8hw::kOk);
  EXPECT_EQ(results, InProcess(7));

  int32_t count = -1;
  ASSERT_EQ(zr8hw::SupportedDecodersOOP(0, nullptr, &count, 5000, 0, config), zr8hw::kOk);
  ASSERT_EQ(count, 2);
  zr8hw::HardwareDecoderInfo list[2];
  ASSERT_EQ(zr8hw::SupportedDecodersOOP(2, list, &count, 5000, 0, config), zr8hw::kOk);
  EXPECT_EQ(list[0].kind, 2);
  EXPECT_EQ(list[0].vendorUniqueId, 0x8086u);
  EXPECT_EQ(fake::Ascii(list[0].deviceName, 128), "Intel GPU 8086:56a0");
  EXPECT_EQ(list[1].kind, 3);
  EXPECT_EQ(fake::Ascii(list[1].deviceName, 128), "AMD GPU 1002:73bf");
}

TEST_F(OutOfProcess, BrokenHelpersGiveAFailureAndNothingPartial) {
  const fs::path good = work.Path() / "good.bin";
  const auto record = InProcess(0);
  fake::WriteFile(good, std::string(record.begin(), record.end()));
  const std::string cat = "cat '" + good.string() + "'";
  const struct {
    const char* what;
    std::string body;
  } cases[] = {
      {"crash", "kill -SEGV $$"},
      {"short record", "head -c 1000 " + good.string()},
      {"long record", cat + "; echo x"},
      {"non-zero exit after a good record", cat + "; exit 3"},
      {"zeros of the right size", "head -c 38240 /dev/zero"},
      {"nothing", "exit 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    UseScript(c.body);
    ExpectFailureLeavesBuffersAlone();
  }
  config.helperPath = (work.Path() / "missing-helper").string();
  ExpectFailureLeavesBuffersAlone();
  std::vector<unsigned char> results(zr8hw::kDetectionRecordSize);
  EXPECT_EQ(zr8hw::DetectionResultsOOP(results.data(), 100, 0, 0, config), zr8hw::kFileNotFound);
}

TEST_F(OutOfProcess, HungHelperIsKilledWithItsGroupAtTheTimeLimit) {
  const fs::path pids = work.Path() / "pids";
  const std::string cat = "cat '" + (work.Path() / "good.bin").string() + "'";
  const auto record = InProcess(0);
  fake::WriteFile(work.Path() / "good.bin", std::string(record.begin(), record.end()));
  const struct {
    const char* what;
    std::string body;
  } cases[] = {
      {"silent", "sleep 60 & echo $$ $! > " + pids.string() + "; wait"},
      {"answered but never ends",
       cat + "; exec >&-; sleep 60 & echo $$ $! > " + pids.string() + "; wait"},
      {"child keeps the pipe", cat + "; sleep 60 & echo $$ $! > " + pids.string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(pids);
    UseScript(c.body);
    std::vector<unsigned char> results(zr8hw::kDetectionRecordSize, 0xAB);
    const auto start = Clock::now();
    EXPECT_EQ(zr8hw::DetectionResultsOOP(results.data(), 400, 0, 0, config), zr8hw::kTimeout);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(400));
    EXPECT_LT(took, std::chrono::milliseconds(400 + 600));
    EXPECT_EQ(results, std::vector<unsigned char>(zr8hw::kDetectionRecordSize, 0xAB));

    const std::string text = fake::ReadFile(pids);
    pid_t helper = 0, sleeper = 0;
    ASSERT_EQ(std::sscanf(text.c_str(), "%d %d", &helper, &sleeper), 2) << text;
    EXPECT_NE(::kill(helper, 0), 0);  // reaped, not even a zombie
    bool sleeperGone = false;
    for (int i = 0; i < 100 && !sleeperGone; ++i) {
      sleeperGone = Gone(sleeper);
      if (!sleeperGone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(sleeperGone);
    if (!sleeperGone) ::kill(sleeper, SIGKILL);
  }
}

TEST_F(OutOfProcess, HelperInheritsNoStrayDescriptor) {
  const int stray = ::open("/dev/null", O_RDONLY);  // inheritable
  ASSERT_GE(stray, 3);
  const fs::path report = work.Path() / "inherited";
  const auto record = InProcess(0);
  fake::WriteFile(work.Path() / "good.bin", std::string(record.begin(), record.end()));
  UseScript("if [ -e /proc/$$/fd/" + std::to_string(stray) +
            " ]; then echo yes; else echo no; fi > " + report.string() + "; cat '" +
            (work.Path() / "good.bin").string() + "'");
  std::vector<unsigned char> results(zr8hw::kDetectionRecordSize);
  EXPECT_EQ(zr8hw::DetectionResultsOOP(results.data(), 5000, 0, 0, config), zr8hw::kOk);
  ::close(stray);
  EXPECT_EQ(fake::ReadFile(report), "no\n");
}

TEST_F(OutOfProcess, CacheIsSavedAndAnswersWithoutTheHelper) {
  std::vector<unsigned char> first(zr8hw::kDetectionRecordSize);
  ASSERT_EQ(zr8hw::DetectionResultsOOP(first.data(), 5000, 1, 0, config), zr8hw::kOk);
  EXPECT_EQ(first, InProcess(0));
  // Only the finished file is left, no temporary one.
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(config.cacheDirectory)) {
    files.push_back(entry.path().string());
  }
  EXPECT_EQ(files, std::vector<std::string>{zr8hw::CacheFilePath(config.cacheDirectory)});

  config.helperPath = (work.Path() / "missing-helper").string();
  std::vector<unsigned char> cached(zr8hw::kDetectionRecordSize);
  ASSERT_EQ(zr8hw::DetectionResultsOOP(cached.data(), 5000, 1, 3, config), zr8hw::kOk);
  EXPECT_EQ(cached, InProcess(3));  // the caller's dxgi preference, the saved devices
  int32_t count = 0;
  EXPECT_EQ(zr8hw::SupportedDecodersOOP(0, nullptr, &count, 5000, 1, config), zr8hw::kOk);
  EXPECT_EQ(count, 2);
  // Without useCache the helper must run.
  EXPECT_EQ(zr8hw::DetectionResultsOOP(cached.data(), 5000, 0, 0, config), zr8hw::kFileNotFound);
}

TEST_F(OutOfProcess, StaleOrDamagedCacheIsIgnored) {
  std::vector<unsigned char> results(zr8hw::kDetectionRecordSize);
  ASSERT_EQ(zr8hw::DetectionResultsOOP(results.data(), 5000, 1, 0, config), zr8hw::kOk);
  const std::string path = zr8hw::CacheFilePath(config.cacheDirectory);
  const std::string saved = fake::ReadFile(path);
  const std::string fingerprint = zr8hw::DeviceFingerprint(machine.Root());
  const std::string helper = config.helperPath;

  const auto cacheAnswers = [&] {
    config.helperPath = (work.Path() / "missing-helper").string();
    std::vector<unsigned char> out(zr8hw::kDetectionRecordSize);
    const bool answered = zr8hw::DetectionResultsOOP(out.data(), 5000, 1, 0, config) >= 0;
    config.helperPath = helper;
    return answered;
  };
  ASSERT_TRUE(cacheAnswers());

  const struct {
    const char* what;
    std::string content;
  } damaged[] = {
      {"truncated", saved.substr(0, saved.size() - 1)},
      {"empty", ""},
      {"other version", std::string(saved).replace(4, 1, 1, '\x02')},
      {"bad record", std::string(saved).replace(12 + fingerprint.size(), 4, "XXXX")},
  };
  for (const auto& d : damaged) {
    SCOPED_TRACE(d.what);
    fake::WriteFile(path, d.content);
    EXPECT_FALSE(cacheAnswers());
  }
  fake::WriteFile(path, saved);
  EXPECT_TRUE(cacheAnswers());

  // A driver change, a new node and a new NVIDIA kernel driver each make the saved result stale;
  // the helper's new answer replaces it.
  machine.SetDriver(129, "radeon");
  EXPECT_FALSE(cacheAnswers());
  ASSERT_EQ(zr8hw::DetectionResultsOOP(results.data(), 5000, 1, 0, config), zr8hw::kOk);
  EXPECT_TRUE(cacheAnswers());
  machine.AddRenderNode(130, 0x8086, 0x4680, "xe");
  EXPECT_FALSE(cacheAnswers());
  int32_t count = 0;
  ASSERT_EQ(zr8hw::SupportedDecodersOOP(0, nullptr, &count, 5000, 1, config), zr8hw::kOk);
  EXPECT_EQ(count, 3);
  EXPECT_TRUE(cacheAnswers());
  machine.Write("/proc/driver/nvidia/version", "NVRM version: 560\n");
  EXPECT_FALSE(cacheAnswers());
  ASSERT_EQ(zr8hw::DetectionResultsOOP(results.data(), 5000, 1, 0, config), zr8hw::kOk);
  EXPECT_TRUE(cacheAnswers());
  machine.Write("/proc/driver/nvidia/gpus/0000:41:00.0/information", "Model: Fake\n");
  EXPECT_FALSE(cacheAnswers());
}

TEST_F(OutOfProcess, UnwritableCacheDoesNotFailTheQuery) {
  fake::WriteFile(config.cacheDirectory, "a file where the directory should be");
  std::vector<unsigned char> results(zr8hw::kDetectionRecordSize);
  EXPECT_EQ(zr8hw::DetectionResultsOOP(results.data(), 5000, 1, 0, config), zr8hw::kOk);
}

TEST(OutOfProcessDefaults, HelperBesideTheModuleAndTheUsersCacheDirectory) {
  // The tests are linked into an executable in the same directory as the helper.
  EXPECT_EQ(zr8hw::DefaultOutOfProcessConfig().helperPath,
            fs::canonical(ZR8_TEST_DETECT_HELPER).string());

  // Inside a shared object, the helper is looked for beside that object.
  void* probe = ::dlopen(ZR8_TEST_PROBE_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(probe, nullptr) << ::dlerror();
  const auto helperPath =
      reinterpret_cast<const char* (*)()>(::dlsym(probe, "Zr8HwProbeHelperPath"));
  ASSERT_NE(helperPath, nullptr);
  EXPECT_EQ(std::string(helperPath()),
            (fs::canonical(ZR8_TEST_PROBE_MODULE).parent_path() / "zr8reader-detect").string());
  ::dlclose(probe);

  const char* xdg = std::getenv("XDG_CACHE_HOME");
  const std::string savedXdg = xdg ? xdg : "";
  ::setenv("XDG_CACHE_HOME", "/tmp/xdg-cache", 1);
  EXPECT_EQ(zr8hw::DefaultCacheDirectory(), "/tmp/xdg-cache/zr8reader");
  ::unsetenv("XDG_CACHE_HOME");
  if (const char* home = std::getenv("HOME")) {
    EXPECT_EQ(zr8hw::DefaultCacheDirectory(), std::string(home) + "/.cache/zr8reader");
  }
  if (xdg) ::setenv("XDG_CACHE_HOME", savedXdg.c_str(), 1);
}

}  // namespace
