// Names from callers: any length, empty, with bytes of 0x80 and above. Each
// by-name function of the three families must give its documented result,
// change nothing it was not asked to, and log the name exactly as asked.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "hostile/hostile_support.h"
#include "kelto.h"

namespace kelto::testing {
namespace {

// "\xC4\xD6L" is a name of high bytes; the last iorsh name makes a full name
// of exactly 255 characters, the most an item holds.
const std::string kHighName = "\xC4\xD6L";
const std::string kLongestName = Repeat('N', 249);
const std::string kIorsh = "SPEED=L\nNAME=$\n" + kHighName + "=D\n=B\n" + kLongestName + "=W\n";
const std::string kMemsh = "LEVEL=D\n";
constexpr int32_t kSpeed = 0;
constexpr int32_t kHigh = 2;
constexpr int32_t kEmpty = 3;
constexpr int32_t kLongest = 4;
constexpr int32_t kLevel = 5;

constexpr char kUntouched = 0x5A;

// One by-name call and the result it must give for a name that is not there.
struct ByNameCall {
  std::string what;
  std::function<double(const char* name, char* buffer)> call;
  double failure;
};

std::vector<ByNameCall> EveryByNameCall() {
  static const char kSource[KELTO_VALUE_SIZE] = "source text";
  std::vector<ByNameCall> calls = {
      {"KeltoGetIdentVarName", [](const char* n, char*) { return KeltoGetIdentVarName(n); }, -1},
      {"KeltoGetTypeVarName", [](const char* n, char*) { return KeltoGetTypeVarName(n); }, '#'},
      {"KeltoGetSizeVarName", [](const char* n, char*) { return KeltoGetSizeVarName(n); }, -1},
      {"KeltoWriteVarName", [](const char* n, char*) { return KeltoWriteVarName(n, kSource); }, -5},
      {"KeltoReadVarName", [](const char* n, char* b) { return KeltoReadVarName(n, b); }, -3},
      {"KeltoReadByte", [](const char* n, char*) { return KeltoReadByte(n); }, 0},
      {"KeltoReadInt32", [](const char* n, char*) { return KeltoReadInt32(n); }, 0},
      {"KeltoReadDouble", [](const char* n, char*) { return KeltoReadDouble(n); }, 0},
      {"KeltoReadString", [](const char* n, char* b) { return KeltoReadString(n, b); }, -3},
      {"KeltoWriteByte", [](const char* n, char*) { return KeltoWriteByte(n, 'x'); }, -5},
      {"KeltoWriteInt32", [](const char* n, char*) { return KeltoWriteInt32(n, 7); }, -5},
      {"KeltoWriteDouble", [](const char* n, char*) { return KeltoWriteDouble(n, 7.5); }, -5},
      {"KeltoWriteString", [](const char* n, char*) { return KeltoWriteString(n, "text"); }, -5},
      {"IORShGetIdentVarName", [](const char* n, char*) { return IORShGetIdentVarName(n); }, -1},
      {"IORShGetTypeVarName", [](const char* n, char*) { return IORShGetTypeVarName(n); }, '#'},
      {"IORShGetSizeVarName", [](const char* n, char*) { return IORShGetSizeVarName(n); }, -1},
      {"IORShWriteVarName", [](const char* n, char*) { return IORShWriteVarName(n, kSource); }, -5},
      {"IORShReadVarName", [](const char* n, char* b) { return IORShReadVarName(n, b); }, -3},
      {"MemShGetIdentVarName", [](const char* n, char*) { return MemShGetIdentVarName(n); }, -1},
      {"MemShGetTypeVarName", [](const char* n, char*) { return MemShGetTypeVarName(n); }, '#'},
      {"MemShGetSizeVarName", [](const char* n, char*) { return MemShGetSizeVarName(n); }, -1},
      {"MemShWriteVarName", [](const char* n, char*) { return MemShWriteVarName(n, kSource); }, -5},
      {"MemShReadVarName", [](const char* n, char* b) { return MemShReadVarName(n, b); }, -3},
  };
  return calls;
}

// Names that no family finds in the table above, with or without a prefix.
std::vector<std::string> UndefinedNames() {
  std::vector<std::string> names;
  const size_t lengths[] = {1, 6, 248, 249, 250, 251, 255, 256, 257, 1023, 1024, 10000};
  for (const size_t length : lengths) {
    names.push_back(Repeat('Z', length));
  }
  names.push_back("IORSH_" + Repeat('N', 250));  // one past the longest full name
  names.push_back("IORSH_" + Repeat('N', 10000));
  names.push_back("\x80");
  names.push_back("\xFF\xFE\xFD");
  names.push_back(Repeat('\xC4', 10000));
  names.push_back("IORSH_\x44\xD6L");  // the high-byte name with one bit less
  names.push_back("IORSH_\xC4\xD6l");  // and in another case
  names.push_back("speed");
  names.push_back("IORSH_SPEED ");
  return names;
}

// Runs every call on every name and returns a description of each result
// that differs from the documented one; empty when all agree.
std::string FailuresOfUndefinedNames() {
  std::string mismatches;
  char buffer[KELTO_VALUE_SIZE];
  for (const std::string& name : UndefinedNames()) {
    for (const ByNameCall& call : EveryByNameCall()) {
      std::memset(buffer, kUntouched, sizeof buffer);
      const double result = call.call(name.c_str(), buffer);
      const bool buffer_untouched =
          std::string(buffer, sizeof buffer) == std::string(sizeof buffer, kUntouched);
      if (result != call.failure || !buffer_untouched) {
        mismatches += call.what + " of a name of " + std::to_string(name.size()) + " bytes gave " +
                      std::to_string(result) + (buffer_untouched ? "" : " and wrote") + "\n";
      }
    }
  }
  return mismatches;
}

class CallerNamesTest : public HostileTest {
 protected:
  void SetUp() override { OpenWith(kIorsh, kMemsh); }
};

TEST_F(CallerNamesTest, UndefinedNamesGetTheFailureResultOfEveryFunction) {
  ASSERT_EQ(KeltoGetNumberOfItems(), 6u);
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 4242), 0);
  const std::string before = SnapshotOfSegment();

  EXPECT_EQ(FailuresOfUndefinedNames(), "");

  EXPECT_EQ(SnapshotOfSegment(), before) << "a failed call changed the segment";
}

TEST_F(CallerNamesTest, TheLogShowsLongAndHighByteNamesExactly) {
  const std::string long_name = Repeat('Z', 10000);
  const std::string high_name = Repeat('\xC4', 300);
  EXPECT_EQ(KeltoGetSizeVarName(long_name.c_str()), -1);
  EXPECT_EQ(MemShGetSizeVarName(high_name.c_str()), -1);

  EXPECT_TRUE(LogContains("tried to access non-existing variable " + long_name + "\n"));
  EXPECT_TRUE(LogContains("tried to access non-existing variable MEMSH_" + high_name + "\n"));
}

TEST_F(CallerNamesTest, HighByteNamesAreFoundByTheirExactBytes) {
  const std::string full = "IORSH_" + kHighName;
  EXPECT_EQ(KeltoGetIdentVarName(full.c_str()), kHigh);
  EXPECT_EQ(IORShGetIdentVarName(kHighName.c_str()), kHigh);
  EXPECT_EQ(MemShGetIdentVarName(kHighName.c_str()), -1);
  EXPECT_EQ(KeltoGetTypeVarName(full.c_str()), 'D');
  EXPECT_EQ(KeltoWriteDouble(full.c_str(), -0.125), 0);
  EXPECT_EQ(KeltoReadDouble(full.c_str()), -0.125);

  char name[KELTO_NAME_SIZE] = {};
  EXPECT_EQ(IORShReadNameVar(kHigh, name), 0);
  EXPECT_EQ(std::string(name), kHighName);
}

TEST_F(CallerNamesTest, TheEmptyNameIsTheBarePrefixAndNothingElse) {
  EXPECT_EQ(KeltoGetIdentVarName(""), -1);
  EXPECT_EQ(KeltoGetIdentVarName("IORSH_"), kEmpty);
  EXPECT_EQ(IORShGetIdentVarName(""), kEmpty);
  EXPECT_EQ(MemShGetIdentVarName(""), -1);
  EXPECT_EQ(IORShGetSizeVarName(""), 1);
  EXPECT_EQ(KeltoReadVarName("", nullptr), -3);
}

TEST_F(CallerNamesTest, TheLongestFullNameResolvesAndOneMoreCharacterDoesNot) {
  const std::string full = "IORSH_" + kLongestName;
  ASSERT_EQ(full.size(), 255u);
  EXPECT_EQ(KeltoGetIdentVarName(full.c_str()), kLongest);
  EXPECT_EQ(IORShGetIdentVarName(kLongestName.c_str()), kLongest);
  EXPECT_EQ(IORShGetSizeVarName(kLongestName.c_str()), 2);

  EXPECT_EQ(KeltoGetIdentVarName((full + "N").c_str()), -1);
  EXPECT_EQ(IORShGetIdentVarName((kLongestName + "N").c_str()), -1);
  EXPECT_EQ(IORShWriteVarName((kLongestName + "N").c_str(), "ab"), -5);
}

TEST_F(CallerNamesTest, NullNamesAndBuffersFailWithoutTouchingAnything) {
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 99), 0);
  const std::string before = SnapshotOfSegment();

  EXPECT_EQ(KeltoGetIdentVarName(nullptr), -1);
  EXPECT_EQ(KeltoGetSizeVarName(nullptr), -1);
  EXPECT_EQ(KeltoWriteVarName(nullptr, "abc"), -5);
  EXPECT_EQ(KeltoWriteVarName("IORSH_SPEED", nullptr), -5);
  EXPECT_EQ(KeltoReadVarName("IORSH_SPEED", nullptr), -3);
  EXPECT_EQ(KeltoWriteString("IORSH_NAME", nullptr), -5);
  EXPECT_EQ(KeltoWriteVar(kSpeed, nullptr), -1);
  EXPECT_EQ(KeltoReadVar(kSpeed, nullptr), -1);
  EXPECT_EQ(KeltoReadNameVar(kSpeed, nullptr), 0);
  EXPECT_EQ(IORShReadNameVar(kSpeed, nullptr), 0);
  EXPECT_EQ(MemShWriteVarName("LEVEL", nullptr), -5);

  EXPECT_EQ(SnapshotOfSegment(), before);
}

// Another process hammering the same segment with hostile names must neither
// crash nor change a byte that this process sees.
TEST_F(CallerNamesTest, HostileNamesInAnotherProcessLeaveTheSharedItemsAlone) {
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 31337), 0);
  ASSERT_EQ(KeltoWriteString("IORSH_NAME", "kept"), 0);
  ASSERT_EQ(KeltoWriteDouble("MEMSH_LEVEL", 2.75), 0);
  const std::string before = SnapshotOfSegment();

  const int status = RunInChild([] {
    KeltoOpen();
    if (KeltoGetNumberOfItems() != 6) return 2;
    const std::string mismatches = FailuresOfUndefinedNames();
    std::fputs(mismatches.c_str(), stderr);
    KeltoClose();
    return mismatches.empty() ? 0 : 1;
  });

  EXPECT_EQ(status, 0);
  EXPECT_EQ(SnapshotOfSegment(), before);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 31337);
  EXPECT_EQ(KeltoReadDouble("MEMSH_LEVEL"), 2.75);
  EXPECT_EQ(KeltoGetIdentVarName("MEMSH_LEVEL"), kLevel);
}

}  // namespace
}  // namespace kelto::testing
