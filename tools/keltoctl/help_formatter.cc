#include "keltoctl/help_formatter.h"

#include <algorithm>

namespace keltoctl {
namespace {

constexpr const char* kToolIntro = R"(Usage: keltoctl COMMAND [OPTIONS] [ARGUMENTS]
       keltoctl --help | --version

Shows and changes the variables of the live kelto table: the shared segment
that running programs hold. keltoctl attaches only while some process holds
the table, never creates it, never reads definition files and never touches
the log. The segment is the one named by KELTO_SEGMENT (default
"keltovariables").

)";

constexpr const char* kToolOutro = R"(
Run 'keltoctl COMMAND --help' for the options of a command.

Values: text ($) is shown with \\ \n \t \r and \xHH escapes; L as a signed
32-bit number; D as the shortest decimal that reads back exactly; B H O M W
as unsigned numbers; variables whose type holds no value as "-".

Exit status:
  0  success
  1  unknown variable, or no variable matches the pattern
  2  wrong command, option or number of arguments
  3  bad value: does not parse, does not fit, or the type holds no value
  4  no live table: no process holds the segment
  5  other system error (attaching, writing the output)
  6  wait: no change before the timeout
)";

// The width of the first column of the command list.
constexpr size_t kSynopsisWidth = 22;

}  // namespace

std::string HelpFormatter::make_help(const CLI::App* app, std::string name,
                                     CLI::AppFormatMode mode) const {
  if (app->get_parent() == nullptr) return ToolHelp();
  for (const Command& command : *commands_) {
    if (command.app == app && !command.help.empty()) return command.help;
  }
  // As CLI11 writes it, but starting with "Usage:" like the others.
  return make_usage(app, std::move(name)) + "\n" + make_description(app) + make_positionals(app) +
         make_groups(app, mode) + "\n" + make_footer(app);
}

std::string HelpFormatter::ToolHelp() const {
  std::string text = kToolIntro;
  text += "Commands:\n";
  for (const Command& command : *commands_) {
    if (command.synopsis.empty()) continue;
    text += "  ";
    text += command.synopsis;
    const size_t used = std::min(kSynopsisWidth, command.synopsis.size());
    text.append(std::max<size_t>(kSynopsisWidth - used, 2), ' ');
    text += command.summary;
    text += '\n';
  }
  return text + kToolOutro;
}

}  // namespace keltoctl
