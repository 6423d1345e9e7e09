// The loader's table and the way it fills ReaderApi.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "reader/ReaderApi.h"

namespace {

// A resolver that answers the name of row n with address 0x1001 + n, but none for `missing`.
struct FakeModule {
  std::string missing;
  std::vector<std::string> asked;

  static void* Resolve(void* context, const char* name) {
    auto* module = static_cast<FakeModule*>(context);
    module->asked.emplace_back(name);
    return module->missing == name ? nullptr
                                   : reinterpret_cast<void*>(0x1000 + module->asked.size());
  }
};

TEST(EntryPointTable, RowsResolveInTableOrderIntoTheirOwnMembers) {
  ReaderApi api{};
  FakeModule module;
  ASSERT_EQ(ResolveEntryPoints(&api, &FakeModule::Resolve, &module), 0);
  ASSERT_EQ(module.asked.size(), 76u);
  EXPECT_EQ(std::set<std::string>(module.asked.begin(), module.asked.end()).size(), 76u);
  const std::pair<int, const char*> rows[] = {
      {0, "ZR8READER_Initialize"},
      {19, "ZR8READER_FIOPluginPrefs_GetHardwareDecoderPreference"},
      {43, "ZR8READER_ReadAudioStream_GetCompressedFormat"},
      {44, "ZR8READER_ReadAudioStream_GetSamples"},
      {75, "ZR8READER_DeleteReadVideoStreamHandle"}};
  for (const auto& [row, name] : rows) EXPECT_EQ(module.asked[row], name);
  // The pair whose members stand in the other order.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(api.ZR8READER_ReadAudioStream_GetCompressedFormat), 0x102C);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(api.ZR8READER_ReadAudioStream_GetSamples), 0x102D);
  EXPECT_EQ(api.module, nullptr);
}

TEST(EntryPointTable, StopsAtTheFirstMissingName) {
  ReaderApi api{};
  FakeModule module{"ZR8READER_FIOPluginPrefs_GetHardwareDecoderPreference", {}};
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
