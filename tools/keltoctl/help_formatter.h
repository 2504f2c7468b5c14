// keltoctl's help: prose written for people, not a list of options. The
// tool's help lists the commands of the table; a command's help is its own
// text, or what CLI11 writes for a command that brings none.
#ifndef KELTOCTL_HELP_FORMATTER_H_
#define KELTOCTL_HELP_FORMATTER_H_

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "keltoctl/command.h"

namespace keltoctl {

class HelpFormatter : public CLI::Formatter {
 public:
  // `commands` outlives the formatter and may grow after it is made.
  explicit HelpFormatter(const std::vector<Command>* commands) : commands_(commands) {}

  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override;

 private:
  std::string ToolHelp() const;

  const std::vector<Command>* commands_;
};

}  // namespace keltoctl

#endif  // KELTOCTL_HELP_FORMATTER_H_
