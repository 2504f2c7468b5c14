// The raw item array: count, item size, the layout a caller walks, and no
// view at all while there is no table.
#include <cstdint>
#include <cstring>
#include <string>

#include "table_fixture.h"

namespace kelto::testing {
namespace {

using RawViewTest = TableTest;

int32_t SizeAt(const char* item) {
  int32_t size = 0;
  std::memcpy(&size, item + 260, sizeof size);
  return size;
}

TEST_F(RawViewTest, ItemsAreLaidOutAt328ByteStrides) {
  OpenStandardTable();
  ASSERT_NE(KeltoGetPointer(), nullptr);
  EXPECT_EQ(KeltoGetNumberOfItems(), static_cast<uint32_t>(kItems));
  EXPECT_EQ(KeltoGetItemSize(), 328u);
  const char* base = static_cast<const char*>(KeltoGetPointer());
  const char* names[] = {"IORSH_SPEED", "IORSH_NAME",  "IORSH_FLAG",
                         "MEMSH_LEVEL", "MEMSH_COUNT", "MEMSH_RAW"};
  const char types[] = {'L', '$', 'B', 'D', 'W', 'X'};
  const int32_t sizes[] = {4, 63, 1, 8, 2, 0};
  for (int32_t i = 0; i < kItems; ++i) {
    const char* item = base + static_cast<uint32_t>(i) * KeltoGetItemSize();
    EXPECT_STREQ(item, names[i]);
    EXPECT_EQ(item[256], types[i]);
    EXPECT_EQ(SizeAt(item), sizes[i]);
  }
  ASSERT_EQ(KeltoWriteInt32("MEMSH_COUNT", 0x0201), 0);
  EXPECT_EQ(std::string(base + kCount * 328 + 264, 2), "\x01\x02");
}

TEST_F(RawViewTest, RawWritesAreSeenByTheOperations) {
  OpenStandardTable();
  char* base = static_cast<char*>(KeltoGetPointer());
  const double level = 42.5;
  std::memcpy(base + kLevel * 328 + 264, &level, sizeof level);
  EXPECT_EQ(KeltoReadDouble("MEMSH_LEVEL"), 42.5);
}

// The library writes name, type and size at every Open and nothing else:
// reserved bytes and values stay as they are.
TEST_F(RawViewTest, OpenNeverWritesReservedBytesOrValues) {
  OpenStandardTable();
  KeltoVarItem& item = RawItem(kSpeed);
  std::memcpy(item.reserved, "rsv", 3);
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 99), 0);
  ASSERT_EQ(KeltoOpen(), 0);
  const KeltoVarItem& again = RawItem(kSpeed);
  EXPECT_EQ(std::string(again.reserved, 3), "rsv");
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 99);
  EXPECT_STREQ(again.name, "IORSH_SPEED");
}

TEST_F(RawViewTest, NoViewWithoutATable) {
  EXPECT_EQ(KeltoGetPointer(), nullptr);  // before any Open
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  EXPECT_EQ(KeltoGetItemSize(), 328u);

  env_.WriteFile("iorsh.mem", kIorshDefinitions);  // memsh missing
  ASSERT_EQ(KeltoOpen(), 0);
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);

  OpenWith("", "");  // no variables: no segment can be made
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);

  OpenStandardTable();
  ASSERT_NE(KeltoGetPointer(), nullptr);
  KeltoClose();
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  EXPECT_EQ(KeltoGetItemSize(), 328u);
}

}  // namespace
}  // namespace kelto::testing
