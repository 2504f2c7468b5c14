// One command of keltoctl as the command line sees it. Each command declares
// its options on a CLI11 subcommand of the tool and says what runs once they
// have been parsed, so adding a command is one function returning a Command
// and one entry in the table of command_line.cc.
#ifndef KELTOCTL_COMMAND_H_
#define KELTOCTL_COMMAND_H_

#include <CLI/CLI.hpp>
#include <functional>
#include <initializer_list>
#include <string>

#include "keltoctl/arguments.h"
#include "keltoctl/exit_status.h"
#include "keltoctl/live_table.h"

namespace keltoctl {

struct Command {
  CLI::App* app = nullptr;
  // The command's line in the tool's help ("list [PATTERN]" and what it
  // does); a command with no synopsis is not listed there.
  std::string synopsis;
  std::string summary;
  // The whole of `keltoctl COMMAND --help`; empty: CLI11 writes it from the
  // subcommand's description and options.
  std::string help;
  // Runs after a parse that left nothing unexplained.
  std::function<ExitStatus()> run;
};

using CommandAdder = Command (*)(CLI::App& tool);

Command AddListCommand(CLI::App& tool);
Command AddGetCommand(CLI::App& tool);
Command AddSetCommand(CLI::App& tool);
Command AddWatchCommand(CLI::App& tool);
Command AddWaitCommand(CLI::App& tool);
Command AddServeCommand(CLI::App& tool);
Command AddRecordCommand(CLI::App& tool);
Command AddReplayCommand(CLI::App& tool);

// The flags of the output formats among `formats` (--table, --tsv, --json,
// --csv), of which a call may name one, as often as it likes.
void AddFormatFlags(CLI::App& command, std::initializer_list<OutputFormat> formats,
                    OutputFormat* chosen);

// A check that an option's value is a finite decimal number from `low` to
// `high`, with `what` naming it in the report ("a number of seconds").
CLI::Validator NumberFromTo(double low, double high, const char* what);
// A check that an option's value is a whole decimal number of at least `low`.
CLI::Validator WholeNumberFrom(long long low);

// Attaches to the live table and runs `command` on it; kNoLiveTable (or the
// system's error) reported when there is none to attach to.
ExitStatus OnLiveTable(const std::function<ExitStatus(LiveTable&)>& command);

}  // namespace keltoctl

#endif  // KELTOCTL_COMMAND_H_
