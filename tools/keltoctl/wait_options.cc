// The command line of wait: its options, operands and help.
#include <memory>

#include "keltoctl/command.h"
#include "keltoctl/commands.h"

namespace keltoctl {
namespace {

constexpr const char* kWaitHelp =
    R"(Usage: keltoctl wait [--timeout SECONDS] [--json] NAME...

Waits until one of the named variables changes, then prints one line
"NAME VALUE" for each of them that changed (the value as 'get' prints it),
or with --json the rows as 'list --json' prints them. Changes made before
wait started are not reported. Writes into the raw view (KeltoGetPointer)
are not seen.

Exit status: 0 after a change; 6 when SECONDS (0 to 86400; default no
limit) pass without one, or on Ctrl-C; 1 for an unknown NAME; 4 when there
is no live table or the last program lets go of it while waiting.
)";

}  // namespace

Command AddWaitCommand(CLI::App& tool) {
  auto arguments = std::make_shared<Arguments>();
  CLI::App* command = tool.add_subcommand("wait");
  command->add_option("--timeout", arguments->timeout_seconds, "seconds before giving up")
      ->type_name("SECONDS")
      ->check(NumberFromTo(0, kMaxIntervalSeconds, "a number of seconds"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  AddFormatFlags(*command, {OutputFormat::kJson}, &arguments->format);
  command->add_option("NAME", arguments->operands)->required();
  return {command, "wait NAME...", "wait until one of the variables changes, print it", kWaitHelp,
          [arguments] {
            return OnLiveTable([&](LiveTable& table) { return RunWait(*arguments, table); });
          }};
}

}  // namespace keltoctl
