// The command line of set: its options, operands and help.
#include <memory>

#include "keltoctl/command.h"
#include "keltoctl/commands.h"

namespace keltoctl {
namespace {

constexpr const char* kSetHelp =
    R"(Usage: keltoctl set [--escaped] NAME VALUE

Writes VALUE into the variable NAME, parsed by the variable's type, the way
the library's write by name does; values of 1 to 8 bytes are written at once.

  $        text of at most 63 bytes, written as given; a longer text is an
           error, it is never cut. With --escaped (-e), the escapes that
           'get' prints (\\ \n \t \r \xHH) are decoded first, so a value
           read with 'get' can be written back unchanged.
  B H O    a whole number from 0 to 255
  M W      a whole number from 0 to 65535
  L        a whole number from -2147483648 to 2147483647
  D        a decimal or exponent form (1.5, -2e-3), inf, -inf or nan

Whole numbers are decimal or 0x-prefixed hex, with an optional sign; a value
that does not fit is an error (exit status 3), never wrapped or cut. Negative
numbers may be written as they are; put -- before any other VALUE that starts
with '-'. Variables of a type without a value cannot be set. Nothing is
written when the value is refused. On success nothing is printed.
)";

struct SetOperands {
  Arguments arguments;
  std::string name;
  std::string value;
};

}  // namespace

Command AddSetCommand(CLI::App& tool) {
  auto set = std::make_shared<SetOperands>();
  CLI::App* command = tool.add_subcommand("set");
  command->add_flag("-e,--escaped", set->arguments.escaped,
                    "decode the escapes that get prints in a text VALUE");
  command->add_option("NAME", set->name)->required();
  command->add_option("VALUE", set->value)->required();
  return {command, "set NAME VALUE", "write a variable's value, parsed by its type", kSetHelp,
          [set] {
            set->arguments.operands = {set->name, set->value};
            return OnLiveTable([&](LiveTable& table) { return RunSet(set->arguments, table); });
          }};
}

}  // namespace keltoctl
