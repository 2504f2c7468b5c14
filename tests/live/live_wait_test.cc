// Observers in other processes wait for, see and make changes of a table
// that a program holds.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kelto.h"
#include "kelto_live.h"
#include "keltoctl/keltoctl_runner.h"
#include "keltoctl/live_table_holder.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

constexpr int kLongMs = 10000;

class LiveWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_.WriteDefinitions("SPEED=L\nGEAR=B\nSTATE=$\n", "");
    holder_ = std::make_unique<LiveTableHolder>([] {});
    ASSERT_TRUE(holder_->ready());
  }

  static kelto_live* Attach() {
    kelto_live* live = nullptr;
    EXPECT_EQ(kelto_live_attach(nullptr, &live), KELTO_LIVE_OK);
    return live;
  }
  static uint32_t Ident(kelto_live* live, const char* name) {
    uint32_t ident = UINT32_MAX;
    EXPECT_EQ(kelto_live_find(live, name, &ident), KELTO_LIVE_OK) << name;
    return ident;
  }

  TestEnvironment environment_;
  std::unique_ptr<LiveTableHolder> holder_;
};

TEST_F(LiveWaitTest, EightObserverProcessesWakeForAWriteAndSeeItsValue) {
  constexpr int kWaiters = 8;
  std::vector<std::unique_ptr<ProcessLatch>> ready;
  std::vector<std::unique_ptr<ChildProcess>> waiters;
  for (int i = 0; i < kWaiters; ++i) ready.push_back(std::make_unique<ProcessLatch>());
  for (int i = 0; i < kWaiters; ++i) {
    ProcessLatch* latch = ready[static_cast<size_t>(i)].get();
    waiters.push_back(std::make_unique<ChildProcess>([latch] {
      kelto_live* live = Attach();
      const uint32_t speed = Ident(live, "IORSH_SPEED");
      uint64_t cursor = kelto_live_cursor(live);
      latch->Notify();
      uint32_t changed[4];
      uint32_t count = 0;
      int resync = 0;
      if (kelto_live_wait(live, &cursor, &speed, 1, kLongMs, changed, 4, &count, &resync) !=
          KELTO_LIVE_OK) {
        return 1;
      }
      int64_t value = 0;
      const bool seen = count == 1 && changed[0] == speed && resync == 0 &&
                        kelto_live_get_int(live, speed, &value) == KELTO_LIVE_OK && value == 4711;
      kelto_live_detach(live);
      return seen ? 0 : 2;
    }));
  }
  for (auto& latch : ready) ASSERT_TRUE(latch->Wait());

  kelto_live* live = Attach();
  const uint32_t speed = Ident(live, "IORSH_SPEED");
  const uint32_t gear = Ident(live, "IORSH_GEAR");
  const uint32_t state = Ident(live, "IORSH_STATE");
  uint64_t cursor = kelto_live_cursor(live);
  // Refused values are never written, and so never marked.
  EXPECT_EQ(kelto_live_set_int(live, gear, 256), KELTO_LIVE_BAD_VALUE);
  EXPECT_EQ(kelto_live_set_text(live, state, std::string(64, 'x').c_str()), KELTO_LIVE_BAD_VALUE);
  EXPECT_EQ(kelto_live_set_text(live, speed, "1"), KELTO_LIVE_WRONG_TYPE);
  uint32_t count = 9;
  int resync = 0;
  EXPECT_EQ(kelto_live_wait(live, &cursor, nullptr, 0, 30, nullptr, 0, &count, &resync),
            KELTO_LIVE_TIMEOUT);
  EXPECT_EQ(count, 0u);
  // A change of another variable wakes nobody who waits for SPEED.
  ASSERT_EQ(kelto_live_set_int(live, gear, 3), KELTO_LIVE_OK);
  ASSERT_EQ(kelto_live_set_int(live, speed, 4711), KELTO_LIVE_OK);
  for (auto& waiter : waiters) EXPECT_EQ(waiter->Wait(), 0);
  // The library of the program reads what the observer wrote.
  EXPECT_EQ(ValueFieldSeenByLibrary("IORSH_GEAR")[0], 3);

  uint32_t changed[4];
  ASSERT_EQ(kelto_live_wait(live, &cursor, nullptr, 0, 0, changed, 4, &count, &resync),
            KELTO_LIVE_OK);
  EXPECT_EQ(std::vector<uint32_t>(changed, changed + count), (std::vector<uint32_t>{gear, speed}));
  kelto_live_detach(live);
}

// A cursor that no kelto_live_cursor handed out (ahead of the log's
// position) must give a resync, never take old marks for new ones; an empty
// text given as NULL is an empty value. Another process makes the changes.
TEST_F(LiveWaitTest, ACursorAheadOfTheLogIsAResyncAndANullEmptyTextIsEmpty) {
  kelto_live* live = Attach();
  const uint32_t state = Ident(live, "IORSH_STATE");
  ASSERT_EQ(RunInChild([] {
              kelto_live* writer = Attach();
              const uint32_t ident = Ident(writer, "IORSH_SPEED");
              for (int value = 1; value <= 4; ++value) kelto_live_set_int(writer, ident, value);
              kelto_live_detach(writer);
              return 0;
            }),
            0);
  uint32_t changed[8];
  uint32_t count = 0;
  int resync = 0;
  const uint64_t far_ahead[] = {~uint64_t{0}, ~uint64_t{0} - 2, 1, 70000};
  for (const uint64_t ahead : far_ahead) {
    const uint64_t now = kelto_live_cursor(live);
    ASSERT_GE(now, 4u);
    uint64_t cursor = ahead < 100000 ? now + ahead : ahead;
    ASSERT_EQ(kelto_live_wait(live, &cursor, nullptr, 0, 0, changed, 8, &count, &resync),
              KELTO_LIVE_OK)
        << ahead;
    EXPECT_EQ(resync, 1) << ahead;
    EXPECT_EQ(count, 0u) << ahead;
    EXPECT_EQ(cursor, now) << ahead;
    // From there on, only new changes.
    ASSERT_EQ(kelto_live_set_text(live, state, "x"), KELTO_LIVE_OK);
    ASSERT_EQ(kelto_live_set(live, state, nullptr, 0, KELTO_LIVE_RAW, nullptr, 0), KELTO_LIVE_OK);
    ASSERT_EQ(kelto_live_wait(live, &cursor, nullptr, 0, kLongMs, changed, 8, &count, &resync),
              KELTO_LIVE_OK);
    EXPECT_EQ(resync, 0);
    EXPECT_EQ(std::vector<uint32_t>(changed, changed + count), (std::vector<uint32_t>{state}));
    char text[KELTO_LIVE_VALUE_SIZE] = "not empty";
    EXPECT_EQ(kelto_live_get_text(live, state, text, sizeof text), KELTO_LIVE_OK);
    EXPECT_STREQ(text, "");
  }
  kelto_live_detach(live);
}

TEST_F(LiveWaitTest, KeltoctlWaitPrintsTheChangeOrTimesOut) {
  const ToolResult timed_out = RunKeltoctl({"wait", "--timeout", "0.2", "IORSH_SPEED"});
  EXPECT_EQ(timed_out.status, 6) << timed_out.err;
  EXPECT_EQ(timed_out.out, "");
  EXPECT_EQ(RunKeltoctl({"wait", "IORSH_NOPE"}).status, 1);

  RunningKeltoctl waiting({"wait", "IORSH_GEAR", "IORSH_STATE"});
  // keltoctl set is an observer's write as well: it wakes the waiting one.
  ToolResult set;
  for (int attempt = 0; attempt < 50; ++attempt) {
    usleep(20'000);  // the waiter must have taken its cursor before the change
    set = RunKeltoctl({"set", "IORSH_STATE", "a\tb"});
    if (waiting.ReadUntil("\n", 100)) break;
  }
  ASSERT_EQ(set.status, 0) << set.err;
  const ToolResult woken = waiting.Finish();
  EXPECT_EQ(woken.status, 0) << woken.err;
  EXPECT_EQ(woken.out, "IORSH_STATE a\\tb\n");
}

}  // namespace
}  // namespace kelto::testing
