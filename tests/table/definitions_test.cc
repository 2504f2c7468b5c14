// What Open makes of the definition files: which lines define variables,
// their full names, type letters, sizes and idents, as the log and the
// lookups show them.
#include <string>

#include "table_fixture.h"

namespace kelto::testing {
namespace {

using DefinitionsTest = TableTest;

std::string ExpectedOpenLog(const std::string& counts_and_lines) {
  return "kelto v2.0.0\n" + counts_and_lines;
}

TEST_F(DefinitionsTest, EveryLineRuleAsOpenSeesIt) {
  const std::string iorsh =
      "[SECTION]\n"
      ";X=L\n"
      "/X=L\n"
      "\n"
      "NOEQUALS\n"
      " A=B\n"
      "=L\n"
      "A==L\n"
      "A= L\n"
      "a=l\n"
      "A=\n"
      "SPEED=L;comment\n";
  OpenWith(iorsh, "LAST=");  // '=' as the very last byte of the file
  const std::string expected_lines =
      "7 variables after iorsh\n"
      "8 variables total\n"
      "will allocate 2624 bytes (328 per item)\n"
      "shared memory error is 0\n"
      "0 IORSH_ A B 1\n"
      "1 IORSH_ L 4\n"
      "2 IORSH_A = 0\n"
      "3 IORSH_A   0\n"
      "4 IORSH_a l 0\n"
      "5 IORSH_A \n 0\n" +
      std::string("6 IORSH_SPEED L 4\n") + std::string("7 MEMSH_LAST \0 0\n", 17);
  EXPECT_EQ(Log(), ExpectedOpenLog(expected_lines));

  EXPECT_EQ(KeltoGetIdentVarName("IORSH_ A"), 0);
  EXPECT_EQ(KeltoGetIdentVarName("IORSH_"), 1);
  EXPECT_EQ(KeltoGetTypeVarName("IORSH_"), 'L');
  EXPECT_EQ(KeltoGetTypeVarName("IORSH_a"), 'l');
  EXPECT_EQ(KeltoGetSizeVarName("IORSH_a"), 0);
  EXPECT_EQ(KeltoGetTypeVar(4), 'l');
  EXPECT_EQ(KeltoGetTypeVar(5), '\n');
  EXPECT_EQ(KeltoGetTypeVar(7), '\0');
  EXPECT_EQ(KeltoGetSizeVar(6), 4);
  // Nothing after the type letter counts, and the full name is matched whole.
  EXPECT_EQ(KeltoGetIdentVarName("IORSH_SPEED;comment"), -1);
  EXPECT_EQ(KeltoGetIdentVarName("IORSH_A "), -1);
}

TEST_F(DefinitionsTest, DuplicateNameInOneFileResolvesToTheLaterItem) {
  OpenWith("A=L\nB=B\nA=W\n", "");
  EXPECT_EQ(KeltoGetNumberOfItems(), 3u);
  EXPECT_EQ(KeltoGetIdentVarName("IORSH_A"), 2);
  EXPECT_EQ(KeltoGetTypeVarName("IORSH_A"), 'W');
  EXPECT_EQ(KeltoGetSizeVarName("IORSH_A"), 2);
  // The earlier one still exists under its ident, with its own name.
  char name[256] = {};
  EXPECT_EQ(KeltoReadNameVar(0, name), 0);
  EXPECT_STREQ(name, "IORSH_A");
  EXPECT_EQ(KeltoGetTypeVar(0), 'L');
  const int32_t value = 0x01020304;
  ASSERT_EQ(KeltoWriteVar(0, reinterpret_cast<const char*>(&value)), 0);
  EXPECT_EQ(KeltoReadInt32("IORSH_A"), 0);
  EXPECT_NE(Log().find("0 IORSH_A L 4\n1 IORSH_B B 1\n2 IORSH_A W 2\n"), std::string::npos);
}

TEST_F(DefinitionsTest, SameNameInBothFilesGivesTwoFullNamesIorshFirst) {
  OpenWith("SPEED=L\nGAP=B\n", "LEVEL=D\nSPEED=W\nMORE=$\n");
  EXPECT_EQ(Log(), ExpectedOpenLog("2 variables after iorsh\n"
                                   "5 variables total\n"
                                   "will allocate 1640 bytes (328 per item)\n"
                                   "shared memory error is 0\n"
                                   "0 IORSH_SPEED L 4\n"
                                   "1 IORSH_GAP B 1\n"
                                   "2 MEMSH_LEVEL D 8\n"
                                   "3 MEMSH_SPEED W 2\n"
                                   "4 MEMSH_MORE $ 63\n"));
  EXPECT_EQ(KeltoGetIdentVarName("IORSH_SPEED"), 0);
  EXPECT_EQ(KeltoGetIdentVarName("MEMSH_SPEED"), 3);
  EXPECT_EQ(KeltoGetIdentVarName("SPEED"), -1);
  EXPECT_EQ(KeltoGetIdentVarName("iorsh_speed"), -1);
  EXPECT_EQ(KeltoGetIdentVarName("IORSH_speed"), -1);
}

TEST_F(DefinitionsTest, LongPhysicalLineDefinesOneVariablePerPiece) {
  // Pieces of 1023 bytes: the first ends with '=', so its type is NUL; the
  // second piece is a definition of its own.
  const std::string line = Repeat('N', 1022) + "=" + "Q=W\n";
  OpenWith(line, "");
  ASSERT_EQ(KeltoGetNumberOfItems(), 2u);
  EXPECT_EQ(KeltoGetTypeVar(0), '\0');
  EXPECT_EQ(KeltoGetSizeVar(0), 0);
  EXPECT_EQ(KeltoGetIdentVarName("IORSH_Q"), 1);
  EXPECT_EQ(KeltoGetTypeVar(1), 'W');
}

// Each process assigns idents from its own reading of the files, so two
// processes on the same files agree on every ident.
TEST_F(DefinitionsTest, IdentsCountIorshThenMemshInFileOrder) {
  OpenWith("C=L\nB=L\nA=L\n", "Z=B\nY=B\n");
  const char* names[] = {"IORSH_C", "IORSH_B", "IORSH_A", "MEMSH_Z", "MEMSH_Y"};
  for (int32_t ident = 0; ident < 5; ++ident) {
    EXPECT_EQ(KeltoGetIdentVarName(names[ident]), ident);
    char name[256] = {};
    KeltoReadNameVar(ident, name);
    EXPECT_STREQ(name, names[ident]);
  }
}

}  // namespace
}  // namespace kelto::testing
