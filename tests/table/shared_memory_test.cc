// The process's segment object: size rules and what two objects of one name
// share. Two objects in one process are two holders, as two processes are.
#include "table/shared_memory.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <memory>
#include <string>

#include "support/test_environment.h"
#include "table/var_item.h"

namespace kelto {
namespace {

class SharedMemoryTest : public ::testing::Test {
 protected:
  testing::TestEnvironment env_;
  const char* name() const { return env_.segment().c_str(); }
};

TEST_F(SharedMemoryTest, SizeZeroGivesErrorTwoAndNoView) {
  SharedMemory segment(0, name());
  EXPECT_EQ(segment.GetError(), 2);
  EXPECT_EQ(segment.GetPointer(), nullptr);
  EXPECT_EQ(segment.GetSize(), 0u);
  EXPECT_EQ(segment.ItemCount(), 0u);
  EXPECT_FALSE(env_.SegmentExists());
}

TEST_F(SharedMemoryTest, NewSegmentReadsAsZeros) {
  SharedMemory segment(3 * kItemSize, name());
  ASSERT_EQ(segment.GetError(), 0);
  EXPECT_EQ(segment.GetSize(), 3 * kItemSize);
  EXPECT_EQ(segment.ItemCount(), 3u);
  const char* view = segment.GetPointer();
  for (uint32_t i = 0; i < 3 * kItemSize; ++i) ASSERT_EQ(view[i], 0) << "byte " << i;
}

TEST_F(SharedMemoryTest, TwoObjectsOfOneNameShareTheBytes) {
  SharedMemory first(2 * kItemSize, name());
  SharedMemory second(2 * kItemSize, name());
  ASSERT_EQ(first.GetError(), 0);
  ASSERT_EQ(second.GetError(), 0);
  EXPECT_NE(first.GetPointer(), second.GetPointer());
  first.GetPointer()[kItemSize + 5] = 'x';
  EXPECT_EQ(second.GetPointer()[kItemSize + 5], 'x');
}

TEST_F(SharedMemoryTest, ContentLivesExactlyAsLongAsAHolder) {
  auto first = std::make_unique<SharedMemory>(kItemSize, name());
  first->GetPointer()[0] = 'a';
  {
    SharedMemory second(kItemSize, name());
    EXPECT_EQ(second.GetPointer()[0], 'a');
    first.reset();
    EXPECT_TRUE(env_.SegmentExists());
    second.GetPointer()[1] = 'b';
  }
  EXPECT_FALSE(env_.SegmentExists());
  SharedMemory fresh(kItemSize, name());
  ASSERT_EQ(fresh.GetError(), 0);
  EXPECT_EQ(fresh.GetPointer()[0], 0);
  EXPECT_EQ(fresh.GetPointer()[1], 0);
}

// Only the first GetSize() bytes are used; a larger segment is harmless.
TEST_F(SharedMemoryTest, LargerExistingSegmentIsUsedForOwnSize) {
  SharedMemory large(4 * kItemSize, name());
  SharedMemory small(kItemSize, name());
  ASSERT_EQ(small.GetError(), 0);
  EXPECT_EQ(small.GetSize(), kItemSize);
  EXPECT_EQ(small.ItemCount(), 1u);
}

TEST_F(SharedMemoryTest, SmallerExistingSegmentIsRefusedWithAReason) {
  SharedMemory small(kItemSize, name());
  SharedMemory large(2 * kItemSize, name());
  EXPECT_EQ(large.GetError(), 2);
  EXPECT_EQ(large.GetPointer(), nullptr);
  EXPECT_EQ(large.ItemCount(), 0u);
  char reason[256] = {};
  large.Describe(reason, sizeof reason);
  EXPECT_NE(std::strlen(reason), 0u);
  // The refused opener must not take the segment down with it.
  ASSERT_EQ(small.GetError(), 0);
  small.GetPointer()[0] = 'k';
  SharedMemory again(kItemSize, name());
  EXPECT_EQ(again.GetPointer()[0], 'k');
}

TEST_F(SharedMemoryTest, UnusableNamesGiveErrorTwo) {
  for (const char* bad : {"", "with/slash"}) {
    SharedMemory segment(kItemSize, bad);
    EXPECT_EQ(segment.GetError(), 2) << "name \"" << bad << "\"";
    EXPECT_EQ(segment.GetPointer(), nullptr);
  }
  const std::string too_long(300, 's');
  SharedMemory segment(kItemSize, too_long.c_str());
  EXPECT_EQ(segment.GetError(), 2);
}

// An observer (a tool that only looks) creates no file, holds byte 1 and
// never keeps a table alive: the last program's detach removes every file
// while the observer is still attached, and the liveness check sees it.
TEST_F(SharedMemoryTest, AnObserverCreatesNothingAndKeepsNothingAlive) {
  SegmentHold observer;
  EXPECT_EQ(AttachSegment(name(), 0, SegmentAttachMode::kAttachOnly, &observer).failure,
            SegmentFailure::kNotHeld);
  EXPECT_FALSE(env_.TableFilesExist()) << "not even the lock file";

  auto program = std::make_unique<SharedMemory>(2 * kItemSize, name());
  ASSERT_EQ(program->GetError(), 0);
  ASSERT_EQ(AttachSegment(name(), 0, SegmentAttachMode::kAttachOnly, &observer).failure,
            SegmentFailure::kNone);
  EXPECT_TRUE(observer.observer);
  EXPECT_EQ(observer.mapped_length, 2 * kItemSize);
  EXPECT_TRUE(SegmentStillLive(name(), observer));
  observer.view[kItemSize + 3] = 'o';
  EXPECT_EQ(program->GetPointer()[kItemSize + 3], 'o');

  program.reset();
  EXPECT_FALSE(env_.TableFilesExist()) << "the observer does not hold the table";
  EXPECT_FALSE(SegmentStillLive(name(), observer));
  DetachSegment(name(), &observer);
  EXPECT_FALSE(env_.TableFilesExist());
}

// A killed program's table is not live: an observer neither attaches to it
// nor removes it, and the next program replaces it with a fresh one.
TEST_F(SharedMemoryTest, AnObserverSeesAKilledProgramsTableAsDead) {
  testing::ProcessLatch attached, forever;
  testing::ChildProcess holder([&] {
    SharedMemory segment(kItemSize, name());
    segment.GetPointer()[0] = 'k';
    attached.Notify();
    forever.Wait(30000);
    return 0;
  });
  ASSERT_TRUE(attached.Wait());
  SegmentHold observer;
  ASSERT_EQ(AttachSegment(name(), 0, SegmentAttachMode::kAttachOnly, &observer).failure,
            SegmentFailure::kNone);
  EXPECT_EQ(observer.view[0], 'k');
  EXPECT_TRUE(SegmentStillLive(name(), observer));
  holder.Kill(SIGKILL);
  holder.Wait();
  EXPECT_FALSE(SegmentStillLive(name(), observer));
  DetachSegment(name(), &observer);
  EXPECT_EQ(AttachSegment(name(), 0, SegmentAttachMode::kAttachOnly, &observer).failure,
            SegmentFailure::kNotHeld);
  EXPECT_TRUE(env_.SegmentExists()) << "only a program replaces a stale table";

  SharedMemory fresh(kItemSize, name());
  ASSERT_EQ(fresh.GetError(), 0);
  EXPECT_EQ(fresh.GetPointer()[0], 0);
}

}  // namespace
}  // namespace kelto
