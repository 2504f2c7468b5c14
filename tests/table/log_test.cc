// The per-process log, byte for byte: what Open writes, one line per failed
// access, the closing line, and silence whenever no log is open.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "table_fixture.h"

namespace kelto::testing {
namespace {

using LogTest = TableTest;

constexpr const char* kStandardOpenLog =
    "kelto v2.0.0\n"
    "3 variables after iorsh\n"
    "6 variables total\n"
    "will allocate 1968 bytes (328 per item)\n"
    "shared memory error is 0\n"
    "0 IORSH_SPEED L 4\n"
    "1 IORSH_NAME $ 63\n"
    "2 IORSH_FLAG B 1\n"
    "3 MEMSH_LEVEL D 8\n"
    "4 MEMSH_COUNT W 2\n"
    "5 MEMSH_RAW X 0\n";

TEST_F(LogTest, OpenWritesBannerCountsAllocationErrorAndVariables) {
  OpenStandardTable();
  EXPECT_EQ(Log(), kStandardOpenLog);
}

TEST_F(LogTest, CloseWritesQuittingOnceAndSecondCloseDoesNothing) {
  OpenStandardTable();
  EXPECT_EQ(KeltoClose(), 0);
  EXPECT_EQ(Log(), std::string(kStandardOpenLog) + "quitting\n");
  EXPECT_EQ(KeltoClose(), 0);
  EXPECT_EQ(Log(), std::string(kStandardOpenLog) + "quitting\n");
}

// One failed access, the line it must add to the log.
struct FailedAccess {
  const char* what;
  std::function<void()> call;
  std::string line;
};

std::vector<FailedAccess> EveryFailingAccess(const std::string& range_bounds) {
  char buffer[256] = {};
  const std::string out_of_range =
      "tried to access variable outside valid range (0 - " + range_bounds + ")";
  const std::string missing = "tried to access non-existing variable IORSH_NOPE\n";
  return {
      {"WriteVar", [=]() mutable { KeltoWriteVar(6, buffer); }, out_of_range + " 6\n"},
      {"ReadVar", [=]() mutable { KeltoReadVar(-1, buffer); }, out_of_range + " -1\n"},
      {"GetTypeVar", [] { KeltoGetTypeVar(1000); }, out_of_range + " 1000\n"},
      {"GetSizeVar", [] { KeltoGetSizeVar(INT32_MIN); }, out_of_range + " -2147483648\n"},
      {"ReadNameVar", [=]() mutable { KeltoReadNameVar(INT32_MAX, buffer); },
       out_of_range + " 2147483647\n"},
      {"GetIdentVarName", [] { KeltoGetIdentVarName("IORSH_NOPE"); }, missing},
      {"GetTypeVarName", [] { KeltoGetTypeVarName("IORSH_NOPE"); }, missing},
      {"GetSizeVarName", [] { KeltoGetSizeVarName("IORSH_NOPE"); }, missing},
      {"WriteVarName", [=] { KeltoWriteVarName("IORSH_NOPE", buffer); }, missing},
      {"ReadVarName", [=]() mutable { KeltoReadVarName("IORSH_NOPE", buffer); }, missing},
      {"ReadByte", [] { KeltoReadByte("IORSH_NOPE"); }, missing},
      {"ReadInt32", [] { KeltoReadInt32("IORSH_NOPE"); }, missing},
      {"ReadDouble", [] { KeltoReadDouble("IORSH_NOPE"); }, missing},
      {"ReadString", [=]() mutable { KeltoReadString("IORSH_NOPE", buffer); }, missing},
      {"WriteByte", [] { KeltoWriteByte("IORSH_NOPE", 'x'); }, missing},
      {"WriteInt32", [] { KeltoWriteInt32("IORSH_NOPE", 1); }, missing},
      {"WriteDouble", [] { KeltoWriteDouble("IORSH_NOPE", 1.0); }, missing},
      {"WriteString", [] { KeltoWriteString("IORSH_NOPE", "x"); }, missing},
  };
}

TEST_F(LogTest, EveryFailedAccessWritesExactlyItsLine) {
  OpenStandardTable();
  for (const FailedAccess& access : EveryFailingAccess("5")) {
    const size_t mark = Log().size();
    access.call();
    EXPECT_EQ(LogSince(mark), access.line) << access.what;
  }
}

TEST_F(LogTest, RangeLineShowsMinusOneWhenNoVariableIsDefined) {
  OpenWith("[EMPTY]\n", "; nothing here\n");
  EXPECT_EQ(Log(),
            "kelto v2.0.0\n"
            "0 variables after iorsh\n"
            "0 variables total\n"
            "will allocate 0 bytes (328 per item)\n"
            "shared memory error is 2\n");
  for (const FailedAccess& access : EveryFailingAccess("-1")) {
    const size_t mark = Log().size();
    access.call();
    EXPECT_EQ(LogSince(mark), access.line) << access.what;
  }
}

TEST_F(LogTest, EveryAccessWithoutSegmentSaysNotInitialized) {
  env_.WriteFile("iorsh.mem", kIorshDefinitions);
  ASSERT_EQ(KeltoOpen(), 0);
  EXPECT_EQ(Log(), "kelto v2.0.0\nfailed to open memsh file at " + env_.Path("memsh.mem") + "\n");
  for (const FailedAccess& access : EveryFailingAccess("5")) {
    const size_t mark = Log().size();
    access.call();
    EXPECT_EQ(LogSince(mark), "tried to access not-initialized memory\n") << access.what;
  }
}

TEST_F(LogTest, MissingIorshFileStopsOpenWithItsPath) {
  env_.WriteFile("memsh.mem", kMemshDefinitions);
  ASSERT_EQ(KeltoOpen(), 0);
  EXPECT_EQ(Log(), "kelto v2.0.0\nfailed to open iorsh file at " + env_.Path("iorsh.mem") + "\n");
  EXPECT_FALSE(env_.SegmentExists());
}

TEST_F(LogTest, MissingDirectoryGivesNoLogAndNoSegment) {
  const std::string absent = env_.directory() + "/absent";
  setenv("KELTO_DIR", absent.c_str(), 1);
  ASSERT_EQ(KeltoOpen(), 0);
  EXPECT_FALSE(std::filesystem::exists(absent));
  EXPECT_FALSE(std::filesystem::exists(env_.Path("kelto_log.txt")));
  EXPECT_FALSE(env_.SegmentExists());
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  EXPECT_EQ(KeltoReadVar(0, nullptr), -1);
  EXPECT_EQ(KeltoClose(), 0);
}

TEST_F(LogTest, NothingIsWrittenBeforeTheFirstOpen) {
  env_.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  for (const FailedAccess& access : EveryFailingAccess("5")) access.call();
  EXPECT_FALSE(std::filesystem::exists(env_.Path("kelto_log.txt")));
}

TEST_F(LogTest, NothingIsWrittenAfterClose) {
  OpenStandardTable();
  KeltoClose();
  const std::string closed = Log();
  for (const FailedAccess& access : EveryFailingAccess("5")) access.call();
  char buffer[64] = {};
  KeltoReadVar(kSpeed, buffer);
  KeltoReadVarName("IORSH_SPEED", buffer);
  EXPECT_EQ(Log(), closed);
}

// Failed accesses may come from several threads at once; each line is
// written whole.
TEST_F(LogTest, LinesOfConcurrentThreadsNeverMix) {
  OpenStandardTable();
  const size_t mark = Log().size();
  constexpr int kThreads = 4;
  constexpr int kCallsPerThread = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string name = "IORSH_THREAD" + std::to_string(t);
      for (int i = 0; i < kCallsPerThread; ++i) KeltoGetSizeVarName(name.c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::istringstream lines(LogSince(mark));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_EQ(line.rfind("tried to access non-existing variable IORSH_THREAD", 0), 0u) << line;
    ASSERT_EQ(line.size(),
              std::string("tried to access non-existing variable IORSH_THREAD0").size())
        << line;
  }
  EXPECT_EQ(count, kThreads * kCallsPerThread);
}

TEST_F(LogTest, RepeatedOpenStartsTheLogAgain) {
  OpenStandardTable();
  KeltoGetTypeVar(99);
  ASSERT_EQ(KeltoOpen(), 0);
  EXPECT_EQ(Log(), kStandardOpenLog);
}

TEST_F(LogTest, LogIsTruncatedNotAppended) {
  env_.WriteFile("kelto_log.txt", std::string(5000, 'x'));
  OpenStandardTable();
  EXPECT_EQ(Log(), kStandardOpenLog);
}

}  // namespace
}  // namespace kelto::testing
