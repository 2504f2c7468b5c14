// The ten core operations by ident and by full name: results on success and
// on failure, what they copy, and that a failure changes nothing.
#include <cstring>
#include <string>

#include "table_fixture.h"

namespace kelto::testing {
namespace {

constexpr char kGuard = static_cast<char>(0xAA);

class AccessTest : public TableTest {
 protected:
  void SetUp() override { OpenStandardTable(); }
};

TEST_F(AccessTest, ByIdentResolvesFirstAndLastItem) {
  const int32_t speed = -123456;
  ASSERT_EQ(KeltoWriteVar(kSpeed, reinterpret_cast<const char*>(&speed)), 0);
  int32_t read_back = 0;
  ASSERT_EQ(KeltoReadVar(kSpeed, reinterpret_cast<char*>(&read_back)), 0);
  EXPECT_EQ(read_back, speed);
  EXPECT_EQ(KeltoGetTypeVar(kSpeed), 'L');
  EXPECT_EQ(KeltoGetSizeVar(kSpeed), 4);
  char name[256];
  std::memset(name, kGuard, sizeof name);
  EXPECT_EQ(KeltoReadNameVar(kSpeed, name), 0);
  EXPECT_STREQ(name, "IORSH_SPEED");

  EXPECT_EQ(KeltoGetTypeVar(kItems - 1), 'X');
  EXPECT_EQ(KeltoGetSizeVar(kItems - 1), 0);
  EXPECT_EQ(KeltoReadNameVar(kItems - 1, name), 0);
  EXPECT_STREQ(name, "MEMSH_RAW");
}

TEST_F(AccessTest, ByIdentFailuresReturnTheirResultsAndTouchNothing) {
  for (const int32_t bad : {kItems, -1, 1000, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE("ident " + std::to_string(bad));
    char buffer[256];
    std::memset(buffer, kGuard, sizeof buffer);
    const std::string untouched(buffer, sizeof buffer);
    EXPECT_EQ(KeltoWriteVar(bad, "ABCDEFGH"), -1);
    EXPECT_EQ(KeltoReadVar(bad, buffer), -1);
    EXPECT_EQ(KeltoGetTypeVar(bad), '#');
    EXPECT_EQ(KeltoGetSizeVar(bad), 0);
    EXPECT_EQ(KeltoReadNameVar(bad, buffer), 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), untouched);
  }
  for (int32_t ident = 0; ident < kItems; ++ident) {
    const KeltoVarItem& item = RawItem(ident);
    EXPECT_EQ(std::string(item.value, sizeof item.value), std::string(64, '\0'));
  }
}

TEST_F(AccessTest, ByNameResolvesEveryQuery) {
  EXPECT_EQ(KeltoGetIdentVarName("MEMSH_LEVEL"), kLevel);
  EXPECT_EQ(KeltoGetTypeVarName("MEMSH_LEVEL"), 'D');
  EXPECT_EQ(KeltoGetSizeVarName("MEMSH_LEVEL"), 8);
  const double level = 2.5;
  ASSERT_EQ(KeltoWriteVarName("MEMSH_LEVEL", reinterpret_cast<const char*>(&level)), 0);
  double read_back = 0;
  ASSERT_EQ(KeltoReadVarName("MEMSH_LEVEL", reinterpret_cast<char*>(&read_back)), 0);
  EXPECT_EQ(read_back, level);
  // The same item by ident.
  read_back = 0;
  ASSERT_EQ(KeltoReadVar(kLevel, reinterpret_cast<char*>(&read_back)), 0);
  EXPECT_EQ(read_back, level);
}

TEST_F(AccessTest, ByNameFailuresDifferFromTheirTwins) {
  for (const char* bad : {"SPEED", "IORSH_speed", "iorsh_SPEED", "IORSH_SPEEDX", "IORSH_SPEE",
                          "MEMSH_SPEED", "", "IORSH_SPEED\n"}) {
    SCOPED_TRACE(std::string("name \"") + bad + "\"");
    char buffer[64];
    std::memset(buffer, kGuard, sizeof buffer);
    EXPECT_EQ(KeltoGetIdentVarName(bad), -1);
    EXPECT_EQ(KeltoGetTypeVarName(bad), '#');
    EXPECT_EQ(KeltoGetSizeVarName(bad), -1);
    EXPECT_EQ(KeltoWriteVarName(bad, "ABCDEFGH"), -5);
    EXPECT_EQ(KeltoReadVarName(bad, buffer), -3);
    EXPECT_EQ(buffer[0], kGuard);
  }
  EXPECT_EQ(RawItem(kSpeed).value[0], 0);
}

// Values of plain types move exactly `size` bytes, in both directions.
TEST_F(AccessTest, PlainValuesMoveExactlyTheirSize) {
  const char source[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(KeltoWriteVar(kFlag, source), 0);
  ASSERT_EQ(KeltoWriteVarName("MEMSH_COUNT", source), 0);
  EXPECT_EQ(std::string(RawItem(kFlag).value, 3), std::string("\x01\0\0", 3));
  EXPECT_EQ(std::string(RawItem(kCount).value, 3), std::string("\x01\x02\0", 3));

  char destination[16];
  std::memset(destination, kGuard, sizeof destination);
  ASSERT_EQ(KeltoReadVar(kCount, destination), 0);
  EXPECT_EQ(destination[0], 1);
  EXPECT_EQ(destination[1], 2);
  EXPECT_EQ(destination[2], kGuard);
  std::memset(destination, kGuard, sizeof destination);
  ASSERT_EQ(KeltoReadVarName("IORSH_FLAG", destination), 0);
  EXPECT_EQ(destination[0], 1);
  EXPECT_EQ(destination[1], kGuard);
}

TEST_F(AccessTest, SizeZeroItemMovesNothingAndSucceeds) {
  std::memset(RawItem(kRaw).value, 'r', sizeof RawItem(kRaw).value);
  EXPECT_EQ(KeltoWriteVar(kRaw, "ABCDEFGH"), 0);
  EXPECT_EQ(KeltoWriteVarName("MEMSH_RAW", "ABCDEFGH"), 0);
  EXPECT_EQ(std::string(RawItem(kRaw).value, 64), std::string(64, 'r'));
  char destination[64];
  std::memset(destination, kGuard, sizeof destination);
  EXPECT_EQ(KeltoReadVar(kRaw, destination), 0);
  EXPECT_EQ(KeltoReadVarName("MEMSH_RAW", destination), 0);
  EXPECT_EQ(std::string(destination, 64), std::string(64, kGuard));
  EXPECT_EQ(KeltoGetSizeVar(kRaw), 0);
  EXPECT_EQ(KeltoGetSizeVarName("MEMSH_RAW"), 0);
}

TEST_F(AccessTest, ReadNameVarCopiesNameAndTerminatorOnly) {
  char name[300];
  std::memset(name, kGuard, sizeof name);
  ASSERT_EQ(KeltoReadNameVar(kLevel, name), 0);
  EXPECT_STREQ(name, "MEMSH_LEVEL");
  for (size_t i = 256; i < sizeof name; ++i) ASSERT_EQ(name[i], kGuard) << "byte " << i;
}

TEST_F(AccessTest, NoOperationChecksTheTypeLetter) {
  // A string item read by ident into a plain buffer still gives the text.
  ASSERT_EQ(KeltoWriteVar(kName, "text"), 0);
  char buffer[64] = {};
  ASSERT_EQ(KeltoReadVarName("IORSH_NAME", buffer), 0);
  EXPECT_STREQ(buffer, "text");
  // And an integer is written through a by-name call of any caller type.
  ASSERT_EQ(KeltoWriteVarName("IORSH_SPEED", "wxyz"), 0);
  EXPECT_EQ(std::string(RawItem(kSpeed).value, 4), "wxyz");
}

using ClosedTableTest = TableTest;

TEST_F(ClosedTableTest, EveryOperationFailsBeforeTheFirstOpen) {
  env_.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  char buffer[256];
  std::memset(buffer, kGuard, sizeof buffer);
  EXPECT_EQ(KeltoWriteVar(0, "x"), -1);
  EXPECT_EQ(KeltoReadVar(0, buffer), -1);
  EXPECT_EQ(KeltoGetTypeVar(0), '#');
  EXPECT_EQ(KeltoGetSizeVar(0), 0);
  EXPECT_EQ(KeltoReadNameVar(0, buffer), 0);
  EXPECT_EQ(KeltoGetIdentVarName("IORSH_SPEED"), -1);
  EXPECT_EQ(KeltoGetTypeVarName("IORSH_SPEED"), '#');
  EXPECT_EQ(KeltoGetSizeVarName("IORSH_SPEED"), -1);
  EXPECT_EQ(KeltoWriteVarName("IORSH_SPEED", "x"), -5);
  EXPECT_EQ(KeltoReadVarName("IORSH_SPEED", buffer), -3);
  EXPECT_EQ(KeltoReadByte("IORSH_FLAG"), 0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 0);
  EXPECT_EQ(KeltoReadDouble("MEMSH_LEVEL"), 0.0);
  EXPECT_EQ(KeltoReadString("IORSH_NAME", buffer), -3);
  EXPECT_EQ(KeltoWriteByte("IORSH_FLAG", 'x'), -5);
  EXPECT_EQ(KeltoWriteInt32("IORSH_SPEED", 1), -5);
  EXPECT_EQ(KeltoWriteDouble("MEMSH_LEVEL", 1.0), -5);
  EXPECT_EQ(KeltoWriteString("IORSH_NAME", "x"), -5);
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  EXPECT_EQ(KeltoGetItemSize(), 328u);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, kGuard));
  EXPECT_FALSE(env_.SegmentExists());
}

}  // namespace
}  // namespace kelto::testing
