// The command line as a user meets it: what is an option and what is a
// value, which options each command takes, and that help and version win.
// Run against a live table, so that an accepted call is seen doing its work.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "kelto.h"
#include "keltoctl/keltoctl_runner.h"
#include "keltoctl/live_table_holder.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

class KeltoctlCommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_.WriteDefinitions("L=L\nD=D\nTEXT=$\n", "");
    holder_ = std::make_unique<LiveTableHolder>([] { KeltoWriteString("IORSH_TEXT", "start"); });
    ASSERT_TRUE(holder_->ready());
  }

  std::string Get(const std::string& name) { return RunKeltoctl({"get", name}).out; }

  // Exit status 2, nothing on standard output, one "keltoctl: " line that
  // names `culprit`.
  static void ExpectUsageError(const std::vector<std::string>& call, const std::string& culprit) {
    const ToolResult result = RunKeltoctl(call);
    const std::string printed = ::testing::PrintToString(call);
    EXPECT_EQ(result.status, 2) << printed << "\n" << result.err;
    EXPECT_EQ(result.out, "") << printed;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << printed << result.err;
    EXPECT_EQ(result.err.rfind("keltoctl: ", 0), 0u) << printed << "\n" << result.err;
    EXPECT_NE(result.err.find(culprit), std::string::npos) << printed << "\n" << result.err;
  }

  TestEnvironment environment_;
  std::unique_ptr<LiveTableHolder> holder_;
};

TEST_F(KeltoctlCommandLineTest, NegativeNumbersAreValuesNotOptions) {
  struct Accepted {
    std::vector<std::string> call;
    const char* name;
    const char* printed;
  };
  const Accepted accepted[] = {
      {{"set", "IORSH_L", "-5"}, "IORSH_L", "-5\n"},
      {{"set", "IORSH_L", "-0x10"}, "IORSH_L", "-16\n"},
      {{"set", "IORSH_D", "-.5"}, "IORSH_D", "-0.5\n"},
      {{"set", "IORSH_D", "-inf", "--escaped"}, "IORSH_D", "-inf\n"},
      {{"set", "-e", "IORSH_D", "-NaN"}, "IORSH_D", "nan\n"},
  };
  for (const auto& [call, name, printed] : accepted) {
    const ToolResult result = RunKeltoctl(call);
    EXPECT_EQ(result.status, 0) << ::testing::PrintToString(call) << "\n" << result.err;
    EXPECT_EQ(Get(name), printed) << ::testing::PrintToString(call);
  }
  // Any other word that starts with '-' is an option, unless behind "--".
  ExpectUsageError({"set", "IORSH_TEXT", "-x"}, "'-x'");
  ExpectUsageError({"set", "IORSH_TEXT", "-inf", "-x"}, "'-x'");
  EXPECT_EQ(Get("IORSH_TEXT"), "start\n");
  ASSERT_EQ(RunKeltoctl({"set", "IORSH_TEXT", "--", "-x"}).status, 0);
  EXPECT_EQ(Get("IORSH_TEXT"), "-x\n");
  // An operand named like a command stays an operand.
  const ToolResult named_like_a_command = RunKeltoctl({"get", "list"});
  EXPECT_EQ(named_like_a_command.status, 1) << named_like_a_command.err;
  EXPECT_EQ(named_like_a_command.out, "");
}

TEST_F(KeltoctlCommandLineTest, OptionsMayFollowOperandsAndTakeTheirValueEitherWay) {
  ToolResult watch = RunKeltoctl({"watch", "IORSH_*", "--interval=0.5", "--count", "1"});
  EXPECT_EQ(watch.status, 0) << watch.err;
  EXPECT_EQ(watch.out.rfind("Every 0.5s: keltoctl watch IORSH_*  (refresh 1)\n", 0), 0u)
      << watch.out;
  watch = RunKeltoctl({"watch", "--count=1", "-n", "86400"});
  EXPECT_EQ(watch.status, 0) << watch.err;
  EXPECT_EQ(watch.out.rfind("Every 86400s: keltoctl watch  (refresh 1)\n", 0), 0u) << watch.out;
  // The last of a repeated option counts.
  const ToolResult wait = RunKeltoctl({"wait", "IORSH_L", "--timeout", "60", "--timeout=0"});
  EXPECT_EQ(wait.status, 6) << wait.err;

  ExpectUsageError({"watch", "-n", "0.009"}, "'0.009'");
  ExpectUsageError({"watch", "-n", "nan"}, "'nan'");
  ExpectUsageError({"watch", "--interval=inf"}, "'inf'");
  ExpectUsageError({"wait", "--timeout", "-1", "IORSH_L"}, "'-1'");
  ExpectUsageError({"wait", "--timeout"}, "--timeout");
}

TEST_F(KeltoctlCommandLineTest, OneFormatAndTheRightOptionsPerCommand) {
  const ToolResult csv = RunKeltoctl({"get", "IORSH_L", "--csv", "--csv"});
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out.rfind("ident,name,type,size,value\n", 0), 0u) << csv.out;
  ExpectUsageError({"get", "IORSH_L", "--csv", "--json"}, "--json");
  ExpectUsageError({"list", "--table=yes"}, "table");
  ExpectUsageError({"watch", "--json"}, "watch: unknown option '--json'");
  ExpectUsageError({"wait", "--csv", "IORSH_L"}, "'--csv'");
  ExpectUsageError({"list", "--escaped"}, "'--escaped'");
  ExpectUsageError({"get", "--version"}, "'--version'");
  ExpectUsageError({"--json", "list"}, "unknown option '--json'");
  ExpectUsageError({"set", "IORSH_L"}, "VALUE");
  ExpectUsageError({"get", "--json"}, "NAME");
}

TEST_F(KeltoctlCommandLineTest, HelpAndVersionWinOverEverythingElseOnTheirLine) {
  const std::pair<std::vector<std::string>, std::string> calls[] = {
      {{"set", "--help"}, "Usage: keltoctl set [--escaped] NAME VALUE\n"},
      {{"set", "-h", "IORSH_L", "-inf"}, "Usage: keltoctl set"},
      {{"help", "wait"}, "Usage: keltoctl wait [--timeout SECONDS] [--json] NAME...\n"},
      {{"--help", "frobnicate"}, "Usage: keltoctl COMMAND"},
      {{"help", "serve"}, "Usage: keltoctl serve [OPTIONS]\n"},
      {{"--version"}, "2.0.0\n"},
      {{"-V", "list"}, "2.0.0\n"},
      {{"version"}, "2.0.0\n"},
  };
  for (const auto& [call, start] : calls) {
    const ToolResult result = RunKeltoctl(call);
    const std::string printed = ::testing::PrintToString(call);
    EXPECT_EQ(result.status, 0) << printed << "\n" << result.err;
    EXPECT_EQ(result.err, "") << printed;
    EXPECT_EQ(result.out.rfind(start, 0), 0u) << printed << "\n" << result.out;
  }
  // The tool's help lists every command once, in one column.
  const std::string help = RunKeltoctl({"help"}).out;
  for (const char* line :
       {"\n  list [PATTERN]        one row", "\n  wait NAME...          wait",
        "\n  serve                 the live", "\n  help [COMMAND]        this text"}) {
    EXPECT_NE(help.find(line), std::string::npos) << line << "\n" << help;
  }
  EXPECT_EQ(help.find("\n  version"), std::string::npos) << help;
  EXPECT_EQ(Get("IORSH_L"), "0\n") << "help must not run the command";
}

}  // namespace
}  // namespace kelto::testing
