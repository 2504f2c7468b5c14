// Many processes open, write, read and close the table over and over while
// a driver SIGKILLs them at random moments, inside Open and Close too, and
// starts new ones in their place. The lifetime protocol must come out whole:
// one segment under the name, live values intact, zeros after the last
// holder, and no gate left shut.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kelto.h"
#include "lifetime_support.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

constexpr int kWorkers = 8;
constexpr int kKills = 300;
constexpr int kMaxRoundsPerWorker = 20000;
// A safety net for a slow machine, not a speed goal: the driver stops
// killing when it runs out, whatever the count.
constexpr auto kChaosBudget = std::chrono::seconds(8);

enum Step : int { kIdle, kOpening, kOpen, kClosing, kFinalHold, kFinished };

// Each worker's value: its slot in the high half, a round number below, so
// a reader can tell a value of the right owner from garbage.
uint64_t Token(int worker, uint32_t round) {
  return (static_cast<uint64_t>(worker + 1) << 32) | round;
}

struct Board {
  std::atomic<int> step[kWorkers] = {};
  std::atomic<long> rounds[kWorkers] = {};
  std::atomic<long> total_rounds{0};
  std::atomic<long> bad_reads{0};
  std::atomic<bool> calm{false};  // no more kills: finish and hold
  std::atomic<int> holding{0};    // workers in their final hold
  std::atomic<bool> release[kWorkers] = {};
  std::atomic<int> verified{0};
  std::atomic<int> failures{0};
};

std::string VarName(int worker) { return "IORSH_W" + std::to_string(worker); }

int RunWorker(Board* board, int me, const std::string& segment) {
  const std::string mine = VarName(me);
  for (uint32_t round = 1; round <= kMaxRoundsPerWorker && !board->calm.load(); ++round) {
    board->step[me] = kOpening;
    KeltoOpen();
    board->step[me] = kOpen;
    if (KeltoGetPointer() == nullptr) {
      ++board->failures;
    } else {
      const uint64_t token = Token(me, round);
      KeltoWriteVarName(mine.c_str(), reinterpret_cast<const char*>(&token));
      for (int other = 0; other < kWorkers; ++other) {
        uint64_t value = 0;
        if (KeltoReadVarName(VarName(other).c_str(), reinterpret_cast<char*>(&value)) != 0 ||
            (value != 0 && (value >> 32) != static_cast<uint64_t>(other + 1))) {
          ++board->bad_reads;
        }
      }
    }
    board->step[me] = kClosing;
    KeltoClose();
    board->step[me] = kIdle;
    ++board->rounds[me];
    ++board->total_rounds;
  }

  // Calm: hold the table, write a final value and, once every worker holds,
  // read everyone's final value and check the mapping is the one at the path.
  KeltoOpen();
  if (KeltoGetPointer() == nullptr) return 10;
  const uint64_t final_token = Token(me, 0xFFFFFFFFu);
  KeltoWriteVarName(mine.c_str(), reinterpret_cast<const char*>(&final_token));
  board->step[me] = kFinalHold;
  ++board->holding;
  // Bounded, so a worker that never arrives fails the test instead of hanging it.
  for (int waited = 0; board->holding.load() < kWorkers; ++waited) {
    if (waited == 100000) return 13;
    PauseMicroseconds(200);
  }
  int status = 0;
  for (int other = 0; other < kWorkers; ++other) {
    uint64_t value = 0;
    KeltoReadVarName(VarName(other).c_str(), reinterpret_cast<char*>(&value));
    if (value != Token(other, 0xFFFFFFFFu)) status = 11;
  }
  bool deleted = true;
  const ino_t mapped = MappedSegmentInode(segment, &deleted);
  if (mapped == 0 || deleted || mapped != SegmentInode(segment)) status = 12;
  ++board->verified;
  while (!board->release[me].load()) PauseMicroseconds(200);
  KeltoClose();
  board->step[me] = kFinished;
  return status;
}

TEST(StressTest, KilledProcessesNeverBreakTheSegmentLifetime) {
  TestEnvironment env;
  env.WriteDefinitions(NumberedDefinitions(kWorkers, 'D'), "EXTRA=L\n");
  SharedBoard<Board> board;
  const std::string segment = env.segment();

  std::unique_ptr<ChildProcess> workers[kWorkers];
  const auto spawn = [&](int slot) {
    board->step[slot] = kIdle;
    workers[slot] = std::make_unique<ChildProcess>(
        [&board, slot, &segment] { return RunWorker(&*board, slot, segment); });
  };
  for (int slot = 0; slot < kWorkers; ++slot) spawn(slot);

  std::mt19937 random(12345);
  int kills = 0, kills_in_open = 0, kills_in_close = 0, spawned = kWorkers;
  const auto deadline = std::chrono::steady_clock::now() + kChaosBudget;
  while (kills < kKills && std::chrono::steady_clock::now() < deadline) {
    PauseMicroseconds(static_cast<long>(random() % 3000));
    const int slot = static_cast<int>(random() % kWorkers);
    // A third of the kills aim at Open, a third at Close, the rest anywhere.
    const int aim = static_cast<int>(random() % 3);
    int step = board->step[slot].load();
    for (int tries = 0; aim != 2 && tries < 20000; ++tries) {
      step = board->step[slot].load();
      if ((aim == 0 && step == kOpening) || (aim == 1 && step == kClosing)) break;
      PauseMicroseconds(5);
    }
    workers[slot]->Kill(SIGKILL);
    const int status = workers[slot]->Wait();
    if (status != 128 + SIGKILL) {
      ADD_FAILURE() << "worker " << slot << " ended with " << status << " before the kill";
    }
    ++kills;
    kills_in_open += step == kOpening ? 1 : 0;
    kills_in_close += step == kClosing ? 1 : 0;
    spawn(slot);
    ++spawned;
  }

  board->calm = true;
  // Wait for every worker to check the others' final values, then let go.
  for (int waited = 0; board->verified.load() < kWorkers && waited < 20000; ++waited) {
    PauseMicroseconds(1000);
  }
  EXPECT_EQ(board->verified.load(), kWorkers) << "workers did not all reach their final hold";

  // While they hold: exactly one segment, and a newcomer meets their values.
  EXPECT_TRUE(env.SegmentExists());
  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              int status = KeltoGetPointer() != nullptr ? 0 : 1;
              for (int other = 0; other < kWorkers; ++other) {
                uint64_t value = 0;
                KeltoReadVarName(VarName(other).c_str(), reinterpret_cast<char*>(&value));
                if (value != Token(other, 0xFFFFFFFFu)) status = 2;
              }
              KeltoClose();
              return status;
            }),
            0);

  // Half of them close; the other half, the last holders, are killed.
  for (int slot = 0; slot < kWorkers; slot += 2) {
    board->release[slot] = true;
    EXPECT_EQ(workers[slot]->Wait(), 0) << "worker " << slot;
  }
  EXPECT_TRUE(env.SegmentExists());
  for (int slot = 1; slot < kWorkers; slot += 2) {
    workers[slot]->Kill(SIGKILL);
    EXPECT_EQ(workers[slot]->Wait(), 128 + SIGKILL) << "worker " << slot;
    ++kills;
  }

  std::printf(
      "stress: %d processes, %d spawned in all, %ld rounds, %d kills "
      "(%d inside Open, %d inside Close), %ld failed Opens, %ld bad reads\n",
      kWorkers, spawned, board->total_rounds.load(), kills, kills_in_open, kills_in_close,
      static_cast<long>(board->failures.load()), board->bad_reads.load());
  EXPECT_EQ(board->bad_reads.load(), 0);
  EXPECT_EQ(board->failures.load(), 0);
  EXPECT_GT(kills, 0);

  // Every holder is gone, the last ones killed: the next opener gets zeros
  // at once (no gate left shut), and leaves nothing behind.
  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              if (KeltoGetPointer() == nullptr) return 1;
              for (uint32_t i = 0; i < KeltoGetNumberOfItems(); ++i) {
                uint64_t value = 1;
                KeltoReadVar(static_cast<int32_t>(i), reinterpret_cast<char*>(&value));
                if (value != 0) return 2;
              }
              KeltoClose();
              return 0;
            }),
            0);
  EXPECT_FALSE(env.SegmentExists());
}

}  // namespace
}  // namespace kelto::testing
