// Every byte range of the change log overwritten with random data while a
// writing process (threads with lanes and beyond them) and waiting processes
// run: nobody crashes, no wait lasts past its timeout plus a second, and no
// wait times out while the change it waits for keeps being made (a silent
// miss), however the damage looks. Fresh programs that join after the
// damage share the log with the writer instead of splitting from it.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "changes/change_log.h"
#include "support/test_environment.h"
#include "table/unix/change_log_object.h"

namespace kelto {
namespace {

using testing::ChildProcess;
using testing::ProcessLatch;

constexpr uint32_t kLaneIdent = 1;      // marked by a thread that holds a lane
constexpr uint32_t kLanelessIdent = 2;  // by one started after every lane was taken
constexpr int kTimeoutMs = 300;
constexpr auto kLongestWait = std::chrono::milliseconds(kTimeoutMs + 1000);

// Shared by the processes of the test, in an anonymous shared mapping.
struct Board {
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> marks[3] = {};  // per ident: marks completed
  std::atomic<uint64_t> waits{0};
  std::atomic<uint64_t> silent_misses{0};
  std::atomic<uint64_t> long_waits{0};
};

bool OnlyOne(const void* context, uint32_t ident) {
  return ident == *static_cast<const uint32_t*>(context);
}

// One wait for `ident`. A timeout while the writer completed two marks of
// it (the second begun after the wait began) missed a change silently.
void WaitOnce(void* log, uint64_t* cursor, uint32_t ident, Board* board) {
  std::vector<uint32_t> idents;
  bool resync = false;
  const uint64_t before = board->marks[ident].load();
  const auto start = std::chrono::steady_clock::now();
  const WaitOutcome outcome =
      WaitForChanges(log, cursor, kTimeoutMs, ChangeFilter{&OnlyOne, &ident}, &idents, &resync);
  if (std::chrono::steady_clock::now() - start > kLongestWait) ++board->long_waits;
  if (outcome == WaitOutcome::kTimedOut && board->marks[ident].load() - before >= 2) {
    ++board->silent_misses;
  }
  ++board->waits;
}

// Marks every millisecond until told to stop: a thread that takes a lane
// first, kLaneCount more that take the rest, and one that finds none.
int Writer(const std::string& object, Board* board, ProcessLatch* ready) {
  const ChangeLogMapping mapping = MapChangeLog(object.c_str(), ChangeLogUse::kOpenOrCreate);
  if (mapping.log == nullptr) return 10;
  auto mark_until_stopped = [&](uint32_t ident, bool counted) {
    while (!board->stop.load()) {
      MarkChange(mapping.log, ident);
      if (counted) ++board->marks[ident];
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  MarkChange(mapping.log, kLaneIdent);  // lane 0 is this thread's
  std::vector<std::thread> threads;
  std::atomic<uint32_t> holding{0};
  for (uint32_t t = 0; t < kLaneCount; ++t) {
    threads.emplace_back([&, t] {
      MarkChange(mapping.log, 100 + t);
      ++holding;
      mark_until_stopped(100 + t, false);
    });
  }
  while (holding.load() < kLaneCount) std::this_thread::yield();
  threads.emplace_back([&] { mark_until_stopped(kLanelessIdent, true); });
  ready->Notify();
  mark_until_stopped(kLaneIdent, true);
  for (auto& thread : threads) thread.join();
  return 0;
}

// A program that joins after the damage: maps the log as a joining program
// does and waits for both idents.
int FreshWaiter(const std::string& object, Board* board) {
  alarm(30);  // a hang fails the test as a crash would
  const ChangeLogMapping mapping = MapChangeLog(object.c_str(), ChangeLogUse::kOpenOrCreate);
  if (mapping.log == nullptr) return 10;
  uint64_t cursor = CurrentChangeCursor(mapping.log);
  WaitOnce(mapping.log, &cursor, kLaneIdent, board);
  WaitOnce(mapping.log, &cursor, kLanelessIdent, board);
  return 0;
}

// The damage of each round: the header eight bytes at a time, each lane's
// head, then random ranges anywhere, some of them large.
struct Damage {
  size_t offset;
  size_t length;
};
std::vector<Damage> Rounds(std::mt19937_64& random) {
  std::vector<Damage> rounds;
  for (size_t offset = 0; offset < sizeof(ChangeLogHeader); offset += 8) {
    rounds.push_back({offset, 8 + random() % 32});
  }
  for (uint32_t lane = 0; lane < kLaneCount; ++lane) {
    rounds.push_back({sizeof(ChangeLogHeader) + lane * sizeof(LaneHead), 8 + random() % 56});
  }
  for (int range = 0; range < 48; ++range) {
    const size_t length = 1 + random() % (range % 4 == 0 ? 65536 : 64);
    rounds.push_back({random() % (ChangeLogBytes() - length), length});
  }
  return rounds;
}

TEST(OverwrittenLogTest, RandomBytesAnywhereNeitherCrashHangNorHideAChange) {
  testing::TestEnvironment environment;
  const std::string object = "/" + environment.segment() + ".changes";
  const ChangeLogMapping mapping = MapChangeLog(object.c_str(), ChangeLogUse::kCreateFresh);
  ASSERT_NE(mapping.log, nullptr);
  void* shared =
      mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  Board* board = new (shared) Board();

  ProcessLatch ready;
  ChildProcess writer([&] { return Writer(object, board, &ready); });
  ASSERT_TRUE(ready.Wait());
  ChildProcess waiter([&] {
    const ChangeLogMapping mine = MapChangeLog(object.c_str(), ChangeLogUse::kOpenOnly);
    if (mine.log == nullptr) return 10;
    uint64_t cursor = CurrentChangeCursor(mine.log);
    for (uint32_t wait = 0; !board->stop.load(); ++wait) {
      WaitOnce(mine.log, &cursor, wait % 2 == 0 ? kLaneIdent : kLanelessIdent, board);
    }
    return 0;
  });

  std::mt19937_64 random(21);
  std::vector<Damage> rounds = Rounds(random);
  // A live thread's id in the lock word, which nobody will ever let go.
  rounds.push_back({offsetof(ChangeLogHeader, drain_lock), 0});
  int crashed = 0;
  for (const Damage& damage : rounds) {
    char* at = mapping.log + damage.offset;
    if (damage.length == 0) {
      __atomic_store_n(reinterpret_cast<uint32_t*>(at), static_cast<uint32_t>(getpid()),
                       __ATOMIC_SEQ_CST);
    }
    for (size_t i = 0; i < damage.length; ++i) {
      __atomic_store_n(at + i, static_cast<char>(random()), __ATOMIC_RELAXED);
    }
    ChildProcess fresh([&] { return FreshWaiter(object, board); });
    const int status = fresh.Wait();
    if (status != 0) {
      ADD_FAILURE() << "a fresh waiter ended with " << status << " after " << damage.length
                    << " bytes at " << damage.offset;
      ++crashed;
    }
    if (damage.length == 0) __atomic_store_n(reinterpret_cast<uint32_t*>(at), 0u, __ATOMIC_SEQ_CST);
  }
  board->stop = true;
  EXPECT_EQ(writer.Wait(), 0);
  EXPECT_EQ(waiter.Wait(), 0);
  EXPECT_EQ(crashed, 0);
  EXPECT_EQ(board->silent_misses.load(), 0u);
  EXPECT_EQ(board->long_waits.load(), 0u);
  EXPECT_GE(board->waits.load(), 2 * rounds.size());
  EXPECT_GT(board->marks[kLaneIdent].load(), 0u);
  EXPECT_GT(board->marks[kLanelessIdent].load(), 0u);

  UnmapChangeLog(mapping);
  close(mapping.fd);
  shm_unlink(object.c_str());
  munmap(shared, sizeof(Board));
}

}  // namespace
}  // namespace kelto
