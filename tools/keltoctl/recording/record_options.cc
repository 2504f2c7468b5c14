// The command lines of record and replay: their options, operands and help.
#include <memory>

#include "keltoctl/command.h"
#include "keltoctl/recording/recording_commands.h"

namespace keltoctl {
namespace {

constexpr const char* kRecordHelp =
    R"(Usage: keltoctl record FILE.h5 [PATTERN...] [--duration SECONDS]
                       [--flush SECONDS] [--force]

Records the variables whose names match a PATTERN (all by default) into
the HDF5 file FILE.h5 until interrupted with Ctrl-C (or SIGTERM, SIGHUP)
or until --duration SECONDS have passed, then closes the file and exits
with status 0. Each variable is a dataset "variables/NAME" of (time,
value) rows: its value at the start, then one row each time it changes,
time in nanoseconds since the epoch. A dataset "events" tells when the
recording started and stopped, when changes may have been missed
("resync", every value read again) and when the table went away and came
back.

Rows are written at least every --flush SECONDS (default 1, from 0.01 to
3600): a reader may open the file while it grows (h5py: swmr=True), and
a recorder that is killed loses at most that much. An existing FILE is
refused unless --force is given. A write error (full disk, file size
limit) ends with status 5; the file keeps what was flushed.
)";

constexpr const char* kReplayHelp =
    R"(Usage: keltoctl replay FILE.h5 [PATTERN...] [--speed X] [--from SECONDS]
                       [--to SECONDS] [--loop]

Writes the values recorded in FILE.h5 (by keltoctl record) of the
variables whose names match a PATTERN (all by default) into the live
table, each at its recorded time counted from the first row, divided by
X (--speed, default 1; 0: as fast as possible). Every write marks its
change, as any other write does. --from and --to keep the rows from and
to that many seconds after the first row; --loop starts again at the end
until interrupted. Variables that the table lacks or holds with another
type letter are listed once on standard error and left out. Ctrl-C (or
SIGTERM, SIGHUP) stops between two writes with status 0.
)";

constexpr double kMaxFlushSeconds = 3600;
constexpr double kMaxSpeed = 1e6;

}  // namespace

Command AddRecordCommand(CLI::App& tool) {
  auto arguments = std::make_shared<RecordArguments>();
  CLI::App* command = tool.add_subcommand("record");
  command->add_option("--duration", arguments->duration_seconds, "seconds to record")
      ->type_name("SECONDS")
      ->check(NumberFromTo(0, kMaxIntervalSeconds * 365, "a number of seconds"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  command->add_option("--flush", arguments->flush_seconds, "seconds between flushes")
      ->type_name("SECONDS")
      ->check(NumberFromTo(kMinIntervalSeconds, kMaxFlushSeconds, "a number of seconds"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  command->add_flag("--force", arguments->force, "replace an existing file");
  command->add_option("FILE", arguments->path)->required();
  command->add_option("PATTERN", arguments->patterns);
  return {command, "record FILE [PAT...]", "record changes into an HDF5 file", kRecordHelp,
          [arguments] {
            return OnLiveTable([&](LiveTable& table) { return RunRecord(*arguments, table); });
          }};
}

Command AddReplayCommand(CLI::App& tool) {
  auto arguments = std::make_shared<ReplayArguments>();
  CLI::App* command = tool.add_subcommand("replay");
  command->add_option("--speed", arguments->speed, "times faster than recorded; 0: at once")
      ->type_name("X")
      ->check(NumberFromTo(0, kMaxSpeed, "a speed"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  command->add_option("--from", arguments->from_seconds, "seconds after the first row")
      ->type_name("SECONDS")
      ->check(NumberFromTo(0, kMaxIntervalSeconds * 365, "a number of seconds"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  command->add_option("--to", arguments->to_seconds, "seconds after the first row")
      ->type_name("SECONDS")
      ->check(NumberFromTo(0, kMaxIntervalSeconds * 365, "a number of seconds"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  command->add_flag("--loop", arguments->loop, "start again at the end");
  command->add_option("FILE", arguments->path)->required();
  command->add_option("PATTERN", arguments->patterns);
  return {command, "replay FILE [PAT...]", "write a recording back into the table", kReplayHelp,
          [arguments] {
            return OnLiveTable([&](LiveTable& table) { return RunReplay(*arguments, table); });
          }};
}

}  // namespace keltoctl
