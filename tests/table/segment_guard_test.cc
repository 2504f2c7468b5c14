// What keeps a process away from memory that is not its view: a segment
// smaller than its definitions need, and a table it has closed. And the
// segment's owner-only mode, whatever the umask.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "child_check.h"
#include "table_fixture.h"

namespace kelto::testing {
namespace {

using SegmentGuardTest = TableTest;

TEST_F(SegmentGuardTest, ExistingSegmentSmallerThanNeededIsRefused) {
  env_.WriteDefinitions("SPEED=L\n", "");
  ProcessLatch opened, release;
  ChildProcess holder([&] {
    KeltoOpen();
    CHILD_CHECK(KeltoGetNumberOfItems() == 1);
    CHILD_CHECK(KeltoWriteInt32("IORSH_SPEED", 7) == 0);
    opened.Notify();
    CHILD_CHECK(release.Wait(20000));
    CHILD_CHECK(KeltoReadInt32("IORSH_SPEED") == 7);  // untouched by the refused opener
    KeltoClose();
    return 0;
  });
  ASSERT_TRUE(opened.Wait());
  env_.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  ASSERT_EQ(KeltoOpen(), 0);

  const std::string head =
      "kelto v2.0.0\n"
      "3 variables after iorsh\n"
      "6 variables total\n"
      "will allocate 1968 bytes (328 per item)\n"
      "shared memory error is 2\n";
  const std::string log = Log();
  ASSERT_EQ(log.substr(0, head.size()), head);
  const std::string reason = log.substr(head.size());
  EXPECT_GT(reason.size(), 1u) << "a line saying why";
  EXPECT_EQ(reason.find('\n'), reason.size() - 1) << "exactly one line: " << reason;

  EXPECT_EQ(KeltoGetPointer(), nullptr);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  char buffer[64] = {};
  EXPECT_EQ(KeltoWriteVar(kSpeed, "abcd"), -1);
  EXPECT_EQ(KeltoReadVar(kSpeed, buffer), -1);
  EXPECT_EQ(KeltoWriteVarName("IORSH_SPEED", "abcd"), -5);
  EXPECT_EQ(KeltoReadVarName("IORSH_SPEED", buffer), -3);
  EXPECT_EQ(KeltoGetTypeVar(kSpeed), '#');
  release.Notify();
  EXPECT_EQ(holder.Wait(), 0);
}

// Two programs with other definitions on one segment name would read and
// write each other's variables with their own sizes. The second is refused
// with a reason naming the first ident that differs, and writes nothing; a
// program whose definitions are the first of the holder's attaches as
// before. And whatever the segment's items say later, a program's copies
// never exceed its own definitions.
TEST_F(SegmentGuardTest, ProgramsWithOtherDefinitionsNeverShareATable) {
  env_.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  ProcessLatch opened, release;
  ChildProcess holder([&] {
    KeltoOpen();
    CHILD_CHECK(KeltoWriteString("IORSH_NAME", "holder") == 0);
    opened.Notify();
    CHILD_CHECK(release.Wait(20000));
    char text[64] = {};
    CHILD_CHECK(KeltoReadString("IORSH_NAME", text) == 0 && std::strcmp(text, "holder") == 0);
    CHILD_CHECK(KeltoReadInt32("IORSH_SPEED") == 8);  // from the compatible program
    CHILD_CHECK(std::strcmp(RawItem(kSpeed).name, "IORSH_SPEED") == 0);
    CHILD_CHECK(RawItem(kSpeed).type == 'L' && RawItem(kSpeed).size == 4);
    KeltoClose();
    return 0;
  });
  ASSERT_TRUE(opened.Wait());

  // Other definitions: the names and types of ident 0 differ.
  env_.WriteDefinitions("NAME=$\nSPEED=L\n", "");
  ASSERT_EQ(KeltoOpen(), 0);
  const std::string log = Log();
  const std::string failure = "shared memory error is 2\nshared memory \"" + env_.segment() +
                              "\": the live segment was made with other definitions: ident 0 is "
                              "IORSH_NAME (type $) here but IORSH_SPEED (type L) in the segment\n";
  ASSERT_GE(log.size(), failure.size());
  EXPECT_EQ(log.substr(log.size() - failure.size()), failure) << log;
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  char buffer[64] = {};
  EXPECT_EQ(KeltoReadVar(0, buffer), -1);
  EXPECT_EQ(KeltoWriteString("IORSH_NAME", "intruder"), -5);

  // The holder's first two definitions, and no more: attaches as it is.
  env_.WriteDefinitions("SPEED=L\nNAME=$\n", "");
  ASSERT_EQ(KeltoOpen(), 0);
  ASSERT_EQ(KeltoGetNumberOfItems(), 2u);
  EXPECT_EQ(KeltoReadString("IORSH_NAME", buffer), 0);
  EXPECT_STREQ(buffer, "holder");
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 8), 0);
  release.Notify();
  EXPECT_EQ(holder.Wait(), 0);

  // A raw-view writer makes SPEED claim to be a string: the copies still
  // move the 4 bytes this program defines, and say so.
  KeltoVarItem& speed = RawItem(kSpeed);
  speed.type = '$';
  speed.size = 63;
  std::memset(speed.value + 4, 'x', 59);
  EXPECT_EQ(KeltoGetTypeVar(kSpeed), 'L');
  EXPECT_EQ(KeltoGetSizeVar(kSpeed), 4);
  EXPECT_EQ(KeltoGetSizeVarName("IORSH_SPEED"), 4);
  char guarded[64];
  std::memset(guarded, '#', sizeof guarded);
  ASSERT_EQ(KeltoReadVar(kSpeed, guarded), 0);
  EXPECT_EQ(std::string(guarded + 4, 60), std::string(60, '#'));
  ASSERT_EQ(KeltoReadVarName("IORSH_SPEED", guarded), 0);
  EXPECT_EQ(std::string(guarded + 4, 60), std::string(60, '#'));
  const std::string long_text(63, 'w');
  ASSERT_EQ(KeltoWriteVarName("IORSH_SPEED", long_text.c_str()), 0);
  EXPECT_EQ(std::string(speed.value, 8), "wwwwxxxx");
}

// Closing must not leave a way into the view: with another process still
// holding the segment, the closed process's writes must all fail.
TEST_F(SegmentGuardTest, AccessAfterCloseNeverReachesTheSharedSegment) {
  env_.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  ProcessLatch opened, closed;
  ChildProcess holder([&] {
    KeltoOpen();
    opened.Notify();
    CHILD_CHECK(closed.Wait(20000));
    CHILD_CHECK(KeltoReadInt32("IORSH_SPEED") == 5);
    char text[64] = {};
    CHILD_CHECK(KeltoReadString("IORSH_NAME", text) == 0);
    CHILD_CHECK(std::strcmp(text, "before close") == 0);
    KeltoClose();
    return 0;
  });
  ASSERT_TRUE(opened.Wait());
  ASSERT_EQ(KeltoOpen(), 0);
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 5), 0);
  ASSERT_EQ(KeltoWriteString("IORSH_NAME", "before close"), 0);
  ASSERT_EQ(KeltoClose(), 0);
  const int32_t other = 6;
  EXPECT_EQ(KeltoWriteVar(kSpeed, reinterpret_cast<const char*>(&other)), -1);
  EXPECT_EQ(KeltoWriteVarName("IORSH_SPEED", reinterpret_cast<const char*>(&other)), -5);
  EXPECT_EQ(KeltoWriteInt32("IORSH_SPEED", 6), -5);
  EXPECT_EQ(KeltoWriteString("IORSH_NAME", "after close"), -5);
  EXPECT_EQ(KeltoWriteVar(kName, "after close"), -1);
  closed.Notify();
  EXPECT_EQ(holder.Wait(), 0);
}

class SegmentModeTest : public TableTest, public ::testing::WithParamInterface<mode_t> {};

TEST_P(SegmentModeTest, SegmentAndLockAreOwnerOnly) {
  env_.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  ProcessLatch opened, release;
  const mode_t mask = GetParam();
  ChildProcess holder([&] {
    umask(mask);
    KeltoOpen();
    CHILD_CHECK(KeltoGetPointer() != nullptr);
    opened.Notify();
    CHILD_CHECK(release.Wait(20000));
    KeltoClose();
    return 0;
  });
  ASSERT_TRUE(opened.Wait());
  for (const std::string& path : {env_.SegmentPath(), env_.SegmentPath() + ".lock"}) {
    struct stat st = {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << path;
  }
  release.Notify();
  EXPECT_EQ(holder.Wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Umask, SegmentModeTest,
                         ::testing::Values(mode_t{0}, mode_t{077}, mode_t{0377}),
                         [](const auto& param_info) {
                           char name[16];
                           std::snprintf(name, sizeof name, "Umask%04o", param_info.param);
                           return std::string(name);
                         });

}  // namespace
}  // namespace kelto::testing
