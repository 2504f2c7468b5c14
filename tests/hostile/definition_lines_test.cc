// Definition files anyone may have edited: names too long for an item, NUL
// bytes inside lines, physical lines far longer than the line buffer. None may
// overrun an item, and every line gets the reading the file format gives it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "hostile/hostile_support.h"
#include "kelto.h"

namespace kelto::testing {
namespace {

using DefinitionLinesTest = HostileTest;

const KeltoVarItem& Item(int32_t ident) {
  return static_cast<const KeltoVarItem*>(KeltoGetPointer())[ident];
}

std::string ItemName(int32_t ident) {
  return std::string(Item(ident).name, strnlen(Item(ident).name, KELTO_NAME_SIZE));
}

TEST_F(DefinitionLinesTest, FullNamesLongerThanAnItemAreCutTo255Characters) {
  OpenWith(Repeat('N', 300) + "=L\nAFTER=D\n",
           Repeat('M', 249) + "=B\n" + Repeat('K', 250) + "=W\n");
  ASSERT_EQ(KeltoGetNumberOfItems(), 4u);

  EXPECT_EQ(ItemName(0), "IORSH_" + Repeat('N', 249));
  EXPECT_EQ(ItemName(1), "IORSH_AFTER");
  EXPECT_EQ(ItemName(2), "MEMSH_" + Repeat('M', 249));
  EXPECT_EQ(ItemName(3), "MEMSH_" + Repeat('K', 249));
  // Nothing spilled into the fields after the name.
  for (int32_t ident = 0; ident < 4; ++ident) {
    EXPECT_EQ(Item(ident).name[KELTO_NAME_SIZE - 1], '\0');
    EXPECT_EQ(std::string(Item(ident).reserved, 3), std::string(3, '\0'));
  }
  EXPECT_EQ(Item(0).type, 'L');
  EXPECT_EQ(Item(0).size, 4);
  EXPECT_EQ(Item(3).type, 'W');
  EXPECT_EQ(Item(3).size, 2);

  // The cut name is the variable's name; the name as written is not.
  EXPECT_EQ(KeltoGetIdentVarName(("IORSH_" + Repeat('N', 249)).c_str()), 0);
  EXPECT_EQ(KeltoGetIdentVarName(("IORSH_" + Repeat('N', 300)).c_str()), -1);
  EXPECT_EQ(MemShGetIdentVarName(Repeat('K', 249).c_str()), 3);
  EXPECT_EQ(MemShGetIdentVarName(Repeat('K', 250).c_str()), -1);
  EXPECT_TRUE(LogContains("0 IORSH_" + Repeat('N', 249) + " L 4\n"));
}

TEST_F(DefinitionLinesTest, NamesThatAreCutToTheSameTextBehaveAsDuplicates) {
  OpenWith(Repeat('N', 260) + "=L\n" + Repeat('N', 270) + "=D\n", "X=B\n");
  ASSERT_EQ(KeltoGetNumberOfItems(), 3u);
  EXPECT_EQ(ItemName(0), ItemName(1));
  EXPECT_EQ(IORShGetIdentVarName(Repeat('N', 249).c_str()), 1);
  EXPECT_EQ(IORShGetTypeVarName(Repeat('N', 249).c_str()), 'D');
}

TEST_F(DefinitionLinesTest, NulBytesEndTheTextOfALine) {
  using namespace std::string_literals;
  // "A\0=L": no '=' before the NUL, so no definition. "B=\0": type NUL.
  // "\0C=L": empty text. "D=L\0...": type L. "E=" at the very end: type NUL.
  OpenWith("A\0=L\nB=\0\n\0C=L\nD=L\0tail=W\nE="s, "F\0\0=D\nG=$\n"s);

  ASSERT_EQ(KeltoGetNumberOfItems(), 4u);
  EXPECT_EQ(ItemName(0), "IORSH_B");
  EXPECT_EQ(Item(0).type, '\0');
  EXPECT_EQ(Item(0).size, 0);
  EXPECT_EQ(ItemName(1), "IORSH_D");
  EXPECT_EQ(Item(1).type, 'L');
  EXPECT_EQ(ItemName(2), "IORSH_E");
  EXPECT_EQ(Item(2).type, '\0');
  EXPECT_EQ(ItemName(3), "MEMSH_G");
  EXPECT_EQ(KeltoGetIdentVarName("IORSH_A"), -1);
  EXPECT_EQ(KeltoGetIdentVarName("MEMSH_F"), -1);

  EXPECT_TRUE(LogContains("3 variables after iorsh\n4 variables total\n"));
  EXPECT_TRUE(LogContains("0 IORSH_B \0 0\n"s));
  EXPECT_TRUE(LogContains("2 IORSH_E \0 0\n3 MEMSH_G $ 63\n"s));
}

TEST_F(DefinitionLinesTest, LongPhysicalLinesAreJudgedInPiecesOf1023Bytes) {
  // The first line splits after its '=': a piece whose type is the NUL at
  // its end, then a piece "LYYYYYYYYYY=D". The 100,000-byte line has no '='.
  const std::string iorsh =
      Repeat('X', 1022) + "=L" + Repeat('Y', 10) + "=D\n" + Repeat('Q', 100000) + "\nLAST=W\n";
  // 3000 '=' make three pieces, each the empty name with type '='.
  const std::string memsh = Repeat('=', 3000) + "\n";
  OpenWith(iorsh, memsh);

  ASSERT_EQ(KeltoGetNumberOfItems(), 6u);
  EXPECT_EQ(ItemName(0), "IORSH_" + Repeat('X', 249));
  EXPECT_EQ(Item(0).type, '\0');
  EXPECT_EQ(ItemName(1), "IORSH_L" + Repeat('Y', 10));
  EXPECT_EQ(Item(1).type, 'D');
  EXPECT_EQ(ItemName(2), "IORSH_LAST");
  for (int32_t ident = 3; ident < 6; ++ident) {
    EXPECT_EQ(ItemName(ident), "MEMSH_");
    EXPECT_EQ(KeltoGetTypeVar(ident), '=');
  }
  EXPECT_EQ(MemShGetIdentVarName(""), 5);
  EXPECT_TRUE(LogContains("3 variables after iorsh\n6 variables total\n"));
}

TEST_F(DefinitionLinesTest, AFileOfOnlyNoiseDefinesNothing) {
  std::string noise;
  for (int byte = 1; byte < 256; ++byte) {
    if (byte != '=') noise += static_cast<char>(byte);
  }
  OpenWith(noise + "\n" + Repeat('\n', 5000), std::string(70000, '\0'));
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  EXPECT_TRUE(LogContains("0 variables total\n"));
  EXPECT_TRUE(LogContains("shared memory error is 2\n"));
  EXPECT_EQ(KeltoReadVar(0, nullptr), -1);
}

// Every process that reads the same hostile files builds the same table.
TEST_F(DefinitionLinesTest, AnotherProcessReadsTheSameHostileFilesAlike) {
  using namespace std::string_literals;
  OpenWith(Repeat('N', 300) + "=$\nB=\0\n\xC4=D\n"s, Repeat('=', 1500) + "\n");
  ASSERT_EQ(KeltoGetNumberOfItems(), 5u);
  const std::string table = SnapshotOfSegment();
  ASSERT_EQ(KeltoWriteString(("IORSH_" + Repeat('N', 249)).c_str(), "from parent"), 0);

  const int status = RunInChild([] {
    KeltoOpen();
    char text[KELTO_VALUE_SIZE];
    if (KeltoGetNumberOfItems() != 5) return 1;
    if (KeltoReadString(("IORSH_" + Repeat('N', 249)).c_str(), text) != 0) return 2;
    if (std::string(text) != "from parent") return 3;
    if (KeltoGetIdentVarName("IORSH_\xC4") != 2) return 4;
    if (MemShGetIdentVarName("") != 4) return 5;
    KeltoClose();
    return 0;
  });
  EXPECT_EQ(status, 0);
  // Names, types and sizes were rewritten with the same content.
  const std::string after = SnapshotOfSegment();
  for (int32_t ident = 0; ident < 5; ++ident) {
    const size_t offset = static_cast<size_t>(ident) * KELTO_ITEM_SIZE;
    EXPECT_EQ(after.substr(offset, 264), table.substr(offset, 264)) << "item " << ident;
  }
}

}  // namespace
}  // namespace kelto::testing
