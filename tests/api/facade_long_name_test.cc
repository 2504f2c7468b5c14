// Caller names that do not fit a full name (more than 249 characters behind
// the six-character prefix) are not cut to fit: they fail as not found, and
// the log shows the whole prefixed name that was asked for.
#include <string>

#include "facade_fixture.h"

namespace kelto::testing {
namespace {

class FacadeLongNames : public ::testing::Test {
 protected:
  void SetUp() override {
    // A full name of exactly 255 characters, and one of 256 that Open cuts.
    env_.WriteDefinitions(fits_ + "=L\n" + too_long_ + "=L\n", fits_ + "=B\n");
    ASSERT_EQ(IORShOpen(0), 1);
  }
  void TearDown() override { KeltoClose(); }

  std::string LogAfterOpen() const {
    const std::string log = env_.ReadLog();
    const std::string marker = "2 MEMSH_" + fits_ + " B 1\n";
    const size_t at = log.find(marker);
    return at == std::string::npos ? log : log.substr(at + marker.size());
  }

  TestEnvironment env_;
  const std::string fits_ = std::string(249, 'A');
  const std::string too_long_ = std::string(250, 'B');
};

TEST_F(FacadeLongNames, TheLongestNameThatFitsIsFound) {
  EXPECT_EQ(IORShGetIdentVarName(fits_.c_str()), 0);
  EXPECT_EQ(MemShGetIdentVarName(fits_.c_str()), 2);
  const int32_t value = 5;
  EXPECT_EQ(IORShWriteVarName(fits_.c_str(), reinterpret_cast<const char*>(&value)), 0);
  EXPECT_EQ(ReadInt32ByName(IORShReadVarName, fits_.c_str()), value);
}

TEST_F(FacadeLongNames, ANameOneCharacterTooLongIsNotCutOntoAShorterVariable) {
  // Cut to 255 characters, this name would equal the item that Open stored
  // for the 250-character definition.
  EXPECT_EQ(IORShGetIdentVarName(too_long_.c_str()), -1);
  EXPECT_EQ(IORShGetTypeVarName(too_long_.c_str()), '#');
  EXPECT_EQ(IORShGetSizeVarName(too_long_.c_str()), -1);
  EXPECT_EQ(IORShWriteVarName(too_long_.c_str(), "abcd"), -5);
  char buffer[8] = "intact";
  EXPECT_EQ(IORShReadVarName(too_long_.c_str(), buffer), -3);
  EXPECT_STREQ(buffer, "intact");
  EXPECT_EQ(KeltoReadInt32(("IORSH_" + too_long_.substr(0, 249)).c_str()), 0)
      << "the failed write must not reach the cut item";

  std::string expected;
  for (int i = 0; i < 5; ++i) expected += NotFoundLine("IORSH_" + too_long_);
  EXPECT_EQ(LogAfterOpen(), expected);
}

TEST_F(FacadeLongNames, ATenThousandCharacterNameFailsAndIsLoggedWhole) {
  const std::string huge(10000, 'Z');
  EXPECT_EQ(MemShGetIdentVarName(huge.c_str()), -1);
  char buffer[8] = "intact";
  EXPECT_EQ(IORShReadVarName(huge.c_str(), buffer), -3);
  EXPECT_STREQ(buffer, "intact");
  EXPECT_EQ(LogAfterOpen(), NotFoundLine("MEMSH_" + huge) + NotFoundLine("IORSH_" + huge));
}

TEST_F(FacadeLongNames, ReadNameVarOfTheLongestNameStaysWithinTwoHundredFiftyBytes) {
  char name[260];
  std::memset(name, 0x7f, sizeof name);
  EXPECT_EQ(IORShReadNameVar(0, name), 0);
  EXPECT_EQ(std::string(name), fits_);
  for (size_t i = 250; i < sizeof name; ++i) {
    ASSERT_EQ(name[i], 0x7f) << "byte " << i << " written";
  }
}

}  // namespace
}  // namespace kelto::testing
