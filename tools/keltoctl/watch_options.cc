// The command line of watch: its options, operands and help.
#include <memory>

#include "keltoctl/command.h"
#include "keltoctl/commands.h"

namespace keltoctl {
namespace {

constexpr const char* kWatchHelp =
    R"(Usage: keltoctl watch [--interval SECONDS] [--count N] [PATTERN]

Shows the list of 'keltoctl list --table' and redraws it when a shown
variable changes, at most once every SECONDS (default 1, from 0.01 to
86400; -n is short for --interval), until interrupted with Ctrl-C (or
SIGTERM, SIGHUP) or until the reader of its output goes away, then exits
with status 0. Rows whose name, type or value changed since the last
refresh are marked with '*' (and shown in reverse video on a terminal).
Writes into the raw view (KeltoGetPointer) are not seen as changes; a
table without a change feed is redrawn every SECONDS.

On a terminal the table is redrawn in place; otherwise each refresh is
printed after the one before, separated by a blank line. A change of the
window's size (SIGWINCH) refreshes at once. --count N stops after N
refreshes.

If the last program lets go of the table, watch ends with status 4.
)";

}  // namespace

Command AddWatchCommand(CLI::App& tool) {
  auto arguments = std::make_shared<Arguments>();
  CLI::App* command = tool.add_subcommand("watch");
  command->add_option("-n,--interval", arguments->interval_seconds, "seconds between refreshes")
      ->type_name("SECONDS")
      ->check(NumberFromTo(kMinIntervalSeconds, kMaxIntervalSeconds, "a number of seconds"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  command->add_option("--count", arguments->count, "stop after N refreshes")
      ->type_name("N")
      ->check(WholeNumberFrom(1))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  command->add_option_function<std::string>(
      "PATTERN", [arguments](const std::string& pattern) { arguments->operands = {pattern}; });
  return {command, "watch [PATTERN]", "redraw the list when it changes, marking changes",
          kWatchHelp, [arguments] {
            return OnLiveTable([&](LiveTable& table) { return RunWatch(*arguments, table); });
          }};
}

}  // namespace keltoctl
