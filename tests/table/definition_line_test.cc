// How one piece of a definition file is judged and split, and how a file is
// cut into pieces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_environment.h"
#include "table/definition_file.h"
#include "table/var_item.h"

namespace kelto {
namespace {

std::string Repeat(char letter, size_t length) { return std::string(length, letter); }

struct LineCase {
  std::string line;
  bool is_definition;
  std::string name;
  char type;
};

TEST(DefinitionLine, JudgesAndSplitsEveryKindOfLine) {
  const std::vector<LineCase> cases = {
      {"SPEED=L\n", true, "SPEED", 'L'},
      {"A=L;comment\n", true, "A", 'L'},
      {" A=B\n", true, " A", 'B'},
      {"\tA=B\n", true, "\tA", 'B'},
      {"=L\n", true, "", 'L'},
      {"A==L\n", true, "A", '='},
      {"A= L\n", true, "A", ' '},
      {"a=l\n", true, "a", 'l'},
      {"A=\n", true, "A", '\n'},
      {"A=", true, "A", '\0'},
      {"A B=C=D\n", true, "A B", 'C'},
      {"NAME[1]=$\n", true, "NAME[1]", '$'},
      {"[SECTION]\n", false, "", 0},
      {"[X=L]\n", false, "", 0},
      {";X=L\n", false, "", 0},
      {"/X=L\n", false, "", 0},
      {"//X=L\n", false, "", 0},
      {"\n", false, "", 0},
      {"", false, "", 0},
      {"NOEQUALS\n", false, "", 0},
      {" \n", false, "", 0},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE("line \"" + c.line + "\"");
    ASSERT_EQ(IsDefinitionLine(c.line.c_str()), c.is_definition);
    if (!c.is_definition) continue;
    const Definition definition = ParseDefinitionLine(c.line.c_str());
    EXPECT_EQ(definition.name, c.name);
    EXPECT_EQ(definition.type, c.type);
  }
}

TEST(TypeLetter, SizesFollowTheTableAndEverythingElseIsZero) {
  EXPECT_EQ(SizeOfTypeLetter('$'), 63);
  EXPECT_EQ(SizeOfTypeLetter('D'), 8);
  EXPECT_EQ(SizeOfTypeLetter('L'), 4);
  EXPECT_EQ(SizeOfTypeLetter('M'), 2);
  EXPECT_EQ(SizeOfTypeLetter('W'), 2);
  EXPECT_EQ(SizeOfTypeLetter('B'), 1);
  EXPECT_EQ(SizeOfTypeLetter('H'), 1);
  EXPECT_EQ(SizeOfTypeLetter('O'), 1);
  for (const char other :
       {'b', 'l', 'd', 'X', 'S', ' ', '\n', '\0', '=', '#', static_cast<char>(0xC4),
        static_cast<char>(0x80), static_cast<char>(0xFF)}) {
    EXPECT_EQ(SizeOfTypeLetter(other), 0) << "letter code " << static_cast<int>(other);
  }
}

class DefinitionFileTest : public ::testing::Test {
 protected:
  DefinitionList Read(const std::string& content) {
    env_.WriteFile("defs.mem", content);
    DefinitionList definitions;
    EXPECT_TRUE(ReadDefinitionFile(env_.Path("defs.mem").c_str(), &definitions));
    return definitions;
  }
  testing::TestEnvironment env_;
};

TEST_F(DefinitionFileTest, MissingFileIsReported) {
  DefinitionList definitions;
  EXPECT_FALSE(ReadDefinitionFile(env_.Path("absent.mem").c_str(), &definitions));
  EXPECT_TRUE(definitions.empty());
}

TEST_F(DefinitionFileTest, KeepsFileOrderAndDuplicates) {
  const auto definitions = Read("[S]\nB=L\n;c\nA=D\n\nB=W\n");
  ASSERT_EQ(definitions.size(), 3u);
  EXPECT_EQ(definitions[0].name, "B");
  EXPECT_EQ(definitions[1].name, "A");
  EXPECT_EQ(definitions[2].name, "B");
  EXPECT_EQ(definitions[2].type, 'W');
}

TEST_F(DefinitionFileTest, EqualsAsLastByteOfFileGivesNulType) {
  const auto definitions = Read("A=L\nLAST=");
  ASSERT_EQ(definitions.size(), 2u);
  EXPECT_EQ(definitions[1].name, "LAST");
  EXPECT_EQ(definitions[1].type, '\0');
}

// A physical line longer than 1023 bytes arrives in pieces, and each piece
// is judged as a line of its own.
TEST_F(DefinitionFileTest, LongLineIsJudgedInPiecesOf1023Bytes) {
  const std::string piece_ends_with_equals = Repeat('N', 1022) + "=";
  const std::string piece_with_type = Repeat('P', 1021) + "=L";
  const std::string content = piece_ends_with_equals + "Q=W\n" +  // '=' closes a piece
                              piece_with_type + "REST=B\n" +      // second piece defines REST
                              Repeat('C', 1023) + "[X=L\n" +      // second piece is a section
                              Repeat('E', 1023) + "NOEQUALS\n";   // neither piece has '='
  const auto definitions = Read(content);
  ASSERT_EQ(definitions.size(), 4u);
  EXPECT_EQ(definitions[0].name, Repeat('N', 1022));
  EXPECT_EQ(definitions[0].type, '\0');
  EXPECT_EQ(definitions[1].name, "Q");
  EXPECT_EQ(definitions[1].type, 'W');
  EXPECT_EQ(definitions[2].name, Repeat('P', 1021));
  EXPECT_EQ(definitions[2].type, 'L');
  EXPECT_EQ(definitions[3].name, "REST");
  EXPECT_EQ(definitions[3].type, 'B');
}

}  // namespace
}  // namespace kelto
