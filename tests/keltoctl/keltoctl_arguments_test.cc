// The command line: what is an option, what is a value.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "keltoctl/arguments.h"

namespace keltoctl {
namespace {

ExitStatus Parse(std::initializer_list<const char*> words, Arguments* arguments) {
  const char* argv[16] = {"keltoctl"};
  int argc = 1;
  for (const char* word : words) argv[argc++] = word;
  return ParseArguments(argc, argv, arguments);
}

TEST(KeltoctlArguments, NegativeNumbersAreValuesNotOptions) {
  for (const char* value : {"-5", "-0.5", "-.5", "-inf", "-NaN", "-0x10"}) {
    Arguments arguments;
    ASSERT_EQ(Parse({"set", "IORSH_L", value}, &arguments), kOk) << value;
    EXPECT_EQ(arguments.operands, (std::vector<std::string>{"IORSH_L", value}));
  }
  Arguments arguments;
  EXPECT_EQ(Parse({"set", "IORSH_S", "-x"}, &arguments), kUsage);
  ASSERT_EQ(Parse({"set", "IORSH_S", "--", "-x"}, &arguments), kOk);
  EXPECT_EQ(arguments.operands, (std::vector<std::string>{"IORSH_S", "-x"}));
}

TEST(KeltoctlArguments, OptionsMayFollowOperandsAndTakeTheirValueEitherWay) {
  Arguments arguments;
  ASSERT_EQ(Parse({"watch", "IORSH_*", "--interval=0.5", "--count", "3"}, &arguments), kOk);
  EXPECT_EQ(arguments.command, Command::kWatch);
  EXPECT_EQ(arguments.operands, std::vector<std::string>{"IORSH_*"});
  EXPECT_EQ(arguments.interval_seconds, 0.5);
  EXPECT_EQ(arguments.count, 3);
  ASSERT_EQ(Parse({"watch", "-n", "86400"}, &arguments), kOk);
  EXPECT_EQ(arguments.interval_seconds, 86400.0);
  EXPECT_EQ(arguments.count, 0);
  EXPECT_EQ(Parse({"watch", "-n", "0.009"}, &arguments), kUsage);
  EXPECT_EQ(Parse({"watch", "-n", "nan"}, &arguments), kUsage);
  EXPECT_EQ(Parse({"watch", "-n", "inf"}, &arguments), kUsage);
}

TEST(KeltoctlArguments, OneFormatAndTheRightOptionsPerCommand) {
  Arguments arguments;
  ASSERT_EQ(Parse({"get", "A", "--csv", "--csv"}, &arguments), kOk);
  EXPECT_EQ(arguments.format, OutputFormat::kCsv);
  EXPECT_EQ(Parse({"get", "A", "--csv", "--json"}, &arguments), kUsage);
  EXPECT_EQ(Parse({"set", "A", "1", "--json"}, &arguments), kUsage);
  EXPECT_EQ(Parse({"watch", "--json"}, &arguments), kUsage);
  EXPECT_EQ(Parse({"list", "--escaped"}, &arguments), kUsage);
  ASSERT_EQ(Parse({"set", "-e", "A", "x"}, &arguments), kOk);
  EXPECT_TRUE(arguments.escaped);
}

TEST(KeltoctlArguments, HelpWinsOverEverythingElseOnItsLine) {
  Arguments arguments;
  ASSERT_EQ(Parse({"set", "--help"}, &arguments), kOk);
  EXPECT_TRUE(arguments.help);
  EXPECT_EQ(arguments.command, Command::kSet);
  ASSERT_EQ(Parse({"help", "get"}, &arguments), kOk);
  EXPECT_TRUE(arguments.help);
  EXPECT_EQ(arguments.command, Command::kGet);
  ASSERT_EQ(Parse({"--help", "frobnicate"}, &arguments), kOk);
  EXPECT_EQ(arguments.command, Command::kNone);
  ASSERT_EQ(Parse({"--version"}, &arguments), kOk);
  EXPECT_EQ(arguments.command, Command::kVersion);
}

}  // namespace
}  // namespace keltoctl
