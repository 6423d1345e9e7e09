// The loader's table and the way it fills ReaderApi.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
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

TEST(EntryPointTable, RowsResolveInTableOrderIntoTheirOwnMembers) {
  ReaderApi api{};
  FakeModule module;
  ASSERT_EQ(ResolveEntryPoints(&api, &FakeModule::Resolve, &module), 0);
  ASSERT_EQ(module.asked.size(), 76u);
  EXPECT_EQ(std::set<std::string>(module.asked.begin(), module.asked.end()).size(), 76u);
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
    void* member = nullptr;
    std::memcpy(&member, reinterpret_cast<const char*>(&api) + readerEntryPoints[row].position,
                sizeof member);
    EXPECT_EQ(member != nullptr, row < 19) << readerEntryPoints[row].name;
  }
}

}  // namespace
