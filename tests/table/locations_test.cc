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
  EXPECT_NE(log.find("segment name is empty, too long, contains '/' or ends in \".lock\""),
            std::string::npos);
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 0);
  EXPECT_EQ(KeltoWriteInt32("IORSH_SPEED", 1), -5);
  std::error_code unnameable;  // the lock file's name may be too long to exist at all
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + GetParam(), unnameable));
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + GetParam() + ".lock", unnameable));
}

INSTANTIATE_TEST_SUITE_P(Names, UnusableSegmentNameTest,
                         ::testing::Values(std::string("with/slash"), std::string(251, 's'),
                                           std::string("another-table.lock")),
                         [](const auto& param_info) {
                           if (param_info.param.size() > 250) return "TooLong";
                           return param_info.param.back() == 'k' ? "GateOfAnother" : "WithSlash";
                         });

TEST_F(LocationsTest, LongestUsableSegmentNameWorks) {
  const std::string name = env_.segment() + std::string(250 - env_.segment().size(), 'n');
  setenv("KELTO_SEGMENT", name.c_str(), 1);
  OpenStandardTable();
  EXPECT_EQ(KeltoWriteInt32("IORSH_SPEED", 7), 0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 7);
  KeltoClose();
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + name));
  std::filesystem::remove("/dev/shm/" + name + ".lock");
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
