// String values: 63 characters and a terminator in a 64-byte field, and the
// two ways of writing them that differ after the terminator.
#include <cstring>
#include <memory>
#include <string>

#include "table_fixture.h"

namespace kelto::testing {
namespace {

constexpr char kGuard = static_cast<char>(0xAA);

class StringValueTest : public TableTest {
 protected:
  void SetUp() override { OpenStandardTable(); }
  static std::string Field() { return std::string(RawItem(kName).value, KELTO_VALUE_SIZE); }
  static std::string ReadByIdent() {
    char text[64];
    std::memset(text, kGuard, sizeof text);
    EXPECT_EQ(KeltoReadVar(kName, text), 0);
    EXPECT_EQ(text[63], '\0');
    return text;
  }
  static std::string ReadByName() {
    char text[64];
    std::memset(text, kGuard, sizeof text);
    EXPECT_EQ(KeltoReadVarName("IORSH_NAME", text), 0);
    EXPECT_EQ(text[63], '\0');
    return text;
  }
};

TEST_F(StringValueTest, SixtyThreeCharactersFitWithTheirTerminator) {
  const std::string full = Repeat('a', 63);
  ASSERT_EQ(KeltoWriteVar(kName, full.c_str()), 0);
  EXPECT_EQ(ReadByIdent(), full);
  const std::string other = Repeat('b', 63);
  ASSERT_EQ(KeltoWriteVarName("IORSH_NAME", other.c_str()), 0);
  EXPECT_EQ(ReadByName(), other);
  EXPECT_EQ(Field(), other + '\0');
}

TEST_F(StringValueTest, SeventyCharactersAreCutToSixtyThreeByIdentAndByName) {
  const std::string seventy = "0123456789" + Repeat('x', 60);
  ASSERT_EQ(KeltoWriteVar(kName, seventy.c_str()), 0);
  EXPECT_EQ(ReadByIdent(), seventy.substr(0, 63));
  ASSERT_EQ(KeltoWriteVar(kName, ""), 0);
  ASSERT_EQ(KeltoWriteVarName("IORSH_NAME", seventy.c_str()), 0);
  EXPECT_EQ(ReadByName(), seventy.substr(0, 63));
  ASSERT_EQ(KeltoWriteVar(kName, ""), 0);
  ASSERT_EQ(KeltoWriteString("IORSH_NAME", seventy.c_str()), 0);
  char text[64];
  ASSERT_EQ(KeltoReadString("IORSH_NAME", text), 0);
  EXPECT_EQ(std::string(text), seventy.substr(0, 63));
}

TEST_F(StringValueTest, ByIdentZeroFillsTheRestOfTheField) {
  ASSERT_EQ(KeltoWriteVar(kName, Repeat('o', 50).c_str()), 0);
  ASSERT_EQ(KeltoWriteVar(kName, "ab"), 0);
  EXPECT_EQ(Field(), std::string("ab") + std::string(62, '\0'));
}

TEST_F(StringValueTest, ByNameKeepsOlderBytesAfterTheTerminator) {
  ASSERT_EQ(KeltoWriteVar(kName, Repeat('o', 50).c_str()), 0);
  ASSERT_EQ(KeltoWriteVarName("IORSH_NAME", "ab"), 0);
  EXPECT_EQ(Field(), std::string("ab", 3) + Repeat('o', 47) + std::string(14, '\0'));
  // Readers see only the text, and get zeros after it.
  char text[64];
  std::memset(text, kGuard, sizeof text);
  ASSERT_EQ(KeltoReadVar(kName, text), 0);
  EXPECT_EQ(std::string(text, 64), std::string("ab") + std::string(62, '\0'));
}

// A by-ident source is read up to 64 bytes; it needs no terminator within
// them. The buffer is exactly 64 bytes so a sanitizer sees any over-read.
TEST_F(StringValueTest, ByIdentSourceWithoutTerminatorIsReadUpTo64Bytes) {
  const auto source = std::make_unique<char[]>(64);
  std::memset(source.get(), 's', 64);
  ASSERT_EQ(KeltoWriteVar(kName, source.get()), 0);
  EXPECT_EQ(Field(), Repeat('s', 63) + '\0');
}

TEST_F(StringValueTest, ReadWritesExactly64BytesAndForcesTheTerminator) {
  std::memset(RawItem(kName).value, 'r', KELTO_VALUE_SIZE);  // no terminator
  char text[80];
  std::memset(text, kGuard, sizeof text);
  ASSERT_EQ(KeltoReadVar(kName, text), 0);
  EXPECT_EQ(std::string(text, 64), Repeat('r', 63) + '\0');
  EXPECT_EQ(std::string(text + 64, 16), std::string(16, kGuard));
  std::memset(text, kGuard, sizeof text);
  ASSERT_EQ(KeltoReadVarName("IORSH_NAME", text), 0);
  EXPECT_EQ(std::string(text + 64, 16), std::string(16, kGuard));
}

TEST_F(StringValueTest, SizeIsSixtyThree) {
  EXPECT_EQ(KeltoGetSizeVar(kName), 63);
  EXPECT_EQ(KeltoGetSizeVarName("IORSH_NAME"), 63);
  EXPECT_EQ(KeltoGetTypeVarName("IORSH_NAME"), '$');
}

}  // namespace
}  // namespace kelto::testing
