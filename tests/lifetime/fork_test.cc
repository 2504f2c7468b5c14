// A forked child never shares its parent's hold: it starts with the table
// closed, may open and close it on its own, and the parent's hold (and so
// the values) outlives whatever the child does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "kelto.h"
#include "lifetime_support.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

class ForkTest : public ::testing::Test {
 protected:
  void SetUp() override { env_.WriteDefinitions("SPEED=L\nNAME=$\n", "COUNT=D\n"); }
  void TearDown() override { KeltoClose(); }

  TestEnvironment env_;
};

// Every call of a child of an open parent fails as before any Open and
// writes nothing to the parent's log.
int ChildCallsAreClosed() {
  int failures = 0;
  char buffer[256] = {};
  const auto expect = [&](bool ok) { failures += ok ? 0 : 1; };
  expect(KeltoGetPointer() == nullptr);
  expect(KeltoGetNumberOfItems() == 0);
  expect(KeltoReadVar(0, buffer) == -1);
  expect(KeltoWriteVar(0, buffer) == -1);
  expect(KeltoGetTypeVar(0) == '#');
  expect(KeltoGetSizeVar(0) == 0);
  expect(KeltoGetIdentVarName("IORSH_SPEED") == -1);
  expect(KeltoReadVarName("IORSH_SPEED", buffer) == -3);
  expect(KeltoWriteVarName("IORSH_SPEED", buffer) == -5);
  expect(KeltoReadInt32("IORSH_SPEED") == 0);
  expect(KeltoWriteInt32("IORSH_SPEED", 5) != 0);
  expect(IORShReadVarName("SPEED", buffer) == -3);
  return failures;
}

TEST_F(ForkTest, ChildStartsClosedAndParentHoldSurvivesChildOpenAndClose) {
  KeltoOpen();
  ASSERT_NE(KeltoGetPointer(), nullptr);
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 4242), 0);
  const std::string log_before = env_.ReadLog();

  EXPECT_EQ(RunInChild([] { return ChildCallsAreClosed(); }), 0);
  EXPECT_EQ(env_.ReadLog(), log_before) << "the child wrote to the parent's log";

  // The child's own Open attaches to the parent's segment and its Close
  // leaves the parent's hold alone.
  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              if (KeltoGetPointer() == nullptr) return 1;
              if (KeltoReadInt32("IORSH_SPEED") != 4242) return 2;
              KeltoWriteInt32("IORSH_SPEED", 777);
              KeltoClose();
              KeltoClose();
              return KeltoGetPointer() == nullptr ? 0 : 3;
            }),
            0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 777);
  EXPECT_TRUE(env_.SegmentExists());

  // A child that dies without Close changes nothing either.
  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              _exit(KeltoReadInt32("IORSH_SPEED") == 777 ? 0 : 1);
              return 1;
            }),
            0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 777);

  // A second opener after the child is gone still meets the parent's values.
  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              const int value = KeltoReadInt32("IORSH_SPEED");
              KeltoClose();
              return value == 777 ? 0 : 1;
            }),
            0);

  // Only the parent's Close ends the segment: the next opener reads zeros.
  KeltoClose();
  EXPECT_FALSE(env_.SegmentExists());
  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              const int value = KeltoReadInt32("IORSH_SPEED");
              KeltoClose();
              return value == 0 ? 0 : 1;
            }),
            0);
}

TEST_F(ForkTest, ChildOfChildIsClosedToo) {
  KeltoOpen();
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 9), 0);
  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              if (KeltoReadInt32("IORSH_SPEED") != 9) return 1;
              // The grandchild sees neither the child's table nor the parent's.
              const int grandchild = RunInChild([] { return ChildCallsAreClosed(); });
              KeltoClose();
              return grandchild == 0 ? 0 : 2;
            }),
            0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 9);
}

TEST_F(ForkTest, ChildDoesNotInheritTheMapping) {
  KeltoOpen();
  ASSERT_NE(KeltoGetPointer(), nullptr);
  EXPECT_EQ(RunInChild([this] {
              bool deleted = false;
              return MappedSegmentInode(env_.segment(), &deleted) == 0 ? 0 : 1;
            }),
            0);
  bool deleted = true;
  EXPECT_NE(MappedSegmentInode(env_.segment(), &deleted), 0u);
  EXPECT_FALSE(deleted);
}

// True when this process has a descriptor of any file of the table (the
// segment, even unlinked, its gate or its change log): one whose link
// starts with `prefix`. It allocates nothing: a child of a threaded parent
// that calls the allocator may find one of its locks held for ever by the
// thread that did not come along (seen under AddressSanitizer).
bool HasTableDescriptor(const std::string& prefix) {
  for (int fd = 0; fd < 1024; ++fd) {
    char path[32] = "/proc/self/fd/";
    size_t at = std::strlen(path);
    char digits[12];
    int count = 0;
    for (int rest = fd; count == 0 || rest > 0; rest /= 10)
      digits[count++] = static_cast<char>('0' + rest % 10);
    while (count > 0) path[at++] = digits[--count];
    path[at] = '\0';
    char target[512];
    const ssize_t length = readlink(path, target, sizeof(target));
    if (length >= static_cast<ssize_t>(prefix.size()) &&
        std::memcmp(target, prefix.data(), prefix.size()) == 0) {
      return true;
    }
  }
  return false;
}

// A fork while another thread is inside Open or Close, or between the two
// halves of a repeated Open, must not hand the child any descriptor of the
// table: the gate's lock would stay shut for as long as the child lives, and
// a segment's read lock would keep the table alive for it. The table is
// opened twice and closed in each round, so forks land in every gap.
TEST_F(ForkTest, ForkDuringOpenAndCloseNeverInheritsTheTable) {
  std::atomic<bool> done{false};
  std::thread opener([&] {
    for (int round = 0; round < 400; ++round) {
      KeltoOpen();
      KeltoOpen();
      KeltoClose();
    }
    done = true;
  });
  int forks = 0;
  int inherited = 0;
  const std::string prefix = "/dev/shm/" + env_.segment();
  while (!done) {
    inherited += RunInChild([&prefix] { return HasTableDescriptor(prefix) ? 1 : 0; });
    ++forks;
  }
  opener.join();
  EXPECT_EQ(inherited, 0) << inherited << " of " << forks << " children held the table";
  EXPECT_GT(forks, 0);
  EXPECT_FALSE(env_.SegmentExists());
}

}  // namespace
}  // namespace kelto::testing
