// Caller buffers that end right before an inaccessible page: any byte read or
// written past what the contract allows kills the process. The calls run in a
// child process that opens the table on its own, and the parent checks that
// the values arrived, so the sharing is exercised at the same time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "hostile/hostile_support.h"
#include "kelto.h"

namespace kelto::testing {
namespace {

const std::string kIorsh = "TEXT=$\nREAL=D\nLONG=L\nWORD=W\nBYTE=B\nNONE=X\n";
const std::string kMemsh = "TEXT=$\n";
constexpr int32_t kText = 0;
constexpr int32_t kReal = 1;
constexpr int32_t kNone = 5;
constexpr int32_t kMemText = 6;
constexpr int32_t kItems = 7;

class GuardedBuffersTest : public HostileTest {
 protected:
  void SetUp() override {
    OpenWith(kIorsh, kMemsh);
    ASSERT_EQ(KeltoGetNumberOfItems(), static_cast<uint32_t>(kItems));
  }

  // Runs `body` in a child that has opened the table; a crash shows as a
  // status of 128 + signal, or as AddressSanitizer's exit code.
  static int InChildWithTable(int (*body)()) {
    return RunInChild([body] {
      KeltoOpen();
      if (KeltoGetNumberOfItems() != kItems) return 90;
      const int result = body();
      KeltoClose();
      return result;
    });
  }
};

TEST_F(GuardedBuffersTest, AnUnterminatedStringByIdentIsReadForAtMost64Bytes) {
  const int status = InChildWithTable([] {
    GuardedPage page;
    char* source = page.End(KELTO_VALUE_SIZE);
    std::memset(source, 'A', KELTO_VALUE_SIZE);
    if (KeltoWriteVar(kText, source) != 0) return 1;
    std::memset(source, 'B', KELTO_VALUE_SIZE);
    if (IORShWriteVar(kMemText, source) != 0) return 2;
    std::memset(source, 'C', KELTO_VALUE_SIZE);
    if (MemShWriteVar(kMemText, source) != 0) return 3;
    return 0;
  });
  ASSERT_EQ(status, 0);

  char value[KELTO_VALUE_SIZE];
  ASSERT_EQ(KeltoReadVar(kText, value), 0);
  EXPECT_EQ(std::string(value), Repeat('A', 63));
  ASSERT_EQ(KeltoReadVar(kMemText, value), 0);
  EXPECT_EQ(std::string(value), Repeat('C', 63));
}

TEST_F(GuardedBuffersTest, ValuesMoveExactlyTheirSizeByIdentAndByName) {
  const int status = InChildWithTable([] {
    GuardedPage names;
    GuardedPage sources;
    GuardedPage destinations;
    for (int32_t ident = 0; ident < kItems; ++ident) {
      const bool text = KeltoGetTypeVar(ident) == '$';
      const size_t size = text ? KELTO_VALUE_SIZE : static_cast<size_t>(KeltoGetSizeVar(ident));
      char* source = sources.End(size);
      std::memset(source, 0x11 * (ident + 1), size);
      if (text) source[size - 1] = '\0';  // by name, a string is measured
      KeltoReadNameVar(ident, destinations.End(KELTO_NAME_SIZE));
      const char* name = names.TextAtEnd(destinations.End(KELTO_NAME_SIZE));

      if (KeltoWriteVar(ident, source) != 0) return 10 + ident;
      if (KeltoReadVar(ident, destinations.End(size)) != 0) return 20 + ident;
      if (KeltoWriteVarName(name, source) != 0) return 30 + ident;
      if (KeltoReadVarName(name, destinations.End(size)) != 0) return 40 + ident;
      if (KeltoGetIdentVarName(name) != ident) return 50 + ident;
    }
    return 0;
  });
  ASSERT_EQ(status, 0);

  char value[KELTO_VALUE_SIZE] = {};
  ASSERT_EQ(KeltoReadVar(kReal, value), 0);
  EXPECT_EQ(std::string(value, 8), Repeat(0x22, 8));
  ASSERT_EQ(KeltoReadVar(kText, value), 0);
  EXPECT_EQ(std::string(value), Repeat(0x11, 63));
  EXPECT_EQ(KeltoGetSizeVar(kNone), 0);
}

TEST_F(GuardedBuffersTest, NameDestinationsNeedOnlyTheirDocumentedSize) {
  const int status = InChildWithTable([] {
    GuardedPage page;
    for (int32_t ident = -1; ident <= kItems; ++ident) {
      if (KeltoReadNameVar(ident, page.End(KELTO_NAME_SIZE)) != 0) return 1;
      if (IORShReadNameVar(ident, page.End(KELTO_NAME_SIZE - 6)) != 0) return 2;
      if (MemShReadNameVar(ident, page.End(KELTO_NAME_SIZE - 6)) != 0) return 3;
    }
    return std::strcmp(page.End(KELTO_NAME_SIZE - 6), "") == 0 ? 0 : 4;
  });
  EXPECT_EQ(status, 0);
}

// The typed accessors take values and terminated texts; a short text ending
// at the guard must not be read as a whole value field, even for a variable
// wider than the text.
TEST_F(GuardedBuffersTest, TypedAccessorsStopAtTheTextsTheyAreGiven) {
  const int status = InChildWithTable([] {
    GuardedPage names;
    GuardedPage texts;
    if (KeltoWriteString(names.TextAtEnd("IORSH_REAL"), texts.TextAtEnd("abc")) != 0) return 1;
    if (KeltoWriteString(names.TextAtEnd("IORSH_TEXT"), texts.TextAtEnd(Repeat('t', 100))) != 0) {
      return 2;
    }
    if (KeltoWriteString(names.TextAtEnd("IORSH_BYTE"), texts.TextAtEnd("")) != 0) return 3;
    if (KeltoReadString(names.TextAtEnd("IORSH_TEXT"), texts.End(KELTO_VALUE_SIZE)) != 0) return 4;
    if (KeltoReadInt32(names.TextAtEnd("IORSH_LONG")) != 0) return 5;
    if (KeltoWriteInt32(names.TextAtEnd("IORSH_WORD"), 0x12345) != 0) return 6;
    return 0;
  });
  ASSERT_EQ(status, 0);

  char value[KELTO_VALUE_SIZE] = {};
  ASSERT_EQ(KeltoReadVar(kReal, value), 0);
  EXPECT_EQ(std::string(value, 8), std::string("abc\0\0\0\0\0", 8));
  EXPECT_EQ(KeltoReadInt32("IORSH_WORD"), 0x2345);
  ASSERT_EQ(KeltoReadString("IORSH_TEXT", value), 0);
  EXPECT_EQ(std::string(value), Repeat('t', 63));
}

}  // namespace
}  // namespace kelto::testing
