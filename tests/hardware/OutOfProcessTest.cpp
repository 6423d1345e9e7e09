// Detection through the helper process: its answers, its failures, its time limit, the cache. (The
// consumer check runs the helper where an installed library looks for it.)
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

#include "FakeMachine.h"
#include "zr8hardware/Hardware.h"

namespace {

namespace fs = std::filesystem;
using namespace zr8hw;
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
    config.cacheDirectory = (work / "cache").string();
    config.fingerprintRoot = machine.Root();
    const auto record = InProcess(0);
    fake::WriteFile(good, std::string(record.begin(), record.end()));
  }

  std::vector<unsigned char> InProcess(int32_t dxgi) {
    std::vector<unsigned char> record(kDetectionRecordSize);
    EXPECT_EQ(DetectionResults(record.data(), dxgi, machine.System()), kOk);
    return record;
  }

  // Makes the helper a script with this body.
  void UseScript(const std::string& body) {
    const fs::path script = work / "helper.sh";
    fake::WriteFile(script, "#!/bin/sh\n" + body + "\n");
    fs::permissions(script, fs::perms::owner_all);
    config.helperPath = script.string();
    config.helperArgs.clear();
  }

  // Both queries must fail and leave every output as it was.
  void ExpectFailureLeavesBuffersAlone() {
    std::vector<unsigned char> results(kDetectionRecordSize, 0xAB);
    EXPECT_LT(DetectionResultsOOP(results.data(), 5000, 0, 0, config), 0);
    EXPECT_EQ(results, std::vector<unsigned char>(kDetectionRecordSize, 0xAB));

    std::vector<unsigned char> records(4 * sizeof(HardwareDecoderInfo), 0xAB);
    int32_t count = 77;
    EXPECT_LT(SupportedDecodersOOP(4, records.data(), &count, 5000, 0, config), 0);
    EXPECT_EQ(count, 77);
    EXPECT_EQ(records, std::vector<unsigned char>(records.size(), 0xAB));
    EXPECT_FALSE(fs::exists(CacheFilePath(config.cacheDirectory)));
  }

  fake::FakeMachine machine;
  OutOfProcessConfig config;
  const fs::path work = machine.Root() + "/work";  // helpers, their output and the cache
  const fs::path good = work / "good.bin";         // a record as the helper writes it
  const std::string catGood = "cat '" + good.string() + "'";
};

TEST_F(OutOfProcess, HelperAnswersAsTheInProcessDetection) {
  std::vector<unsigned char> results(kDetectionRecordSize, 0xAB);
  ASSERT_EQ(DetectionResultsOOP(results.data(), 5000, 0, 7, config), kOk);
  EXPECT_EQ(results, InProcess(7));
  int32_t count = -1;
  ASSERT_EQ(SupportedDecodersOOP(0, nullptr, &count, 5000, 0, config), kOk);
  ASSERT_EQ(count, 2);
  std::vector<HardwareDecoderInfo> list(2);
  ASSERT_EQ(SupportedDecodersOOP(2, list.data(), &count, 5000, 0, config), kOk);
  EXPECT_EQ(fake::Describe(list),
            (std::vector<std::string>{"2 8086 Intel GPU 8086:56a0", "3 1002 AMD GPU 1002:73bf"}));
}

TEST_F(OutOfProcess, BrokenHelpersGiveAFailureAndNothingPartial) {
  const std::string bodies[] = {
      "kill -SEGV $$",
      "head -c 1000 " + good.string(),  // short record
      catGood + "; echo x",             // long record
      catGood + "; exit 3",             // non-zero exit after a good record
      "head -c 38240 /dev/zero",        // zeros of the right size
      "exit 0",
  };
  for (const auto& body : bodies) {
    SCOPED_TRACE(body);
    UseScript(body);
    ExpectFailureLeavesBuffersAlone();
  }
  config.helperPath = (work / "missing-helper").string();
  ExpectFailureLeavesBuffersAlone();
  std::vector<unsigned char> results(kDetectionRecordSize);
  EXPECT_EQ(DetectionResultsOOP(results.data(), 100, 0, 0, config), kFileNotFound);
}

TEST_F(OutOfProcess, HungHelperIsKilledWithItsGroupAtTheTimeLimit) {
  const std::string pids = "echo $$ $! > " + (work / "pids").string();
  const std::string bodies[] = {
      "sleep 60 & " + pids + "; wait",                        // silent
      catGood + "; exec >&-; sleep 60 & " + pids + "; wait",  // answered but never ends
      catGood + "; sleep 60 & " + pids,                       // a child keeps the pipe
  };
  for (const auto& body : bodies) {
    SCOPED_TRACE(body);
    fs::remove(work / "pids");
    UseScript(body);
    std::vector<unsigned char> results(kDetectionRecordSize, 0xAB);
    const auto start = Clock::now();
    EXPECT_EQ(DetectionResultsOOP(results.data(), 400, 0, 0, config), kTimeout);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(400));
    EXPECT_LT(took, std::chrono::milliseconds(400 + 600));
    EXPECT_EQ(results, std::vector<unsigned char>(kDetectionRecordSize, 0xAB));

    pid_t helper = 0, sleeper = 0;
    const std::string text = fake::ReadFile(work / "pids");
    ASSERT_EQ(std::sscanf(text.c_str(), "%d %d", &helper, &sleeper), 2) << text;
    EXPECT_NE(::kill(helper, 0), 0);  // reaped, not even a zombie
    for (int i = 0; i < 100 && !Gone(sleeper); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(Gone(sleeper));
    if (!Gone(sleeper)) ::kill(sleeper, SIGKILL);
  }
}

TEST_F(OutOfProcess, CacheIsSavedAndAnswersWithoutTheHelperUntilStaleOrDamaged) {
  std::vector<unsigned char> results(kDetectionRecordSize);
  ASSERT_EQ(DetectionResultsOOP(results.data(), 5000, 1, 0, config), kOk);
  EXPECT_EQ(results, InProcess(0));
  const std::string path = CacheFilePath(config.cacheDirectory);

  const std::string helper = config.helperPath;
  const auto cacheAnswers = [&](int32_t dxgi = 0) {
    config.helperPath = (work / "missing").string();
    const bool answered = DetectionResultsOOP(results.data(), 5000, 1, dxgi, config) >= 0;
    config.helperPath = helper;
    return answered;
  };
  ASSERT_TRUE(cacheAnswers(3));
  EXPECT_EQ(results, InProcess(3));  // the caller's dxgi preference, the saved devices
  config.helperPath = "/missing";    // without useCache the helper must run
  EXPECT_EQ(DetectionResultsOOP(results.data(), 5000, 0, 0, config), kFileNotFound);
  config.helperPath = helper;

  // A truncated cache, one of another version and one with a damaged record are not used.
  const std::string saved = fake::ReadFile(path);
  const std::size_t recordAt = 12 + DeviceFingerprint(machine.Root()).size();
  for (const auto& damaged :
       {saved.substr(0, saved.size() - 1), std::string(saved).replace(4, 1, 1, '\x02'),
        std::string(saved).replace(recordAt, 4, "XXXX")}) {
    fake::WriteFile(path, damaged);
    EXPECT_FALSE(cacheAnswers());
  }
  fake::WriteFile(path, saved);
  EXPECT_TRUE(cacheAnswers());

  // A driver change, a new node, a new NVIDIA kernel driver and a new GPU it lists each make the
  // saved result stale; the helper's new answer replaces it.
  const std::function<void()> changes[] = {
      [&] { machine.SetDriver(129, "radeon"); },
      [&] { machine.AddRenderNode(130, 0x8086, 0x4680, "xe"); },
      [&] { machine.Write("/proc/driver/nvidia/version", "NVRM version: 560\n"); },
      [&] { machine.Write("/proc/driver/nvidia/gpus/0000:41:00.0/information", "Model: X\n"); },
  };
  for (const auto& change : changes) {
    change();
    EXPECT_FALSE(cacheAnswers());
    EXPECT_EQ(DetectionResultsOOP(results.data(), 5000, 1, 0, config), kOk);
    EXPECT_TRUE(cacheAnswers());
  }

  // A cache that cannot be written does not fail the query.
  fs::remove_all(config.cacheDirectory);
  fake::WriteFile(config.cacheDirectory, "a file where the directory should be");
  EXPECT_EQ(DetectionResultsOOP(results.data(), 5000, 1, 0, config), kOk);
}

}  // namespace
