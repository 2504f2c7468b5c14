// Typed accessors: native values in and out, low-order bytes for narrower
// variables, and never more than the accessor's own width for wider ones.
#include <cstring>
#include <string>

#include "table_fixture.h"

namespace kelto::testing {
namespace {

constexpr char kGuard = static_cast<char>(0xAA);

class TypedAccessTest : public TableTest {
 protected:
  void SetUp() override { OpenStandardTable(); }
  static void SetRawValue(int32_t ident, const std::string& bytes) {
    std::memcpy(RawItem(ident).value, bytes.data(), bytes.size());
  }
  static std::string RawValue(int32_t ident, size_t length) {
    return std::string(RawItem(ident).value, length);
  }
};

TEST_F(TypedAccessTest, NativeValuesRoundTrip) {
  EXPECT_EQ(KeltoWriteInt32("IORSH_SPEED", -7), 0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), -7);
  EXPECT_EQ(KeltoWriteDouble("MEMSH_LEVEL", -1.0e-300), 0);
  EXPECT_EQ(KeltoReadDouble("MEMSH_LEVEL"), -1.0e-300);
  // The stored bit pattern of a byte is what comes back, high bit included.
  EXPECT_EQ(KeltoWriteByte("IORSH_FLAG", static_cast<char>(0xC4)), 0);
  EXPECT_EQ(KeltoReadByte("IORSH_FLAG"), static_cast<char>(0xC4));
  EXPECT_EQ(RawValue(kFlag, 1), "\xC4");
}

TEST_F(TypedAccessTest, IntegersAreLittleEndianInTheItem) {
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 0x04030201), 0);
  EXPECT_EQ(RawValue(kSpeed, 4), "\x01\x02\x03\x04");
}

TEST_F(TypedAccessTest, NarrowerVariablesFillLowOrderBytesZeroExtended) {
  SetRawValue(kCount, "\xFF\xFF");
  EXPECT_EQ(KeltoReadInt32("MEMSH_COUNT"), 0xFFFF);
  EXPECT_EQ(KeltoReadDouble("MEMSH_COUNT") == 0.0, false);
  SetRawValue(kFlag, "\xC4");
  EXPECT_EQ(KeltoReadInt32("IORSH_FLAG"), 0xC4);
  EXPECT_EQ(KeltoReadInt32("MEMSH_RAW"), 0);  // size 0: the zeroed result
}

TEST_F(TypedAccessTest, NarrowerVariablesTakeTheLowOrderBytesOfAWrite) {
  SetRawValue(kFlag, std::string("\0\x77", 2));  // byte after the value
  ASSERT_EQ(KeltoWriteInt32("IORSH_FLAG", 0x12345678), 0);
  EXPECT_EQ(RawValue(kFlag, 2), "\x78\x77");
  ASSERT_EQ(KeltoWriteDouble("MEMSH_COUNT", 0.0), 0);
  EXPECT_EQ(RawValue(kCount, 2), std::string(2, '\0'));
}

// Reads of wider variables keep the low-order bytes; nothing lands beyond
// the result (a sanitizer build would report a stack overflow otherwise).
TEST_F(TypedAccessTest, WiderVariablesGiveTheLowOrderBytesOfARead) {
  SetRawValue(kLevel, "\x08\x07\x06\x05\x04\x03\x02\x01");
  EXPECT_EQ(KeltoReadByte("MEMSH_LEVEL"), 0x08);
  EXPECT_EQ(KeltoReadInt32("MEMSH_LEVEL"), 0x05060708);
  ASSERT_EQ(KeltoWriteVar(kName, "Hello"), 0);
  EXPECT_EQ(KeltoReadByte("IORSH_NAME"), 'H');
  int32_t expected = 0;
  std::memcpy(&expected, "Hell", 4);
  EXPECT_EQ(KeltoReadInt32("IORSH_NAME"), expected);
}

// Writes into wider variables store the value zero-extended: the stored
// value reads back as the value written.
TEST_F(TypedAccessTest, WiderVariablesStoreAWriteZeroExtended) {
  SetRawValue(kLevel, "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF");
  ASSERT_EQ(KeltoWriteByte("MEMSH_LEVEL", 'A'), 0);
  EXPECT_EQ(RawValue(kLevel, 8), std::string("A\0\0\0\0\0\0\0", 8));
  ASSERT_EQ(KeltoWriteInt32("MEMSH_LEVEL", -1), 0);
  EXPECT_EQ(RawValue(kLevel, 8), std::string("\xFF\xFF\xFF\xFF\0\0\0\0", 8));
  // A short text into a plain variable is read no further than its end.
  ASSERT_EQ(KeltoWriteString("MEMSH_LEVEL", "AB"), 0);
  EXPECT_EQ(RawValue(kLevel, 8), std::string("AB\0\0\0\0\0\0", 8));
}

TEST_F(TypedAccessTest, ReadStringOfAPlainVariableCopiesItsSizeWithoutTerminator) {
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 0x44434241), 0);
  char text[64];
  std::memset(text, kGuard, sizeof text);
  ASSERT_EQ(KeltoReadString("IORSH_SPEED", text), 0);
  EXPECT_EQ(std::string(text, 6), std::string("ABCD") + kGuard + kGuard);
}

TEST_F(TypedAccessTest, StringsRoundTrip) {
  ASSERT_EQ(KeltoWriteString("IORSH_NAME", "live value"), 0);
  char text[64];
  ASSERT_EQ(KeltoReadString("IORSH_NAME", text), 0);
  EXPECT_STREQ(text, "live value");
}

TEST_F(TypedAccessTest, UnknownNamesGiveZeroOrTheirStatusAndALogLine) {
  const size_t mark = Log().size();
  EXPECT_EQ(KeltoReadInt32("SPEED"), 0);
  EXPECT_EQ(LogSince(mark), "tried to access non-existing variable SPEED\n");
  EXPECT_EQ(KeltoReadByte("SPEED"), 0);
  EXPECT_EQ(KeltoReadDouble("SPEED"), 0.0);
  char text[64];
  std::memset(text, kGuard, sizeof text);
  EXPECT_EQ(KeltoReadString("SPEED", text), -3);
  EXPECT_EQ(text[0], kGuard);
  EXPECT_EQ(KeltoWriteByte("SPEED", 1), -5);
  EXPECT_EQ(KeltoWriteInt32("SPEED", 1), -5);
  EXPECT_EQ(KeltoWriteDouble("SPEED", 1.0), -5);
  EXPECT_EQ(KeltoWriteString("SPEED", "x"), -5);
}

}  // namespace
}  // namespace kelto::testing
