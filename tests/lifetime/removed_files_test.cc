// Someone removes the segment and its lock file under a running table
// (rm /dev/shm/..., a login manager cleaning up). Old holders keep their
// own segment; later openers meet on one new segment; an old holder's
// Close never removes the new one.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>

#include "kelto.h"
#include "lifetime_support.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

// One holder process, driven step by step from the test.
class Holder {
 public:
  // Opens, writes `value` (unless 0), reports what it read first, then
  // waits for the order to close.
  Holder(const TestEnvironment& env, int value)
      : child_([this, &env, value] {
          KeltoOpen();
          board_->found = KeltoGetPointer() != nullptr ? KeltoReadInt32("IORSH_SPEED") : -1;
          if (value != 0) KeltoWriteInt32("IORSH_SPEED", value);
          bool deleted = true;
          board_->mapped_inode = MappedSegmentInode(env.segment(), &deleted);
          board_->mapped_deleted = deleted;
          ready_.Notify();
          if (!read_again_.Wait(20000)) return 1;
          board_->found_later = KeltoReadInt32("IORSH_SPEED");
          reread_.Notify();
          if (!close_.Wait(20000)) return 2;
          KeltoClose();
          return 0;
        }) {}

  bool Ready() { return ready_.Wait(); }
  int found() const { return board_->found; }
  ino_t mapped_inode() const { return board_->mapped_inode; }
  bool mapped_deleted() const { return board_->mapped_deleted; }
  int ReadAgain() {
    read_again_.Notify();
    return reread_.Wait() ? board_->found_later.load() : -1;
  }
  int Close() {
    close_.Notify();
    return child_.Wait();
  }

 private:
  struct Board {
    std::atomic<int> found{-2};
    std::atomic<int> found_later{-2};
    std::atomic<ino_t> mapped_inode{0};
    std::atomic<bool> mapped_deleted{false};
  };
  SharedBoard<Board> board_;
  ProcessLatch ready_, read_again_, reread_, close_;
  ChildProcess child_;
};

void RemoveFiles(const TestEnvironment& env) {
  ASSERT_EQ(shm_unlink(("/" + env.segment()).c_str()), 0);
  ASSERT_EQ(shm_unlink(("/" + env.segment() + ".lock").c_str()), 0);
}

int ReadSpeedInNewProcess() {
  return RunInChild([] {
    KeltoOpen();
    const int value = KeltoGetPointer() != nullptr ? KeltoReadInt32("IORSH_SPEED") : -1;
    KeltoClose();
    return value;
  });
}

TEST(RemovedFilesTest, LaterOpenersMeetOnOneNewSegmentAndOldCloseSparesIt) {
  TestEnvironment env;
  env.WriteDefinitions("SPEED=L\n", "");
  Holder old_holder(env, 11);
  ASSERT_TRUE(old_holder.Ready());
  const ino_t old_inode = SegmentInode(env.segment());
  ASSERT_EQ(old_holder.mapped_inode(), old_inode);

  RemoveFiles(env);

  // The first opener after the removal starts from zeros: the old values
  // are out of reach for newcomers.
  Holder first(env, 22);
  ASSERT_TRUE(first.Ready());
  EXPECT_EQ(first.found(), 0);
  const ino_t new_inode = SegmentInode(env.segment());
  ASSERT_NE(new_inode, 0u);
  EXPECT_NE(new_inode, old_inode);
  EXPECT_EQ(first.mapped_inode(), new_inode);

  // Later openers meet the first one.
  Holder second(env, 0);
  ASSERT_TRUE(second.Ready());
  EXPECT_EQ(second.found(), 22);
  EXPECT_EQ(second.mapped_inode(), new_inode);
  EXPECT_FALSE(second.mapped_deleted());

  // The old holder keeps its own values.
  EXPECT_EQ(old_holder.ReadAgain(), 11);

  // The old holder's Close must not unlink the new segment.
  EXPECT_EQ(old_holder.Close(), 0);
  EXPECT_EQ(SegmentInode(env.segment()), new_inode);
  EXPECT_EQ(ReadSpeedInNewProcess(), 22);

  EXPECT_EQ(first.ReadAgain(), 22);
  EXPECT_EQ(second.ReadAgain(), 22);
  EXPECT_EQ(first.Close(), 0);
  EXPECT_EQ(second.Close(), 0);
  EXPECT_FALSE(env.SegmentExists());
  EXPECT_EQ(ReadSpeedInNewProcess(), 0);
}

TEST(RemovedFilesTest, RemovingOnlyTheLockFileLosesNothing) {
  TestEnvironment env;
  env.WriteDefinitions("SPEED=L\n", "");
  Holder holder(env, 5);
  ASSERT_TRUE(holder.Ready());
  ASSERT_EQ(shm_unlink(("/" + env.segment() + ".lock").c_str()), 0);
  EXPECT_EQ(ReadSpeedInNewProcess(), 5);
  EXPECT_EQ(holder.ReadAgain(), 5);
  EXPECT_EQ(holder.Close(), 0);
  EXPECT_FALSE(env.SegmentExists());
  EXPECT_EQ(ReadSpeedInNewProcess(), 0);
}

}  // namespace
}  // namespace kelto::testing
