// The loader's table and the way it fills ReaderApi.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "reader/ReaderApi.h"

namespace {

// A resolver that answers every name but one with a distinct address, and records the order.
struct FakeModule {
  std::string missing;
  std::vector<std::string> asked;
  std::map<std::string, uintptr_t> addresses;

  static void* Resolve(void* context, const char* name) {
    auto* module = static_cast<FakeModule*>(context);
    module->asked.emplace_back(name);
    if (module->missing == name) return nullptr;
    const uintptr_t address = 0x1000 + module->asked.size();
    module->addresses[name] = address;
    return reinterpret_cast<void*>(address);
  }
};

void* MemberAt(const ReaderApi& api, int32_t position) {
  void* value = nullptr;
  std::memcpy(&value, reinterpret_cast<const unsigned char*>(&api) + position, sizeof(value));
  return value;
}

TEST(EntryPointTable, RowsResolveInTableOrderIntoTheirOwnMembers) {
  ReaderApi api{};
  FakeModule module;
  ASSERT_EQ(ResolveEntryPoints(&api, &FakeModule::Resolve, &module), 0);
  ASSERT_EQ(module.asked.size(), 76u);
  EXPECT_EQ(module.asked[0], "ZR8READER_Initialize");
  EXPECT_EQ(module.asked[19], "ZR8READER_FIOPluginPrefs_GetHardwareDecoderPreference");
  EXPECT_EQ(module.asked[43], "ZR8READER_ReadAudioStream_GetCompressedFormat");
  EXPECT_EQ(module.asked[44], "ZR8READER_ReadAudioStream_GetSamples");
  EXPECT_EQ(module.asked[75], "ZR8READER_DeleteReadVideoStreamHandle");
  EXPECT_EQ(reinterpret_cast<uintptr_t>(api.ZR8READER_ReadAudioStream_GetSamples),
            module.addresses["ZR8READER_ReadAudioStream_GetSamples"]);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(api.ZR8READER_ReadAudioStream_GetCompressedFormat),
            module.addresses["ZR8READER_ReadAudioStream_GetCompressedFormat"]);
  EXPECT_EQ(api.module, nullptr);
}

TEST(EntryPointTable, StopsAtTheFirstMissingName) {
  ReaderApi api{};
  FakeModule module;
  module.missing = "ZR8READER_FIOPluginPrefs_GetHardwareDecoderPreference";
  EXPECT_EQ(ResolveEntryPoints(&api, &FakeModule::Resolve, &module),
            static_cast<int32_t>(0x80004002));
  EXPECT_EQ(module.asked.size(), 20u);
  for (int row = 0; row < ZR8_ENTRY_POINT_COUNT; ++row) {
    void* member = MemberAt(api, readerEntryPoints[row].position);
    if (row < 19) {
      EXPECT_NE(member, nullptr) << readerEntryPoints[row].name;
    } else {
      EXPECT_EQ(member, nullptr) << readerEntryPoints[row].name;
    }
  }
}

TEST(EntryPointTable, NamesAreUnique) {
  std::map<std::string, int> seen;
  for (const auto& row : readerEntryPoints) ++seen[row.name];
  EXPECT_EQ(seen.size(), 76u);
}

}  // namespace
