// Every access call may run on several threads at once between one Open
// and one Close. Run under ThreadSanitizer (ctest -L threads in a
// KELTO_SANITIZE=thread build) this catches any data race in the library.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kelto.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

constexpr int kThreads = 6;
constexpr int kRounds = 2000;

// One pass over every access call; returns the number of unexpected results.
int ExerciseEveryCall(int thread, int round) {
  int wrong = 0;
  const auto expect = [&](bool ok) { wrong += ok ? 0 : 1; };
  char buffer[256] = {};
  char text[64] = {};
  std::snprintf(text, sizeof text, "t%d-r%d", thread, round);

  // By ident.
  const int32_t speed = KeltoGetIdentVarName("IORSH_SPEED");
  expect(speed == 0);
  const int32_t value = thread * 100000 + round;
  expect(KeltoWriteVar(speed, reinterpret_cast<const char*>(&value)) == 0);
  expect(KeltoReadVar(speed, buffer) == 0);
  expect(KeltoGetTypeVar(speed) == 'L');
  expect(KeltoGetSizeVar(speed) == 4);
  expect(KeltoReadNameVar(speed, buffer) == 0 && std::strcmp(buffer, "IORSH_SPEED") == 0);

  // By name.
  expect(KeltoGetTypeVarName("IORSH_LABEL") == '$');
  expect(KeltoGetSizeVarName("IORSH_LABEL") == 63);
  expect(KeltoWriteVarName("IORSH_LABEL", text) == 0);
  expect(KeltoReadVarName("IORSH_LABEL", buffer) == 0);

  // Typed.
  expect(KeltoWriteByte("IORSH_FLAG", static_cast<char>(round)) == 0);
  (void)KeltoReadByte("IORSH_FLAG");
  expect(KeltoWriteInt32("IORSH_SPEED", value) == 0);
  (void)KeltoReadInt32("IORSH_SPEED");
  expect(KeltoWriteDouble("MEMSH_RATE", round * 0.5) == 0);
  const double rate = KeltoReadDouble("MEMSH_RATE");
  expect(std::trunc(rate * 2) == rate * 2);  // a whole number of halves, never torn
  expect(KeltoWriteString("IORSH_LABEL", text) == 0);
  expect(KeltoReadString("IORSH_LABEL", buffer) == 0);

  // Raw view.
  expect(KeltoGetPointer() != nullptr);
  expect(KeltoGetNumberOfItems() == 4);
  expect(KeltoGetItemSize() == KELTO_ITEM_SIZE);

  // Facades.
  expect(IORShGetIdentVarName("SPEED") == speed);
  expect(IORShWriteVarName("SPEED", reinterpret_cast<const char*>(&value)) == 0);
  expect(IORShReadVarName("SPEED", buffer) == 0);
  expect(IORShGetTypeVarName("SPEED") == 'L');
  expect(IORShGetSizeVarName("SPEED") == 4);
  expect(IORShWriteVar(speed, reinterpret_cast<const char*>(&value)) == 0);
  expect(IORShReadVar(speed, buffer) == 0);
  expect(IORShGetTypeVar(speed) == 'L');
  expect(IORShGetSizeVar(speed) == 4);
  expect(IORShReadNameVar(speed, buffer) == 0);
  expect(IORShReadApplicationCount() == 1);
  expect(MemShGetIdentVarName("RATE") == 3);
  expect(MemShReadVarName("RATE", buffer) == 0);
  expect(MemShWriteVar(3, buffer) == 0);
  expect(MemShReadVar(3, buffer) == 0);
  expect(MemShGetTypeVar(3) == 'D');
  expect(MemShGetSizeVar(3) == 8);
  expect(MemShGetTypeVarName("RATE") == 'D');
  expect(MemShGetSizeVarName("RATE") == 8);
  expect(MemShWriteVarName("RATE", buffer) == 0);
  expect(MemShReadNameVar(3, buffer) == 0);
  expect(MemShReadApplicationCount() == 1);

  // Failed lookups write log lines from every thread at once.
  expect(KeltoReadVar(99, buffer) == -1);
  expect(KeltoReadVarName("IORSH_MISSING", buffer) == -3);
  expect(KeltoGetTypeVarName("MEMSH_MISSING") == '#');
  expect(MemShGetSizeVarName("MISSING") == -1);
  return wrong;
}

TEST(ThreadsTest, AllAccessCallsFromSeveralThreadsAtOnce) {
  TestEnvironment env;
  env.WriteDefinitions("SPEED=L\nLABEL=$\nFLAG=B\n", "RATE=D\n");
  KeltoOpen();
  ASSERT_NE(KeltoGetPointer(), nullptr);

  std::atomic<int> wrong{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong, &go] {
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < kRounds; ++round) wrong += ExerciseEveryCall(t, round);
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);

  // Each thread's last writes are whole values of one thread.
  const int32_t speed = KeltoReadInt32("IORSH_SPEED");
  EXPECT_EQ(speed % 100000, kRounds - 1);
  char label[64] = {};
  ASSERT_EQ(KeltoReadString("IORSH_LABEL", label), 0);
  EXPECT_EQ(std::string(label).substr(0, 1), "t");
  KeltoClose();

  const std::string log = env.ReadLog();
  EXPECT_NE(log.find("tried to access non-existing variable IORSH_MISSING\n"), std::string::npos);
  EXPECT_NE(log.rfind("quitting\n"), std::string::npos);
}

}  // namespace
}  // namespace kelto::testing
