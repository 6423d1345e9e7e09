// Decoder enumeration and the detection record, through a fake machine.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "FakeMachine.h"
#include "zr8hardware/Hardware.h"

namespace {

using zr8hw::HardwareDecoderInfo;

template <typename T>
T At(const std::vector<unsigned char>& record, std::size_t offset) {
  T value;
  std::memcpy(&value, record.data() + offset, sizeof value);
  return value;
}

std::string TextAt(const std::vector<unsigned char>& record, std::size_t offset) {
  return reinterpret_cast<const char*>(record.data() + offset);
}

class Detection : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::CudaState::Get().Reset();
    // Two NVIDIA devices; an Intel and an AMD node out of order; NVIDIA's own render node and a
    // virtual GPU, which offer no decoder here.
    fake::CudaState::Get().gpus = {{"GeForce Fake A", 8ull << 30}, {"GeForce Fake B", 4ull << 30}};
    machine.AddRenderNode(129, 0x1002, 0x73bf, "amdgpu");
    machine.AddRenderNode(128, 0x8086, 0x56a0, "i915");
    machine.AddRenderNode(130, 0x10de, 0x2684, "nvidia");
    machine.AddRenderNode(131, 0x1af4, 0x1050, "virtio-pci");
    machine.Write("/usr/share/misc/pci.ids",
                  "# comment\n8086  Intel Corporation\n\t56a0  DG2 [Arc A770]\n"
                  "\t\t1234 5678  Some board\n1002  Advanced Micro Devices\n\t73bf  Navi 21\n");
    machine.Write("/sys/devices/pci0000:00/0000:02:00.0/product_name", "Radeon Fake 6800\n");
    machine.Write("/sys/module/i915/version", "1.6.0\n");
    machine.Write("/proc/driver/nvidia/version", "NVRM version: Fake Kernel Module  550.1\n");
  }

  std::vector<HardwareDecoderInfo> Query(const zr8hw::System& system) {
    int32_t count = -1;
    EXPECT_EQ(zr8hw::SupportedDecoders(0, nullptr, &count, system), zr8hw::kOk);
    std::vector<HardwareDecoderInfo> list(static_cast<std::size_t>(count));
    EXPECT_EQ(zr8hw::SupportedDecoders(count, list.data(), &count, system), zr8hw::kOk);
    EXPECT_EQ(static_cast<std::size_t>(count), list.size());
    return list;
  }

  std::vector<unsigned char> Record(const zr8hw::System& system, int32_t dxgi = 0) {
    std::vector<unsigned char> record(zr8hw::kDetectionRecordSize, 0xCD);
    EXPECT_EQ(zr8hw::DetectionResults(record.data(), dxgi, system), zr8hw::kOk);
    return record;
  }

  fake::FakeMachine machine;
};

TEST_F(Detection, ListsNvidiaFirstThenIntelAndAmdNodesInNodeOrder) {
  const auto list = Query(machine.System(&fake::FakeCuda()));
  ASSERT_EQ(list.size(), 4u);
  const int32_t kinds[] = {4, 4, 2, 3};
  const uint32_t vendors[] = {0x10DE, 0x10DE, 0x8086, 0x1002};
  const char* names[] = {"GeForce Fake A", "GeForce Fake B", "DG2 [Arc A770]", "Radeon Fake 6800"};
  for (std::size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(list[i].kind, kinds[i]);
    EXPECT_EQ(list[i].vendorUniqueId, vendors[i]);
    EXPECT_EQ(fake::Ascii(list[i].deviceName, 128), names[i]);
  }
}

TEST_F(Detection, CountQueryAndShortListFillOnlyWhatFits) {
  const zr8hw::System system = machine.System(&fake::FakeCuda());
  std::vector<HardwareDecoderInfo> list(3);
  std::memset(list.data(), 0xAB, sizeof(HardwareDecoderInfo) * 3);
  int32_t count = 0;
  ASSERT_EQ(zr8hw::SupportedDecoders(2, list.data(), &count, system), zr8hw::kOk);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(list[1].kind, 4);
  EXPECT_EQ(list[2].kind, static_cast<int32_t>(0xABABABAB));  // beyond the capacity: untouched

  EXPECT_LT(zr8hw::SupportedDecoders(0, nullptr, nullptr, system), 0);
  EXPECT_LT(zr8hw::SupportedDecoders(-1, nullptr, &count, system), 0);
  EXPECT_LT(zr8hw::SupportedDecoders(2, nullptr, &count, system), 0);
  EXPECT_LT(zr8hw::DetectionResults(nullptr, 0, system), 0);
}

TEST_F(Detection, FailingCudaDriverLeavesTheRenderNodes) {
  fake::CudaState::Get().initResult = 100;  // no device
  const auto list = Query(machine.System(&fake::FakeCuda()));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].kind, 2);
  EXPECT_EQ(list[1].kind, 3);
  const auto record = Record(machine.System(&fake::FakeCuda()));
  EXPECT_EQ(At<int32_t>(record, 24), 100);
  EXPECT_EQ(At<uint32_t>(record, 20), 4u);  // the four nodes
}

TEST_F(Detection, NoDevicesGiveEmptyListsAndAValidRecord) {
  fake::FakeMachine empty;
  EXPECT_TRUE(Query(empty.System()).empty());
  fake::CudaState::Get().gpus.clear();
  EXPECT_TRUE(Query(empty.System(&fake::FakeCuda())).empty());

  const auto record = Record(empty.System());
  EXPECT_TRUE(zr8hw::IsValidDetectionRecord(record.data(), record.size()));
  EXPECT_EQ(At<int32_t>(record, 24), zr8hw::kCudaNotLoaded);
  EXPECT_EQ(At<uint32_t>(record, 20), 0u);
  EXPECT_EQ(At<uint32_t>(record, zr8hw::kDecoderCountOffset), 0u);
  for (std::size_t i = zr8hw::kHeaderSize; i < record.size(); ++i) ASSERT_EQ(record[i], 0) << i;
}

TEST_F(Detection, RecordHoldsDevicesAndDecodersAtTheirOffsets) {
  const auto record = Record(machine.System(&fake::FakeCuda()), 7);
  ASSERT_TRUE(zr8hw::IsValidDetectionRecord(record.data(), record.size()));
  EXPECT_EQ(At<uint32_t>(record, 0), 0x4838525Au);
  EXPECT_EQ(At<uint32_t>(record, 4), 1u);
  EXPECT_EQ(At<uint32_t>(record, 20), 6u);  // two CUDA devices and four nodes
  EXPECT_EQ(At<int32_t>(record, 24), 0);
  EXPECT_EQ(At<int32_t>(record, 28), 12040);
  EXPECT_EQ(At<int32_t>(record, 32), 7);
  EXPECT_EQ(At<uint32_t>(record, 36), 4u);
  EXPECT_EQ(TextAt(record, 64), "NVRM version: Fake Kernel Module  550.1");

  const std::size_t cuda0 = 256, intel = 256 + 2 * 512, virtio = 256 + 5 * 512;
  EXPECT_EQ(At<int32_t>(record, cuda0), 4);
  EXPECT_EQ(At<uint32_t>(record, cuda0 + 12), 1u);
  EXPECT_EQ(At<uint64_t>(record, cuda0 + 24), 8ull << 30);
  EXPECT_EQ(TextAt(record, cuda0 + 32), "GeForce Fake A");
  EXPECT_EQ(TextAt(record, cuda0 + 224), "12.4");
  EXPECT_EQ(TextAt(record, cuda0 + 288), "cuda:0");

  EXPECT_EQ(At<int32_t>(record, intel), 2);
  EXPECT_EQ(At<uint32_t>(record, intel + 4), 0x8086u);
  EXPECT_EQ(At<uint32_t>(record, intel + 8), 0x56a0u);
  EXPECT_EQ(At<int32_t>(record, intel + 16), 128);
  EXPECT_EQ(At<uint32_t>(record, intel + 20), 2u);  // third decoder
  EXPECT_EQ(TextAt(record, intel + 160), "i915");
  EXPECT_EQ(TextAt(record, intel + 224), "1.6.0");
  EXPECT_EQ(TextAt(record, intel + 288), "/dev/dri/renderD128");
  EXPECT_EQ(TextAt(record, intel + 416), "0000:01:00.0");

  EXPECT_EQ(At<int32_t>(record, virtio), 0);
  EXPECT_EQ(At<uint32_t>(record, virtio + 20), 0xFFFFFFFFu);
  EXPECT_EQ(TextAt(record, virtio + 32), "Unknown GPU 1af4:1050");

  EXPECT_EQ(At<uint32_t>(record, 33808), 4u);
  const std::size_t third = 33812 + 2 * 276;
  EXPECT_EQ(At<int32_t>(record, third), 2);
  EXPECT_EQ(At<uint32_t>(record, third + 260), 0x8086u);
  EXPECT_EQ(At<uint32_t>(record, third + 264), 2u);  // its device entry
  EXPECT_EQ(At<char16_t>(record, third + 4), u'D');
  for (std::size_t i = 33812 + 4 * 276; i < record.size(); ++i) ASSERT_EQ(record[i], 0) << i;

  // The record's list is the in-process list.
  const auto fromRecord = zr8hw::DecodersOfRecord(record.data());
  const auto direct = Query(machine.System(&fake::FakeCuda()));
  ASSERT_EQ(fromRecord.size(), direct.size());
  EXPECT_EQ(std::memcmp(fromRecord.data(), direct.data(), direct.size() * 264), 0);
}

TEST_F(Detection, MoreThanSixteenDecodersKeepTheFullCount) {
  fake::CudaState::Get().gpus.assign(20, {"GeForce Fake", 1 << 30});
  const auto record = Record(machine.System(&fake::FakeCuda()));
  EXPECT_EQ(At<uint32_t>(record, 33808), 22u);
  EXPECT_EQ(zr8hw::DecodersOfRecord(record.data()).size(), 16u);
  EXPECT_TRUE(zr8hw::IsValidDetectionRecord(record.data(), record.size()));
  EXPECT_EQ(Query(machine.System(&fake::FakeCuda())).size(), 22u);
}

TEST_F(Detection, DamagedRecordsAreRejected) {
  const auto good = Record(machine.System(&fake::FakeCuda()));
  EXPECT_FALSE(zr8hw::IsValidDetectionRecord(good.data(), good.size() - 1));
  const struct {
    const char* what;
    std::size_t at, length;
    unsigned char byte;
  } damage[] = {{"magic", 0, 1, 0x5B},
                {"layout version", 4, 1, 2},
                {"kind of the second decoder", 33812 + 276, 1, 9},
                {"unterminated device name", 33812 + 4, 256, 'x'}};
  for (const auto& d : damage) {
    auto damaged = good;
    std::memset(damaged.data() + d.at, d.byte, d.length);
    EXPECT_FALSE(zr8hw::IsValidDetectionRecord(damaged.data(), damaged.size())) << d.what;
  }
}

TEST(Utf16, ConvertsTerminatesAndNeverSplitsAPair) {
  char16_t field[6];
  zr8hw::CopyUtf16("a\xC3\x9F\xE2\x82\xAC", field, 6);  // a ß €
  EXPECT_EQ(std::u16string(field), u"a\u00DF\u20AC");
  zr8hw::CopyUtf16("abcd\xF0\x9D\x84\x9E", field, 6);  // the pair does not fit after "abcd"
  EXPECT_EQ(std::u16string(field), u"abcd");
  zr8hw::CopyUtf16("ab\xF0\x9D\x84\x9E", field, 6);
  EXPECT_EQ(std::u16string(field), u"ab\U0001D11E");
  zr8hw::CopyUtf16("x\xFFy\xC3", field, 6);  // malformed bytes
  EXPECT_EQ(std::u16string(field), u"x\uFFFDy\uFFFD");
  zr8hw::CopyUtf16("much too long", field, 6);
  EXPECT_EQ(std::u16string(field), u"much ");
}

}  // namespace
