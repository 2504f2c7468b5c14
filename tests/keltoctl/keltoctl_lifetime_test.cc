// How keltoctl meets the segment's lifetime: it attaches only to a table
// that some process holds, never creates or resets one, and while it is
// attached it is a holder like any other.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kelto.h"
#include "keltoctl/keltoctl_runner.h"
#include "keltoctl/live_table_holder.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

constexpr const char* kIorsh = "SPEED=L\nGEAR=B\n";
constexpr const char* kMemsh = "LABEL=$\n";

void WriteStartingValues() {
  KeltoWriteInt32("IORSH_SPEED", 1500);
  const char gear = 3;
  KeltoWriteVarName("IORSH_GEAR", &gear);
  KeltoWriteString("MEMSH_LABEL", "left");
}

int LineCount(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

void ExpectNoLiveTable(const TestEnvironment& environment, const std::vector<std::string>& call) {
  const ToolResult result = RunKeltoctl(call);
  const std::string printed = ::testing::PrintToString(call);
  EXPECT_EQ(result.status, 4) << printed << "\n" << result.err;
  EXPECT_EQ(result.out, "") << printed;
  EXPECT_EQ(LineCount(result.err), 1) << printed << "\n" << result.err;
  EXPECT_NE(result.err.find("no live table"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(environment.segment()), std::string::npos) << result.err;
}

TEST(KeltoctlLifetime, WithoutAHolderThereIsNoLiveTableAndNothingIsCreated) {
  TestEnvironment environment;
  environment.WriteDefinitions(kIorsh, kMemsh);
  for (const auto& call : std::vector<std::vector<std::string>>{{"list"},
                                                                {"get", "IORSH_SPEED"},
                                                                {"set", "IORSH_SPEED", "1"},
                                                                {"watch", "--count", "1"}}) {
    ExpectNoLiveTable(environment, call);
  }
  EXPECT_FALSE(environment.SegmentExists()) << "keltoctl must never create the segment";
  EXPECT_FALSE(std::filesystem::exists(environment.SegmentPath() + ".lock"))
      << "an observer creates no file at all";
  EXPECT_FALSE(std::filesystem::exists(environment.Path("kelto_log.txt")))
      << "keltoctl must never open the log";

  // Help and version need no table.
  const ToolResult version = RunKeltoctl({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "2.0.0\n");
  const std::pair<std::vector<std::string>, std::string> helps[] = {
      {{"--help"}, "Usage: keltoctl COMMAND"},
      {{"help"}, "Usage: keltoctl COMMAND"},
      {{"list", "--help"}, "Usage: keltoctl list"},
      {{"get", "-h"}, "Usage: keltoctl get"},
      {{"help", "set"}, "Usage: keltoctl set"},
      {{"watch", "--help", "--interval", "5"}, "Usage: keltoctl watch"},
  };
  for (const auto& [call, expected_start] : helps) {
    const ToolResult help = RunKeltoctl(call);
    const std::string printed = ::testing::PrintToString(call);
    EXPECT_EQ(help.status, 0) << printed;
    EXPECT_EQ(help.err, "") << printed;
    EXPECT_EQ(help.out.rfind(expected_start, 0), 0u) << printed << "\n" << help.out;
  }
}

TEST(KeltoctlLifetime, AnUnusableSegmentNameIsASystemErrorNotAMissingTable) {
  TestEnvironment environment;
  setenv("KELTO_SEGMENT", "no/slashes", 1);  // the environment unsets it at the end
  const ToolResult result = RunKeltoctl({"list"});
  EXPECT_EQ(result.status, 5) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
  EXPECT_NE(result.err.find("'no/slashes'"), std::string::npos) << result.err;
}

TEST(KeltoctlLifetime, TheSegmentOfADeadHolderIsNotLiveAndIsLeftAlone) {
  TestEnvironment environment;
  environment.WriteDefinitions(kIorsh, kMemsh);
  LiveTableHolder holder(WriteStartingValues);
  ASSERT_TRUE(holder.ready());
  holder.Kill();
  ASSERT_TRUE(environment.SegmentExists()) << "a killed holder leaves its segment behind";
  ExpectNoLiveTable(environment, {"get", "IORSH_SPEED"});
  // Only a process that opens the table may replace a stale segment.
  EXPECT_TRUE(environment.SegmentExists());
}

// keltoctl only looks: it never keeps a table alive. The last program's
// Close removes every file of the table even while a watch is attached, and
// the watch notices within a second and ends with status 4, with or without
// a change feed.
TEST(KeltoctlLifetime, TheLastProgramOutRemovesTheTableEvenWhileWatchRuns) {
  TestEnvironment environment;
  environment.WriteDefinitions(kIorsh, kMemsh);
  auto holder = std::make_unique<LiveTableHolder>(WriteStartingValues);
  ASSERT_TRUE(holder->ready());

  // The interval is far longer than the test: only the table's end ends it.
  RunningKeltoctl watch({"watch", "--interval", "3600", "IORSH_*"});
  ASSERT_TRUE(watch.ReadUntil("(refresh 1)")) << watch.out();
  ASSERT_TRUE(watch.ReadUntil("  3\n")) << watch.out();

  EXPECT_EQ(holder->Close(), 0);
  holder.reset();
  EXPECT_FALSE(environment.SegmentExists()) << "a watch does not hold the table";
  EXPECT_FALSE(std::filesystem::exists(environment.SegmentPath() + ".lock"));
  ExpectNoLiveTable(environment, {"get", "IORSH_SPEED"});

  // Woken by the change feed, the watch ends by itself and says why.
  const ToolResult ended = watch.Finish(5000);
  EXPECT_EQ(ended.status, 4) << ended.err;
  EXPECT_EQ(ended.err, "keltoctl: no live table: the last program let go of it\n");
  EXPECT_EQ(ended.out.find("(refresh 2)"), std::string::npos) << ended.out;
  EXPECT_FALSE(environment.SegmentExists());
  EXPECT_FALSE(std::filesystem::exists(environment.SegmentPath() + ".lock"));
}

// The first refresh comes at once, every later one after a change of a
// shown variable (at most once per interval); --count N ends after the Nth.
TEST(KeltoctlLifetime, WatchWithACountStopsAfterThatManyRefreshes) {
  TestEnvironment environment;
  environment.WriteDefinitions(kIorsh, kMemsh);
  LiveTableHolder holder(WriteStartingValues);
  ASSERT_TRUE(holder.ready());
  const std::string log_before = environment.ReadLog();

  RunningKeltoctl watch({"watch", "--count", "3", "-n", "0.01", "IORSH_SPEED"});
  const auto frame = [](int refresh, const char* row) {
    return std::string(refresh > 1 ? "\n" : "") +
           "Every 0.01s: keltoctl watch IORSH_SPEED  (refresh " + std::to_string(refresh) +
           ")\n  IDENT  NAME         TYPE  SIZE  VALUE\n" + row;
  };
  std::string expected = frame(1, "      0  IORSH_SPEED  L        4  1500\n");
  ASSERT_TRUE(watch.ReadUntil(expected)) << watch.out();
  // A change of a variable that is not shown redraws nothing.
  ASSERT_EQ(RunKeltoctl({"set", "IORSH_GEAR", "5"}).status, 0);
  ASSERT_EQ(RunKeltoctl({"set", "IORSH_SPEED", "1501"}).status, 0);
  expected += frame(2, "*     0  IORSH_SPEED  L        4  1501\n");
  ASSERT_TRUE(watch.ReadUntil(expected)) << watch.out();
  ASSERT_EQ(RunKeltoctl({"set", "IORSH_SPEED", "1502"}).status, 0);
  expected += frame(3, "*     0  IORSH_SPEED  L        4  1502\n");

  const ToolResult result = watch.Finish(5000);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, expected);
  EXPECT_EQ(environment.ReadLog(), log_before);
  EXPECT_EQ(RunKeltoctl({"watch", "--count", "1", "NOPE*"}).status, 1);
}

// A change of the window's size refreshes at once, which lets this test
// choose the moment of the second refresh instead of racing a timer.
TEST(KeltoctlLifetime, WatchMarksWhatChangedSinceTheLastRefresh) {
  TestEnvironment environment;
  environment.WriteDefinitions(kIorsh, kMemsh);
  LiveTableHolder holder(WriteStartingValues);
  ASSERT_TRUE(holder.ready());

  RunningKeltoctl watch({"watch", "--interval", "3600", "--count", "2", "IORSH_*"});
  const std::string first =
      "Every 3600s: keltoctl watch IORSH_*  (refresh 1)\n"
      "  IDENT  NAME         TYPE  SIZE  VALUE\n"
      "      0  IORSH_SPEED  L        4  1500\n"
      "      1  IORSH_GEAR   B        1  3\n";
  ASSERT_TRUE(watch.ReadUntil(first)) << watch.out();
  ASSERT_EQ(RunKeltoctl({"set", "IORSH_GEAR", "4"}).status, 0);
  watch.Signal(SIGWINCH);
  const ToolResult result = watch.Finish();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, first +
                            "\nEvery 3600s: keltoctl watch IORSH_*  (refresh 2)\n"
                            "  IDENT  NAME         TYPE  SIZE  VALUE\n"
                            "      0  IORSH_SPEED  L        4  1500\n"
                            "*     1  IORSH_GEAR   B        1  4\n");
}

TEST(KeltoctlLifetime, WatchEndsCleanlyOnTerminationSignals) {
  TestEnvironment environment;
  environment.WriteDefinitions(kIorsh, kMemsh);
  LiveTableHolder holder(WriteStartingValues);
  ASSERT_TRUE(holder.ready());
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    RunningKeltoctl watch({"watch", "-n", "3600"});
    ASSERT_TRUE(watch.ReadUntil("MEMSH_LABEL")) << watch.out();
    watch.Signal(signal_number);
    EXPECT_EQ(watch.Finish().status, 0) << strsignal(signal_number);
  }
  EXPECT_TRUE(environment.SegmentExists()) << "the holder still holds it";
}

// A reader that stops reading (a stuck pager, a full pipe) blocks the
// watch's output; the ending signals must still end it, at once and with
// status 0, not only once the reader goes on.
TEST(KeltoctlLifetime, WatchEndsOnSignalsWhileItsOutputIsBlocked) {
  TestEnvironment environment;
  std::string many;  // about 20 kB a refresh: a few fill the pipe
  for (int i = 0; i < 500; ++i) {
    many += 'V';
    many += std::to_string(i);
    many += "=L\n";
  }
  environment.WriteDefinitions(many, kMemsh);
  LiveTableHolder holder([] {});
  ASSERT_TRUE(holder.ready());
  for (const int signal_number : {SIGTERM, SIGINT}) {
    RunningKeltoctl watch({"watch", "-n", "0.01"});
    ASSERT_TRUE(watch.ReadUntil("MEMSH_LABEL")) << watch.out();
    for (int i = 1; i <= 12; ++i) {
      ASSERT_EQ(RunKeltoctl({"set", "IORSH_V0", std::to_string(i)}).status, 0);
      usleep(20'000);
    }
    watch.Signal(signal_number);
    EXPECT_TRUE(watch.ExitsWithin(3000)) << strsignal(signal_number);
    const ToolResult result = watch.Finish(5000);
    EXPECT_EQ(result.status, 0) << strsignal(signal_number) << ": " << result.err;
    EXPECT_EQ(result.err, "");
  }
}

// A segment can be larger than the definitions need, and its unused tail is
// all zeros: list stops at the last item that is not blank, but shows a
// blank item that lies between used ones.
TEST(KeltoctlLifetime, TrailingBlankItemsAreNotListedButInnerOnesAre) {
  TestEnvironment environment;
  environment.WriteDefinitions("A=B\nB=B\nC=B\nD=B\n", "");
  LiveTableHolder holder([] {
    auto* items = static_cast<KeltoVarItem*>(KeltoGetPointer());
    std::memset(&items[1], 0, sizeof items[1]);
    std::memset(&items[3], 0, sizeof items[3]);
  });
  ASSERT_TRUE(holder.ready());
  const ToolResult result = RunKeltoctl({"list"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "0\tIORSH_A\tB\t1\t0\n"
            "1\t\t\\x00\t0\t-\n"
            "2\tIORSH_C\tB\t1\t0\n");
  // A blank item has no name to be found by.
  EXPECT_EQ(RunKeltoctl({"get", ""}).status, 1);
}

}  // namespace
}  // namespace kelto::testing
