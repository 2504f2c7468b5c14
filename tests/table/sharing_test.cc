// One segment, several real processes: every child is forked before it
// calls KeltoOpen, exactly as separate programs would open the table.
#include <signal.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "child_check.h"
#include "table_fixture.h"

namespace kelto::testing {
namespace {

constexpr int kKilled = 128 + SIGKILL;

class SharingTest : public TableTest {
 protected:
  void SetUp() override { env_.WriteDefinitions(kIorshDefinitions, kMemshDefinitions); }
};

// A child that opens the table, writes SPEED, and holds the table until it
// is killed (or the latch times out).
std::unique_ptr<ChildProcess> StartHolder(int32_t speed, ProcessLatch& opened,
                                          ProcessLatch& forever) {
  return std::make_unique<ChildProcess>([&, speed] {
    KeltoOpen();
    CHILD_CHECK(KeltoWriteInt32("IORSH_SPEED", speed) == 0);
    opened.Notify();
    forever.Wait(30000);
    return 0;
  });
}

TEST_F(SharingTest, WritesAreSeenAtOnceByIdentAndByName) {
  ProcessLatch child_opened, parent_wrote, child_wrote, done;
  ChildProcess child([&] {
    KeltoOpen();
    child_opened.Notify();
    CHILD_CHECK(parent_wrote.Wait());
    int32_t speed = 0;
    CHILD_CHECK(KeltoReadVar(kSpeed, reinterpret_cast<char*>(&speed)) == 0);
    CHILD_CHECK(speed == 1234);
    CHILD_CHECK(KeltoReadInt32("IORSH_SPEED") == 1234);
    char text[64] = {};
    CHILD_CHECK(KeltoReadString("IORSH_NAME", text) == 0);
    CHILD_CHECK(std::strcmp(text, "from the parent") == 0);
    CHILD_CHECK(KeltoWriteDouble("MEMSH_LEVEL", 6.25) == 0);
    CHILD_CHECK(KeltoWriteVar(kFlag, "z") == 0);
    child_wrote.Notify();
    CHILD_CHECK(done.Wait());
    KeltoClose();
    return 0;
  });
  ASSERT_TRUE(child_opened.Wait());
  ASSERT_EQ(KeltoOpen(), 0);
  const int32_t speed = 1234;
  ASSERT_EQ(KeltoWriteVar(kSpeed, reinterpret_cast<const char*>(&speed)), 0);
  ASSERT_EQ(KeltoWriteVarName("IORSH_NAME", "from the parent"), 0);
  parent_wrote.Notify();
  ASSERT_TRUE(child_wrote.Wait());
  EXPECT_EQ(KeltoReadDouble("MEMSH_LEVEL"), 6.25);
  char flag = 0;
  EXPECT_EQ(KeltoReadVarName("IORSH_FLAG", &flag), 0);
  EXPECT_EQ(flag, 'z');
  done.Notify();
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(SharingTest, SecondProcessAttachesWithValuesAndSameLog) {
  ASSERT_EQ(KeltoOpen(), 0);
  const std::string first_log = Log();
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 31), 0);
  ASSERT_EQ(KeltoWriteString("IORSH_NAME", "kept"), 0);
  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              CHILD_CHECK(KeltoReadInt32("IORSH_SPEED") == 31);
              char text[64] = {};
              CHILD_CHECK(KeltoReadString("IORSH_NAME", text) == 0);
              CHILD_CHECK(std::strcmp(text, "kept") == 0);
              CHILD_CHECK(KeltoWriteInt32("MEMSH_COUNT", 9) == 0);
              KeltoClose();
              return 0;
            }),
            0);
  // The child's log (same file) listed the same variables with the same idents.
  EXPECT_EQ(Log(), first_log + "quitting\n");
  // Its Close left the segment to us, values and all.
  EXPECT_TRUE(env_.SegmentExists());
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 31);
  EXPECT_EQ(KeltoReadInt32("MEMSH_COUNT"), 9);
}

TEST_F(SharingTest, LastHolderClosingLeavesNothingAndNextOpenGetsZeros) {
  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              CHILD_CHECK(KeltoWriteInt32("IORSH_SPEED", 55) == 0);
              KeltoClose();
              return 0;
            }),
            0);
  EXPECT_FALSE(env_.TableFilesExist()) << "the gate included";
  ASSERT_EQ(KeltoOpen(), 0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 0);
  KeltoClose();
  EXPECT_FALSE(env_.TableFilesExist());
}

TEST_F(SharingTest, OnlyHolderExitingWithoutCloseLeavesZeros) {
  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              CHILD_CHECK(KeltoWriteInt32("IORSH_SPEED", 56) == 0);
              return 0;  // ends the process without Close
            }),
            0);
  ASSERT_EQ(KeltoOpen(), 0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 0);
}

TEST_F(SharingTest, OnlyHolderKilledLeavesZeros) {
  ProcessLatch opened, forever;
  auto holder = StartHolder(77, opened, forever);
  ASSERT_TRUE(opened.Wait());
  holder->Kill(SIGKILL);
  ASSERT_EQ(holder->Wait(), kKilled);
  EXPECT_TRUE(env_.SegmentExists()) << "only a process that opens cleans up after a kill";
  ASSERT_EQ(KeltoOpen(), 0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 0);
  KeltoClose();
  EXPECT_FALSE(env_.TableFilesExist());
}

TEST_F(SharingTest, SurvivorKeepsValuesWhenTheOtherHolderIsKilled) {
  ProcessLatch opened, forever;
  auto holder = StartHolder(88, opened, forever);
  ASSERT_TRUE(opened.Wait());
  ASSERT_EQ(KeltoOpen(), 0);
  ASSERT_EQ(KeltoReadInt32("IORSH_SPEED"), 88);
  holder->Kill(SIGKILL);
  ASSERT_EQ(holder->Wait(), kKilled);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 88);
  ASSERT_EQ(KeltoWriteInt32("MEMSH_COUNT", 3), 0);
  // A newcomer attaches to the surviving segment, not to a fresh one.
  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              CHILD_CHECK(KeltoReadInt32("IORSH_SPEED") == 88);
              CHILD_CHECK(KeltoReadInt32("MEMSH_COUNT") == 3);
              KeltoClose();
              return 0;
            }),
            0);
  KeltoClose();
  EXPECT_FALSE(env_.SegmentExists());
}

// A child forked from a process with the table open shares its descriptors,
// and so its locks: it must start closed, and its exit must not take the
// parent's hold with it.
TEST_F(SharingTest, ForkedChildStartsClosedAndLeavesTheParentsHold) {
  ASSERT_EQ(KeltoOpen(), 0);
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 41), 0);
  EXPECT_EQ(RunInChild([] {
              CHILD_CHECK(KeltoGetPointer() == nullptr);
              CHILD_CHECK(KeltoGetNumberOfItems() == 0);
              CHILD_CHECK(KeltoReadInt32("IORSH_SPEED") == 0);
              CHILD_CHECK(KeltoWriteInt32("IORSH_SPEED", 1) == -5);
              KeltoClose();  // must release nothing of the parent's
              return 0;
            }),
            0);
  EXPECT_EQ(Log().find("quitting"), std::string::npos);
  EXPECT_TRUE(env_.SegmentExists());
  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              CHILD_CHECK(KeltoReadInt32("IORSH_SPEED") == 41);
              KeltoClose();
              return 0;
            }),
            0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 41);
}

TEST_F(SharingTest, EightProcessesOpeningTogetherLandInOneSegment) {
  constexpr int kProcesses = 8;
  std::string iorsh;
  for (int i = 0; i < kProcesses; ++i) iorsh.append("V").append(std::to_string(i)).append("=L\n");
  env_.WriteDefinitions(iorsh, "");
  ProcessLatch start, written, check;
  std::vector<std::unique_ptr<ChildProcess>> children;
  for (int i = 0; i < kProcesses; ++i) {
    children.push_back(std::make_unique<ChildProcess>([&, i] {
      CHILD_CHECK(start.Wait());
      KeltoOpen();
      const std::string own = "IORSH_V" + std::to_string(i);
      CHILD_CHECK(KeltoWriteInt32(own.c_str(), 1000 + i) == 0);
      written.Notify();
      CHILD_CHECK(check.Wait(20000));
      for (int other = 0; other < kProcesses; ++other) {
        CHILD_CHECK(KeltoReadInt32(("IORSH_V" + std::to_string(other)).c_str()) == 1000 + other);
      }
      KeltoClose();
      return 0;
    }));
  }
  for (int i = 0; i < kProcesses; ++i) start.Notify();
  for (int i = 0; i < kProcesses; ++i) ASSERT_TRUE(written.Wait(20000)) << "writer " << i;
  for (int i = 0; i < kProcesses; ++i) check.Notify();
  for (size_t i = 0; i < children.size(); ++i) {
    EXPECT_EQ(children[i]->Wait(), 0) << "process " << i;
  }
  EXPECT_FALSE(env_.TableFilesExist());
}

}  // namespace
}  // namespace kelto::testing
