// Where Open looks: names and paths from the environment that cannot work
// must fail cleanly, never reach a wrong object or overrun a buffer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "table_fixture.h"

namespace kelto::testing {
namespace {

using LocationsTest = TableTest;

// A name that no shared-memory object can have gives error 2 and a reason,
// and creates nothing anywhere.
class UnusableSegmentNameTest : public TableTest,
                                public ::testing::WithParamInterface<std::string> {};

TEST_P(UnusableSegmentNameTest, FailsWithReasonAndCreatesNothing) {
  setenv("KELTO_SEGMENT", GetParam().c_str(), 1);
  OpenStandardTable();
  const std::string log = Log();
  EXPECT_NE(log.find("shared memory error is 2\nshared memory \""), std::string::npos) << log;
  EXPECT_NE(log.find("segment name is empty, \".\" or \"..\", longer than 247 bytes, contains "
                     "'/' or ends in \".lock\" or \".changes\""),
            std::string::npos)
      << log;
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 0);
  EXPECT_EQ(KeltoWriteInt32("IORSH_SPEED", 1), -5);
  const bool directory = GetParam() == "." || GetParam() == "..";
  for (const char* suffix : {"", ".lock", ".changes"}) {
    if (directory && *suffix == '\0') continue;  // "/dev/shm/." is the directory itself
    std::error_code unnameable;  // a companion's name may be too long to exist at all
    EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + GetParam() + suffix, unnameable)) << suffix;
  }
}

INSTANTIATE_TEST_SUITE_P(Names, UnusableSegmentNameTest,
                         ::testing::Values(std::string("with/slash"), std::string(248, 's'),
                                           std::string("another-table.lock"),
                                           std::string("another-table.changes"), std::string("."),
                                           std::string("..")),
                         [](const auto& param_info) -> std::string {
                           const std::string& name = param_info.param;
                           if (name.size() > 247) return "TooLong";
                           if (name == ".") return "Dot";
                           if (name == "..") return "DotDot";
                           if (name.find('/') != std::string::npos) return "WithSlash";
                           return name.back() == 'k' ? "GateOfAnother" : "ChangeLogOfAnother";
                         });

// The longest name works, and the last holder's Close leaves nothing of it.
TEST_F(LocationsTest, LongestUsableSegmentNameWorks) {
  const std::string name = env_.segment() + std::string(247 - env_.segment().size(), 'n');
  setenv("KELTO_SEGMENT", name.c_str(), 1);
  OpenStandardTable();
  EXPECT_EQ(KeltoWriteInt32("IORSH_SPEED", 7), 0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 7);
  KeltoClose();
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + name));
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + name + ".lock"));
}

// A directory too long for a path is not cut down to some other directory:
// Open finds no files and writes no log anywhere.
TEST_F(LocationsTest, DirectoryTooLongForAPathOpensNothing) {
  env_.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  const std::string padded = env_.directory() + std::string(1100, '/');
  setenv("KELTO_DIR", padded.c_str(), 1);
  EXPECT_EQ(KeltoOpen(), 0);
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  EXPECT_EQ(KeltoGetIdentVarName("IORSH_SPEED"), -1);
  EXPECT_FALSE(std::filesystem::exists(env_.Path("kelto_log.txt")));
  EXPECT_FALSE(env_.SegmentExists());
}

}  // namespace
}  // namespace kelto::testing
