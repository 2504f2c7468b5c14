// Values of 1, 2, 4 and 8 bytes are stored and loaded whole: a reader in
// another process never sees half of a write.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kelto.h"
#include "lifetime_support.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

constexpr int kWrites = 3000000;
constexpr uint64_t kWide[2] = {0x5555555555555555ULL, 0xAAAAAAAAAAAAAAAAULL};
constexpr uint32_t kNarrow[2] = {0x0F0F0F0FU, 0xF0F0F0F0U};

struct Board {
  std::atomic<bool> writer_done{false};
  std::atomic<bool> reader_started{false};
  std::atomic<long> reads{0};
  std::atomic<long> mixed{0};
  std::atomic<long> seen_wide[2] = {};
  std::atomic<long> seen_narrow[2] = {};
};

TEST(TornValueTest, ReaderInAnotherProcessSeesOnlyWholeValues) {
  TestEnvironment env;
  env.WriteDefinitions("WIDE=D\nNARROW=L\n", "");
  SharedBoard<Board> board;
  ProcessLatch writer_open;

  ChildProcess writer([&] {
    KeltoOpen();
    const int wide = KeltoGetIdentVarName("IORSH_WIDE");
    const int narrow = KeltoGetIdentVarName("IORSH_NARROW");
    if (wide < 0 || narrow < 0) return 1;
    // Hold until the reader has attached, so both share one segment.
    writer_open.Notify();
    while (!board->reader_started.load()) PauseMicroseconds(100);
    for (int i = 0; i < kWrites; ++i) {
      KeltoWriteVar(wide, reinterpret_cast<const char*>(&kWide[i & 1]));
      KeltoWriteVar(narrow, reinterpret_cast<const char*>(&kNarrow[i & 1]));
    }
    board->writer_done.store(true);
    KeltoClose();
    return 0;
  });
  ASSERT_TRUE(writer_open.Wait());

  const int reader_status = RunInChild([&] {
    KeltoOpen();
    const int wide = KeltoGetIdentVarName("IORSH_WIDE");
    const int narrow = KeltoGetIdentVarName("IORSH_NARROW");
    if (wide < 0 || narrow < 0) return 1;
    board->reader_started.store(true);
    long reads = 0, mixed = 0;
    long seen_wide[2] = {}, seen_narrow[2] = {};
    while (!board->writer_done.load()) {
      uint64_t w = 0;
      uint32_t n = 0;
      KeltoReadVar(wide, reinterpret_cast<char*>(&w));
      KeltoReadVar(narrow, reinterpret_cast<char*>(&n));
      ++reads;
      if (w == kWide[0])
        ++seen_wide[0];
      else if (w == kWide[1])
        ++seen_wide[1];
      else if (w != 0)
        ++mixed;
      if (n == kNarrow[0])
        ++seen_narrow[0];
      else if (n == kNarrow[1])
        ++seen_narrow[1];
      else if (n != 0)
        ++mixed;
    }
    board->reads = reads;
    board->mixed = mixed;
    for (int i = 0; i < 2; ++i) {
      board->seen_wide[i] = seen_wide[i];
      board->seen_narrow[i] = seen_narrow[i];
    }
    KeltoClose();
    return 0;
  });
  EXPECT_EQ(reader_status, 0);
  EXPECT_EQ(writer.Wait(), 0);

  std::printf(
      "torn values: %d writes of each variable, %ld reads, %ld mixed; "
      "D patterns seen %ld/%ld, L patterns seen %ld/%ld\n",
      kWrites, board->reads.load(), board->mixed.load(), board->seen_wide[0].load(),
      board->seen_wide[1].load(), board->seen_narrow[0].load(), board->seen_narrow[1].load());
  EXPECT_EQ(board->mixed.load(), 0);
  // The check means something only if the reader met both patterns.
  EXPECT_GT(board->seen_wide[0].load() + board->seen_wide[1].load(), 0);
  EXPECT_GT(board->seen_narrow[0].load() + board->seen_narrow[1].load(), 0);
}

TEST(TornValueTest, EveryValueFieldIsEightByteAligned) {
  TestEnvironment env;
  env.WriteDefinitions("A=B\nB=M\nC=L\nD=D\nE=$\n", "F=H\nG=W\n");
  KeltoOpen();
  const auto* items = static_cast<const KeltoVarItem*>(KeltoGetPointer());
  ASSERT_NE(items, nullptr);
  ASSERT_EQ(KeltoGetNumberOfItems(), 7u);
  for (uint32_t i = 0; i < KeltoGetNumberOfItems(); ++i) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(items[i].value) % 8, 0u) << "item " << i;
  }
  KeltoClose();
}

}  // namespace
}  // namespace kelto::testing
