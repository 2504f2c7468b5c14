// The by-name functions of both families: the family's prefix goes in front
// of the caller's name, and every result and log line is the core's.
#include <fstream>
#include <string>

#include "facade_fixture.h"

namespace kelto::testing {
namespace {

using FacadeNames = FacadeTest;

TEST_F(FacadeNames, EachFamilyReachesItsOwnSetWithTheSameName) {
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 111), 0);
  ASSERT_EQ(KeltoWriteInt32("MEMSH_SPEED", 222), 0);

  int32_t status = -99;
  EXPECT_EQ(ReadInt32ByName(IORShReadVarName, "SPEED", &status), 111);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadInt32ByName(MemShReadVarName, "SPEED", &status), 222);
  EXPECT_EQ(status, 0);

  EXPECT_EQ(IORShGetIdentVarName("SPEED"), kIorshSpeed);
  EXPECT_EQ(MemShGetIdentVarName("SPEED"), kMemshSpeed);
}

TEST_F(FacadeNames, WritesLandInTheFamilysSetOnly) {
  const int32_t iorsh_value = 31337;
  const int32_t memsh_value = -42;
  EXPECT_EQ(IORShWriteVarName("SPEED", reinterpret_cast<const char*>(&iorsh_value)), 0);
  EXPECT_EQ(MemShWriteVarName("SPEED", reinterpret_cast<const char*>(&memsh_value)), 0);

  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), iorsh_value);
  EXPECT_EQ(KeltoReadInt32("MEMSH_SPEED"), memsh_value);
}

TEST_F(FacadeNames, ANameWithItsPrefixGetsThePrefixTwiceAndIsNotFound) {
  int32_t value = 7;
  EXPECT_EQ(IORShReadVarName("IORSH_SPEED", reinterpret_cast<char*>(&value)), -3);
  EXPECT_EQ(value, 7) << "a failed read must leave the destination alone";
  EXPECT_EQ(MemShWriteVarName("MEMSH_SPEED", reinterpret_cast<const char*>(&value)), -5);

  EXPECT_EQ(LogAfterOpen(), NotFoundLine("IORSH_IORSH_SPEED") + NotFoundLine("MEMSH_MEMSH_SPEED"));
}

TEST_F(FacadeNames, IdentOfAnotherSetsNameFailsWhileItsOwnFamilyFindsIt) {
  EXPECT_EQ(IORShGetIdentVarName("LEVEL"), -1);
  EXPECT_EQ(MemShGetIdentVarName("LEVEL"), kIorshCount);
  EXPECT_EQ(MemShGetIdentVarName("TEMPERATURE"), -1);
  EXPECT_EQ(LogAfterOpen(), NotFoundLine("IORSH_LEVEL") + NotFoundLine("MEMSH_TEMPERATURE"));
}

TEST_F(FacadeNames, TypeAndSizeComeFromTheItem) {
  EXPECT_EQ(IORShGetTypeVarName("TEMPERATURE"), 'D');
  EXPECT_EQ(IORShGetSizeVarName("TEMPERATURE"), 8);
  EXPECT_EQ(IORShGetTypeVarName("STATE"), '$');
  EXPECT_EQ(IORShGetSizeVarName("STATE"), 63);
  EXPECT_EQ(MemShGetTypeVarName("LEVEL"), 'W');
  EXPECT_EQ(MemShGetSizeVarName("LEVEL"), 2);
}

TEST_F(FacadeNames, FailuresGiveTheCoreResultsAndLogThePrefixedName) {
  char buffer[64] = "untouched";
  EXPECT_EQ(IORShGetIdentVarName("NOPE"), -1);
  EXPECT_EQ(IORShGetTypeVarName("NOPE"), '#');
  EXPECT_EQ(IORShGetSizeVarName("NOPE"), -1);
  EXPECT_EQ(IORShWriteVarName("NOPE", "x"), -5);
  EXPECT_EQ(IORShReadVarName("NOPE", buffer), -3);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(MemShGetSizeVarName("nope"), -1);

  std::string expected;
  for (int i = 0; i < 5; ++i) expected += NotFoundLine("IORSH_NOPE");
  expected += NotFoundLine("MEMSH_nope");
  EXPECT_EQ(LogAfterOpen(), expected);
}

TEST_F(FacadeNames, NamesDifferingOnlyInCaseAreDifferent) {
  EXPECT_EQ(IORShGetIdentVarName("speed"), -1);
  EXPECT_EQ(MemShGetIdentVarName("Level"), -1);
}

TEST_F(FacadeNames, StringValuesFollowTheByNameCopy) {
  const std::string seventy(70, 's');
  EXPECT_EQ(IORShWriteVarName("STATE", seventy.c_str()), 0);
  char text[64];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(IORShReadVarName("STATE", text), 0);
  EXPECT_EQ(std::string(text), seventy.substr(0, 63));

  EXPECT_EQ(MemShWriteVarName("NOTE", "ready"), 0);
  char note[64] = {};
  EXPECT_EQ(KeltoReadString("MEMSH_NOTE", note), 0);
  EXPECT_STREQ(note, "ready");
}

TEST_F(FacadeNames, ANullNameNeverResolves) {
  // Even where a variable with an empty definition name exists, a null
  // pointer must not be taken for that name.
  KeltoClose();
  env_.WriteDefinitions("=L\n", "=B\n");
  ASSERT_EQ(IORShOpen(0), 1);
  ASSERT_EQ(IORShGetIdentVarName(""), 0);
  ASSERT_EQ(MemShGetIdentVarName(""), 1);

  char buffer[8] = {};
  EXPECT_EQ(IORShGetIdentVarName(nullptr), -1);
  EXPECT_EQ(IORShGetTypeVarName(nullptr), '#');
  EXPECT_EQ(IORShGetSizeVarName(nullptr), -1);
  EXPECT_EQ(IORShWriteVarName(nullptr, buffer), -5);
  EXPECT_EQ(MemShReadVarName(nullptr, buffer), -3);
}

TEST(FacadeNamesWithoutTable, FailBeforeAnyOpenAndWriteNoLog) {
  TestEnvironment env;
  env.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  char buffer[64] = {};
  EXPECT_EQ(IORShReadVarName("SPEED", buffer), -3);
  EXPECT_EQ(MemShWriteVarName("SPEED", buffer), -5);
  EXPECT_EQ(IORShGetIdentVarName("SPEED"), -1);
  EXPECT_EQ(MemShGetTypeVarName("SPEED"), '#');
  EXPECT_EQ(IORShGetSizeVarName("SPEED"), -1);
  EXPECT_FALSE(std::ifstream(env.Path("kelto_log.txt")).good());
}

}  // namespace
}  // namespace kelto::testing
