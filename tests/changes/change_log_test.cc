// Marks and waits across real processes on one shared mapping.
#include "changes/change_log.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <chrono>
#include <memory>
#include <vector>

#include "support/test_environment.h"

namespace kelto {
namespace {

using testing::ChildProcess;
using testing::ProcessLatch;

constexpr int kLongMs = 10000;

class ChangeLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mapped_ =
        mmap(nullptr, ChangeLogBytes(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped_, MAP_FAILED);
    ASSERT_FALSE(IsChangeLog(mapped_, ChangeLogBytes()));
    InitChangeLog(mapped_);
  }
  void TearDown() override { munmap(mapped_, ChangeLogBytes()); }

  WaitOutcome Wait(uint64_t* cursor, int timeout_ms,
                   const std::function<bool(uint32_t)>& filter = {}) {
    return WaitForChanges(mapped_, cursor, timeout_ms, filter, &idents_, &resync_);
  }
  // A wake-up, not a timeout: a waiter that was never woken still finds the
  // change when its timeout ends, so only the time tells the two apart.
  bool Woken(uint64_t* cursor, const std::function<bool(uint32_t)>& filter) {
    const auto start = std::chrono::steady_clock::now();
    const WaitOutcome outcome = Wait(cursor, kLongMs, filter);
    return outcome == WaitOutcome::kChanged &&
           std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kLongMs / 2);
  }
  static std::function<bool(uint32_t)> Only(uint32_t wanted) {
    return [wanted](uint32_t ident) { return ident == wanted; };
  }

  void* mapped_ = nullptr;
  std::vector<uint32_t> idents_;
  bool resync_ = false;
};

TEST_F(ChangeLogTest, HeaderChecksAndDeduplicatedOrderedBatches) {
  EXPECT_TRUE(IsChangeLog(mapped_, ChangeLogBytes()));
  EXPECT_FALSE(IsChangeLog(mapped_, ChangeLogBytes() - 1));
  EXPECT_FALSE(IsChangeLog(nullptr, ChangeLogBytes()));
  EXPECT_EQ(ChangeLogBytes() % 4096, 0u);
  MarkChange(nullptr, 1);  // a table without a log marks nothing
  EXPECT_EQ(CurrentChangeCursor(nullptr), 0u);

  uint64_t cursor = CurrentChangeCursor(mapped_);
  for (const uint32_t ident : {4u, 2u, 4u, 9u, 2u}) MarkChange(mapped_, ident);
  ASSERT_EQ(Wait(&cursor, 0), WaitOutcome::kChanged);
  EXPECT_EQ(idents_, (std::vector<uint32_t>{4, 2, 9}));
  EXPECT_FALSE(resync_);
  EXPECT_EQ(cursor, CurrentChangeCursor(mapped_));
  EXPECT_EQ(Wait(&cursor, 0), WaitOutcome::kTimedOut);
}

TEST_F(ChangeLogTest, TimeoutsAndFilteredChangesMoveTheCursorWithoutReturning) {
  uint64_t cursor = CurrentChangeCursor(mapped_);
  EXPECT_EQ(Wait(&cursor, 30), WaitOutcome::kTimedOut);
  EXPECT_EQ(cursor, CurrentChangeCursor(mapped_));
  MarkChange(mapped_, 5);
  EXPECT_EQ(Wait(&cursor, 30, Only(6)), WaitOutcome::kTimedOut);
  EXPECT_TRUE(idents_.empty());
  EXPECT_EQ(cursor, CurrentChangeCursor(mapped_));
  MarkChange(mapped_, 5);
  MarkChange(mapped_, 6);
  ASSERT_EQ(Wait(&cursor, 30, Only(6)), WaitOutcome::kChanged);
  EXPECT_EQ(idents_, std::vector<uint32_t>{6});
}

TEST_F(ChangeLogTest, FallingMoreThanARingBehindAsksForAResync) {
  uint64_t cursor = CurrentChangeCursor(mapped_);
  for (uint32_t i = 0; i < kChangeLogCapacity + 10; ++i) MarkChange(mapped_, i % 7);
  ASSERT_EQ(Wait(&cursor, 0), WaitOutcome::kChanged);
  EXPECT_TRUE(resync_);
  EXPECT_EQ(cursor, CurrentChangeCursor(mapped_));
  // A cursor from elsewhere (another table) is also past help.
  uint64_t foreign = cursor + 5;
  ASSERT_EQ(Wait(&foreign, 0), WaitOutcome::kChanged);
  EXPECT_TRUE(resync_);
  EXPECT_EQ(foreign, cursor);
  // After a resync the ring is followed exactly again.
  MarkChange(mapped_, 3);
  ASSERT_EQ(Wait(&cursor, 0), WaitOutcome::kChanged);
  EXPECT_FALSE(resync_);
  EXPECT_EQ(idents_, std::vector<uint32_t>{3});
}

TEST_F(ChangeLogTest, AWriterKilledBetweenReservingAndStampingCostsAResyncNotAHang) {
  uint64_t cursor = CurrentChangeCursor(mapped_);
  auto* header = static_cast<ChangeLogHeader*>(mapped_);
  ChildProcess dying([header] {
    __atomic_fetch_add(&header->head, 1, __ATOMIC_SEQ_CST);  // reserved, never stamped
    for (;;) pause();
    return 0;
  });
  while (CurrentChangeCursor(mapped_) == cursor) sched_yield();
  dying.Kill(SIGKILL);
  EXPECT_EQ(dying.Wait(), 128 + SIGKILL);
  MarkChange(mapped_, 8);
  ASSERT_EQ(Wait(&cursor, kLongMs), WaitOutcome::kChanged);
  EXPECT_TRUE(resync_);
  EXPECT_EQ(idents_, std::vector<uint32_t>{8});
  EXPECT_EQ(Wait(&cursor, 0), WaitOutcome::kTimedOut);  // the hole is behind us
}

TEST_F(ChangeLogTest, EightWaitersInOtherProcessesWakeForTheirIdentOnly) {
  constexpr int kWaiters = 8;
  std::vector<std::unique_ptr<ProcessLatch>> ready;
  std::vector<std::unique_ptr<ChildProcess>> waiters;
  for (int i = 0; i < kWaiters; ++i) ready.push_back(std::make_unique<ProcessLatch>());
  for (int i = 0; i < kWaiters; ++i) {
    ProcessLatch* latch = ready[static_cast<size_t>(i)].get();
    waiters.push_back(std::make_unique<ChildProcess>([this, latch] {
      uint64_t cursor = CurrentChangeCursor(mapped_);
      latch->Notify();
      if (!Woken(&cursor, Only(7))) return 1;
      return idents_ == std::vector<uint32_t>{7} && !resync_ ? 0 : 2;
    }));
  }
  for (auto& latch : ready) ASSERT_TRUE(latch->Wait());
  // A waiter killed in its sleep leaves its flag behind; nobody minds.
  ChildProcess killed([this] {
    uint64_t cursor = CurrentChangeCursor(mapped_);
    Wait(&cursor, kLongMs, Only(7));
    return 0;
  });
  usleep(50'000);  // most of them asleep in the futex by now
  killed.Kill(SIGKILL);
  killed.Wait();
  MarkChange(mapped_, 3);
  MarkChange(mapped_, 7);
  for (auto& waiter : waiters) EXPECT_EQ(waiter->Wait(), 0);
}

TEST_F(ChangeLogTest, PingPongBetweenTwoProcessesNeverLosesAWakeUp) {
  constexpr int kRounds = 2000;
  // Each side marks its ident and sleeps until the other side's: a single
  // lost wake-up stalls the game until the (long) timeout and fails it.
  auto player = [this](uint32_t mine, uint32_t theirs, bool serve) {
    uint64_t cursor = 0;
    for (int round = 0; round < kRounds; ++round) {
      if (serve) MarkChange(mapped_, mine);
      if (!Woken(&cursor, Only(theirs))) return 1;
      if (!serve) MarkChange(mapped_, mine);
    }
    return 0;
  };
  ChildProcess pong([&] { return player(2, 1, false); });
  ChildProcess ping([&] { return player(1, 2, true); });
  EXPECT_EQ(ping.Wait(), 0);
  EXPECT_EQ(pong.Wait(), 0);
}

}  // namespace
}  // namespace kelto
