// Change marks end to end, with real processes: every write of libkelto
// wakes a waiter with the right ident, killed writers and waiters harm
// nobody else, and a waiting observer follows the table as it dies and
// comes back without ever keeping it alive.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kelto.h"
#include "kelto_live.h"
#include "keltoctl/live_table_holder.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

constexpr int kLongMs = 10000;

int64_t NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

kelto_live* Attach() {
  kelto_live* live = nullptr;
  EXPECT_EQ(kelto_live_attach(nullptr, &live), KELTO_LIVE_OK);
  return live;
}

// Waits until `wanted` idents have been reported (in order of first change)
// or the time is up; false on any other result or a resync.
bool CollectChanges(kelto_live* live, uint64_t* cursor, const uint32_t* filter,
                    uint32_t filter_count, size_t wanted, std::vector<uint32_t>* seen) {
  const int64_t deadline = NowMs() + kLongMs;
  while (seen->size() < wanted && NowMs() < deadline) {
    uint32_t changed[64];
    uint32_t count = 0;
    int resync = 0;
    const kelto_live_result result =
        kelto_live_wait(live, cursor, filter, filter_count, 500, changed, 64, &count, &resync);
    if (result == KELTO_LIVE_TIMEOUT) continue;
    if (result != KELTO_LIVE_OK || resync != 0) return false;
    seen->insert(seen->end(), changed, changed + count);
  }
  return seen->size() == wanted;
}

class LiveMarksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_.WriteDefinitions("A=L\nB=L\nC=L\nD=D\nE=$\nF=B\nG=L\nH=L\n", "I=L\nJ=L\n");
  }
  TestEnvironment environment_;
};

TEST_F(LiveMarksTest, EveryFamilyOfLibraryWritesWakesAWaiterWithItsIdent) {
  LiveTableHolder holder([] {});
  ASSERT_TRUE(holder.ready());
  kelto_live* live = Attach();
  uint64_t cursor = kelto_live_cursor(live);
  ChildProcess program([] {
    KeltoOpen();
    const int32_t one = 1;
    const char* text = "text";
    const bool written =
        KeltoWriteVar(0, reinterpret_cast<const char*>(&one)) == 0 &&
        KeltoWriteVarName("IORSH_B", reinterpret_cast<const char*>(&one)) == 0 &&
        KeltoWriteInt32("IORSH_C", 3) == 0 && KeltoWriteDouble("IORSH_D", 4.5) == 0 &&
        KeltoWriteString("IORSH_E", text) == 0 && KeltoWriteByte("IORSH_F", 6) == 0 &&
        IORShWriteVar(6, reinterpret_cast<const char*>(&one)) == 0 &&
        IORShWriteVarName("H", reinterpret_cast<const char*>(&one)) == 0 &&
        MemShWriteVar(8, reinterpret_cast<const char*>(&one)) == 0 &&
        MemShWriteVarName("J", reinterpret_cast<const char*>(&one)) == 0;
    KeltoClose();
    return written ? 0 : 1;
  });
  ASSERT_EQ(program.Wait(), 0);
  std::vector<uint32_t> seen;
  EXPECT_TRUE(CollectChanges(live, &cursor, nullptr, 0, 10, &seen));
  EXPECT_EQ(seen, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  // Woken after the store: the values are there.
  double d = 0;
  int64_t f = 0;
  EXPECT_EQ(kelto_live_get_double(live, 3, &d), KELTO_LIVE_OK);
  EXPECT_EQ(kelto_live_get_int(live, 5, &f), KELTO_LIVE_OK);
  EXPECT_EQ(d, 4.5);
  EXPECT_EQ(f, 6);
  kelto_live_detach(live);
  EXPECT_EQ(holder.Close(), 0);
  EXPECT_FALSE(environment_.TableFilesExist());
}

TEST_F(LiveMarksTest, KilledWriterAndKilledWaiterLeaveTheOthersWorking) {
  LiveTableHolder holder([] {});
  ASSERT_TRUE(holder.ready());
  // A waiter that is killed while it sleeps in the kernel.
  ProcessLatch sleeping;
  ChildProcess doomed_waiter([&sleeping] {
    kelto_live* live = Attach();
    uint64_t cursor = kelto_live_cursor(live);
    const uint32_t nobody_writes = 9;
    sleeping.Notify();
    uint32_t count = 0;
    int resync = 0;
    kelto_live_wait(live, &cursor, &nobody_writes, 1, KELTO_LIVE_FOREVER, nullptr, 0, &count,
                    &resync);
    return 3;
  });
  ASSERT_TRUE(sleeping.Wait());
  // A writer killed while it writes and marks as fast as it can.
  ProcessLatch writing;
  ChildProcess doomed_writer([&writing] {
    KeltoOpen();
    writing.Notify();
    for (int32_t i = 0;; ++i) KeltoWriteVar(0, reinterpret_cast<const char*>(&i));
    return 0;
  });
  ASSERT_TRUE(writing.Wait());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  doomed_waiter.Kill(SIGKILL);
  doomed_writer.Kill(SIGKILL);
  doomed_waiter.Wait();
  doomed_writer.Wait();

  // A new waiter still sleeps and is still woken by the next write.
  ProcessLatch ready;
  ChildProcess waiter([&ready] {
    kelto_live* live = Attach();
    uint64_t cursor = kelto_live_cursor(live);
    const uint32_t watched = 1;
    ready.Notify();
    std::vector<uint32_t> seen;
    const bool woken = CollectChanges(live, &cursor, &watched, 1, 1, &seen);
    kelto_live_detach(live);
    return woken && seen == std::vector<uint32_t>{1} ? 0 : 1;
  });
  ASSERT_TRUE(ready.Wait());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ChildProcess program([] {
    KeltoOpen();
    const int32_t value = 42;
    const int32_t result = KeltoWriteVarName("IORSH_B", reinterpret_cast<const char*>(&value));
    KeltoClose();
    return result == 0 ? 0 : 1;
  });
  EXPECT_EQ(program.Wait(), 0);
  EXPECT_EQ(waiter.Wait(), 0);
  EXPECT_EQ(holder.Close(), 0);
  EXPECT_FALSE(environment_.TableFilesExist());
}

enum class Ending { kClose, kExit, kKill };

// A program that holds the table with a value in it until told to end.
class Program {
 public:
  explicit Program(Ending ending) {
    child_ = std::make_unique<ChildProcess>([this, ending] {
      KeltoOpen();
      KeltoWriteInt32("IORSH_A", 77);
      opened_.Notify();
      if (!end_.Wait(60000)) return 1;
      if (ending == Ending::kClose) KeltoClose();
      std::exit(0);  // exit handlers give up a hold that Close did not
    });
    EXPECT_TRUE(opened_.Wait());
  }
  void End(Ending ending) {
    if (ending == Ending::kKill) {
      child_->Kill(SIGKILL);
    } else {
      end_.Notify();
    }
    child_->Wait();
  }

 private:
  ProcessLatch opened_;
  ProcessLatch end_;
  std::unique_ptr<ChildProcess> child_;
};

class TableEndingTest : public LiveMarksTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(TableEndingTest, AWaitingObserverSeesTheTableGoAndFollowsTheNextOne) {
  const Ending ending = GetParam();
  auto program = std::make_unique<Program>(ending);
  kelto_live* live = Attach();
  uint64_t cursor = kelto_live_cursor(live);
  std::atomic<int64_t> returned_at{0};
  std::atomic<kelto_live_result> result{KELTO_LIVE_OK};
  std::thread waiting([&] {
    uint32_t count = 0;
    int resync = 0;
    result =
        kelto_live_wait(live, &cursor, nullptr, 0, KELTO_LIVE_FOREVER, nullptr, 0, &count, &resync);
    returned_at = NowMs();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int64_t ended_at = NowMs();
  // The observer keeps nothing alive: the program's end is the table's.
  program->End(ending);
  waiting.join();
  EXPECT_EQ(result.load(), KELTO_LIVE_NO_TABLE);
  EXPECT_LT(returned_at - ended_at, 1000);
  EXPECT_EQ(kelto_live_check(live), KELTO_LIVE_NO_TABLE);
  // The next Open starts from zeros, and leaves nothing when it closes.
  EXPECT_EQ(ValueFieldSeenByLibrary("IORSH_A"), std::string(KELTO_VALUE_SIZE, '\0'));
  EXPECT_FALSE(environment_.TableFilesExist());

  // A new table: the same observer picks it up and is woken by its writes.
  program = std::make_unique<Program>(Ending::kClose);
  ASSERT_EQ(kelto_live_reattach(live, 5000), KELTO_LIVE_OK);
  cursor = kelto_live_cursor(live);
  ChildProcess writer([] {
    KeltoOpen();
    const int32_t written = KeltoWriteInt32("IORSH_C", 5);
    KeltoClose();
    return written == 0 ? 0 : 1;
  });
  EXPECT_EQ(writer.Wait(), 0);
  std::vector<uint32_t> seen;
  EXPECT_TRUE(CollectChanges(live, &cursor, nullptr, 0, 1, &seen));
  EXPECT_EQ(seen, std::vector<uint32_t>{2});
  kelto_live_detach(live);
  program->End(Ending::kClose);
  EXPECT_FALSE(environment_.TableFilesExist());
}

INSTANTIATE_TEST_SUITE_P(Endings, TableEndingTest,
                         ::testing::Values(Ending::kClose, Ending::kExit, Ending::kKill),
                         [](const ::testing::TestParamInfo<Ending>& ending) {
                           switch (ending.param) {
                             case Ending::kClose: return "Close";
                             case Ending::kExit: return "Exit";
                             case Ending::kKill: return "Kill";
                           }
                           return "Unknown";
                         });

}  // namespace
}  // namespace kelto::testing
