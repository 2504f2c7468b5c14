// The by-ident functions of both families: idents are the global ones, so a
// family reaches the other set's variables too, and ReadNameVar drops the
// first six characters whatever they are.
#include <string>

#include "facade_fixture.h"

namespace kelto::testing {
namespace {

using FacadeIdents = FacadeTest;

TEST_F(FacadeIdents, IdentsAreGlobalAndNotLimitedToTheFamilysSet) {
  const uint16_t level = 0xBEEF;
  EXPECT_EQ(IORShWriteVar(kMemshLevel, reinterpret_cast<const char*>(&level)), 0);
  uint16_t read_back = 0;
  EXPECT_EQ(MemShReadVar(kMemshLevel, reinterpret_cast<char*>(&read_back)), 0);
  EXPECT_EQ(read_back, level);

  const int32_t speed = 1234567;
  EXPECT_EQ(MemShWriteVar(kIorshSpeed, reinterpret_cast<const char*>(&speed)), 0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), speed);
  EXPECT_EQ(ReadInt32ByName(IORShReadVarName, "SPEED"), speed);
}

TEST_F(FacadeIdents, TypeAndSizeByIdentOfEitherSet) {
  EXPECT_EQ(IORShGetTypeVar(kIorshState), '$');
  EXPECT_EQ(IORShGetSizeVar(kIorshState), 63);
  EXPECT_EQ(IORShGetTypeVar(kMemshLevel), 'W');
  EXPECT_EQ(MemShGetSizeVar(kMemshLevel), 2);
  EXPECT_EQ(MemShGetTypeVar(kIorshSpeed), 'L');
  EXPECT_EQ(MemShGetSizeVar(kIorshSpeed), 4);
}

TEST_F(FacadeIdents, OutOfRangeIdentsGiveTheCoreFailures) {
  char buffer[64] = "untouched";
  EXPECT_EQ(IORShReadVar(kItemCount, buffer), -1);
  EXPECT_EQ(MemShWriteVar(-1, buffer), -1);
  EXPECT_EQ(IORShGetTypeVar(kItemCount), '#');
  EXPECT_EQ(MemShGetSizeVar(-1), 0);
  EXPECT_STREQ(buffer, "untouched");

  const std::string range = "tried to access variable outside valid range (0 - 6) ";
  EXPECT_EQ(LogAfterOpen(), range + "7\n" + range + "-1\n" + range + "7\n" + range + "-1\n");
}

TEST_F(FacadeIdents, ReadNameVarGivesTheNameWithoutItsSetPrefix) {
  char name[256];
  std::memset(name, 'x', sizeof name);
  EXPECT_EQ(IORShReadNameVar(kIorshSpeed, name), 0);
  EXPECT_STREQ(name, "SPEED");
  EXPECT_EQ(MemShReadNameVar(kMemshLevel, name), 0);
  EXPECT_STREQ(name, "LEVEL");
}

TEST_F(FacadeIdents, ReadNameVarSkipsSixCharactersOfTheOtherSetToo) {
  char name[256] = {};
  EXPECT_EQ(IORShReadNameVar(kMemshLevel, name), 0);
  EXPECT_STREQ(name, "LEVEL");
  EXPECT_EQ(MemShReadNameVar(kIorshState, name), 0);
  EXPECT_STREQ(name, "STATE");
}

TEST_F(FacadeIdents, ReadNameVarOfAnUnresolvedIdentGivesEmptyTextAndZero) {
  char name[256] = "stale";
  EXPECT_EQ(IORShReadNameVar(kItemCount, name), 0);
  EXPECT_STREQ(name, "");
  std::strcpy(name, "stale");
  EXPECT_EQ(MemShReadNameVar(-5, name), 0);
  EXPECT_STREQ(name, "");
}

TEST_F(FacadeIdents, ReadNameVarOfAnEmptyDefinitionNameGivesEmptyText) {
  KeltoClose();
  env_.WriteDefinitions("=L\nX=B\n", "");
  ASSERT_EQ(IORShOpen(0), 1);
  char name[256] = "stale";
  EXPECT_EQ(IORShReadNameVar(0, name), 0);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(IORShReadNameVar(1, name), 0);
  EXPECT_STREQ(name, "X");
  // The empty caller name addresses that variable.
  EXPECT_EQ(IORShGetIdentVarName(""), 0);
}

TEST(FacadeIdentsWithoutTable, ReadNameVarBeforeOpenGivesEmptyTextAndZero) {
  TestEnvironment env;
  char name[256] = "stale";
  EXPECT_EQ(IORShReadNameVar(0, name), 0);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(MemShReadVar(0, name), -1);
  EXPECT_EQ(IORShGetTypeVar(0), '#');
  EXPECT_EQ(MemShGetSizeVar(0), 0);
}

}  // namespace
}  // namespace kelto::testing
