// The command line of list and get: their options, operands and help.
#include <memory>

#include "keltoctl/command.h"
#include "keltoctl/commands.h"

namespace keltoctl {
namespace {

constexpr const char* kListHelp =
    R"(Usage: keltoctl list [--table|--tsv|--json|--csv] [PATTERN]

One row per variable of the live table, in ident order, with the columns
ident, name, type, size and value. PATTERN is a shell wildcard pattern
(* ? [...]) matched against the whole name; quote it so that the shell
leaves it alone. Items past the last used one (the unused tail of a segment
that is larger than the definitions need) are not shown.

Output formats:
  --table   aligned columns with a header line (the default on a terminal)
  --tsv     tab-separated, no header (the default otherwise); names, type
            letters and text values are escaped, so a row is one line and a
            field never holds a tab
  --json    an array of objects {"ident", "name", "type", "size", "value"};
            value is a number, a string, or null (no value, or a D that is
            not finite); valid UTF-8 appears as its characters, a byte
            outside it as \udc80..\udcff (as Python's surrogateescape)
  --csv     a header line, then one row per variable; text is written as it
            is and quoted where CSV needs it; no value is an empty field

A PATTERN that matches no variable is an error (exit status 1).
)";

constexpr const char* kGetHelp =
    R"(Usage: keltoctl get [--table|--tsv|--json|--csv] NAME...

Prints the value of each named variable, one per line, as in the value
column of 'keltoctl list', so that a script can use $(keltoctl get NAME).
NAME is the full name, prefix included (for example IORSH_SPEED). When two
items share a name, the later one is used, as by the library.

With an output format option, whole rows are printed as by 'keltoctl list'.
If any NAME is unknown, each unknown one is reported, nothing is printed on
standard output and the exit status is 1.
)";

}  // namespace

Command AddListCommand(CLI::App& tool) {
  auto arguments = std::make_shared<Arguments>();
  CLI::App* command = tool.add_subcommand("list");
  AddFormatFlags(
      *command, {OutputFormat::kTable, OutputFormat::kTsv, OutputFormat::kJson, OutputFormat::kCsv},
      &arguments->format);
  command->add_option_function<std::string>(
      "PATTERN", [arguments](const std::string& pattern) { arguments->operands = {pattern}; });
  return {command, "list [PATTERN]", "one row per variable: ident, name, type, size, value",
          kListHelp, [arguments] {
            return OnLiveTable([&](LiveTable& table) { return RunList(*arguments, table); });
          }};
}

Command AddGetCommand(CLI::App& tool) {
  auto arguments = std::make_shared<Arguments>();
  CLI::App* command = tool.add_subcommand("get");
  AddFormatFlags(
      *command, {OutputFormat::kTable, OutputFormat::kTsv, OutputFormat::kJson, OutputFormat::kCsv},
      &arguments->format);
  command->add_option("NAME", arguments->operands)->required();
  return {command, "get NAME...", "the value of each variable, one per line", kGetHelp,
          [arguments] {
            return OnLiveTable([&](LiveTable& table) { return RunGet(*arguments, table); });
          }};
}

}  // namespace keltoctl
