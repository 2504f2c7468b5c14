#include "keltoctl/arguments.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

#include "keltoctl/value_format.h"

namespace keltoctl {
namespace {

struct CommandName {
  const char* name;
  Command command;
};

constexpr CommandName kCommands[] = {
    {"list", Command::kList},   {"get", Command::kGet},   {"set", Command::kSet},
    {"watch", Command::kWatch}, {"wait", Command::kWait},
};

const char* NameOf(Command command) {
  for (const CommandName& entry : kCommands) {
    if (entry.command == command) return entry.name;
  }
  return "keltoctl";
}

bool IsOption(std::string_view argument) { return argument.size() > 1 && argument[0] == '-'; }

// "-5", "-0.5", "-inf" and "-nan" are values for set, not options.
bool LooksLikeNegativeNumber(std::string_view argument) {
  if (argument.size() < 2 || argument[0] != '-') return false;
  const char next = argument[1];
  if (std::isdigit(static_cast<unsigned char>(next)) || next == '.') return true;
  std::string_view rest = argument.substr(1);
  auto starts_with_nocase = [&rest](std::string_view word) {
    if (rest.size() < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(rest[i])) != word[i]) return false;
    }
    return true;
  };
  return starts_with_nocase("inf") || starts_with_nocase("nan");
}

bool ParseInterval(std::string_view text, double* seconds) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return false;
  }
  if (value < kMinIntervalSeconds || value > kMaxIntervalSeconds) return false;
  *seconds = value;
  return true;
}

bool ParseCount(std::string_view text, long long* count) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1) return false;
  *count = value;
  return true;
}

// "keltoctl: list: unknown option '--x' (see 'keltoctl list --help')"
ExitStatus UsageError(Command command, const char* what, std::string_view detail) {
  const bool tool = command == Command::kNone;
  const std::string prefix = tool ? "" : std::string(NameOf(command)) + ": ";
  const std::string help =
      tool ? "keltoctl --help" : "keltoctl " + std::string(NameOf(command)) + " --help";
  return ReportError(kUsage, "%s%s%.*s (see '%s')", prefix.c_str(), what,
                     static_cast<int>(detail.size()), detail.data(), help.c_str());
}

// Arguments are quoted and escaped so that the report stays on one line.
std::string Quoted(std::string_view text) { return "'" + EscapeText(text) + "'"; }

// Splits "--name=value" into name and value; `has_value` tells whether the
// '=' was there.
void SplitOption(std::string_view argument, std::string_view* name, std::string_view* value,
                 bool* has_value) {
  const size_t equals = argument.find('=');
  *has_value = argument.starts_with("--") && equals != std::string_view::npos;
  *name = *has_value ? argument.substr(0, equals) : argument;
  *value = *has_value ? argument.substr(equals + 1) : std::string_view();
}

// argv[1] is the command; its own arguments follow it.
constexpr int kCommandArgumentsStart = 2;

class Parser {
 public:
  Parser(int argc, const char* const* argv, Arguments* arguments)
      : argc_(argc), argv_(argv), arguments_(arguments) {}

  ExitStatus Parse() {
    if (argc_ < 2) return UsageError(Command::kNone, "no command given", "");
    // The tool's own options come before any command and end the call.
    const std::string_view first = argv_[1];
    if (first == "--help" || first == "-h") {
      arguments_->help = true;
      return kOk;
    }
    if (first == "--version" || first == "-V") {
      arguments_->command = Command::kVersion;
      return kOk;
    }
    if (IsOption(first)) return UsageError(Command::kNone, "unknown option ", Quoted(first));
    const std::string_view name = first;
    if (name == "help") return ParseHelpCommand(kCommandArgumentsStart);
    if (name == "version") {
      arguments_->command = Command::kVersion;
      return kOk;
    }
    arguments_->command = FindCommand(name);
    if (arguments_->command == Command::kNone) {
      return UsageError(Command::kNone, "unknown command ", Quoted(name));
    }
    const ExitStatus status = ParseCommandArguments(kCommandArgumentsStart);
    if (status != kOk || arguments_->help) return status;
    return CheckOperandCount();
  }

 private:
  static Command FindCommand(std::string_view name) {
    for (const CommandName& entry : kCommands) {
      if (name == entry.name) return entry.command;
    }
    return Command::kNone;
  }

  // "keltoctl help [COMMAND]" is the same as "keltoctl [COMMAND] --help".
  ExitStatus ParseHelpCommand(int index) {
    arguments_->help = true;
    if (index == argc_) return kOk;
    arguments_->command = FindCommand(argv_[index]);
    if (arguments_->command == Command::kNone) {
      return UsageError(Command::kNone, "no help for unknown command ", Quoted(argv_[index]));
    }
    return kOk;
  }

  ExitStatus ParseCommandArguments(int index) {
    const Command command = arguments_->command;
    bool options_ended = false;
    for (; index < argc_; ++index) {
      const std::string_view argument = argv_[index];
      if (options_ended || !IsOption(argument) || LooksLikeNegativeNumber(argument)) {
        arguments_->operands.emplace_back(argument);
        continue;
      }
      if (argument == "--") {
        options_ended = true;
        continue;
      }
      std::string_view option, value;
      bool has_value = false;
      SplitOption(argument, &option, &value, &has_value);
      if (option == "--help" || option == "-h") {
        if (has_value) return UsageError(command, "--help takes no value", "");
        arguments_->help = true;
        continue;
      }
      ExitStatus status = kUsage;
      bool known = false;
      if (command == Command::kList || command == Command::kGet) {
        known = ParseFormatOption(option, has_value, &status);
      } else if (command == Command::kSet) {
        known = ParseSetOption(option, has_value, &status);
      } else if (command == Command::kWatch) {
        known = ParseWatchOption(option, value, has_value, &index, &status);
      } else if (command == Command::kWait) {
        known = option == "--json" ? ParseFormatOption(option, has_value, &status)
                                   : ParseWaitOption(option, value, has_value, &index, &status);
      }
      if (!known) return UsageError(command, "unknown option ", Quoted(option));
      if (status != kOk) return status;
    }
    return kOk;
  }

  bool ParseFormatOption(std::string_view option, bool has_value, ExitStatus* status) {
    OutputFormat format;
    if (option == "--json") {
      format = OutputFormat::kJson;
    } else if (option == "--csv") {
      format = OutputFormat::kCsv;
    } else if (option == "--tsv") {
      format = OutputFormat::kTsv;
    } else if (option == "--table") {
      format = OutputFormat::kTable;
    } else {
      return false;
    }
    if (has_value) {
      *status = UsageError(arguments_->command, "option takes no value: ", Quoted(option));
      return true;
    }
    if (arguments_->format != OutputFormat::kAuto && arguments_->format != format) {
      *status =
          UsageError(arguments_->command, "choose one output format, not also ", Quoted(option));
      return true;
    }
    arguments_->format = format;
    *status = kOk;
    return true;
  }

  bool ParseSetOption(std::string_view option, bool has_value, ExitStatus* status) {
    if (option != "--escaped" && option != "-e") return false;
    if (has_value) {
      *status = UsageError(Command::kSet, "option takes no value: ", Quoted(option));
      return true;
    }
    arguments_->escaped = true;
    *status = kOk;
    return true;
  }

  // Takes the option's value from "--name=value" or from the next argument.
  bool OptionValue(std::string_view option, std::string_view inline_value, bool has_value,
                   int* index, std::string_view* value, ExitStatus* status) {
    if (has_value) {
      *value = inline_value;
      return true;
    }
    if (*index + 1 >= argc_) {
      *status = UsageError(arguments_->command, "missing value after ", Quoted(option));
      return false;
    }
    *value = argv_[++*index];
    return true;
  }

  bool ParseWatchOption(std::string_view option, std::string_view inline_value, bool has_value,
                        int* index, ExitStatus* status) {
    const bool interval = option == "--interval" || option == "-n";
    if (!interval && option != "--count") return false;
    std::string_view value;
    if (!OptionValue(option, inline_value, has_value, index, &value, status)) return true;
    if (interval && !ParseInterval(value, &arguments_->interval_seconds)) {
      *status = UsageError(Command::kWatch,
                           "interval must be a number of seconds from 0.01 to "
                           "86400, not ",
                           Quoted(value));
      return true;
    }
    if (!interval && !ParseCount(value, &arguments_->count)) {
      *status = UsageError(Command::kWatch, "count must be a whole number of at least 1, not ",
                           Quoted(value));
      return true;
    }
    *status = kOk;
    return true;
  }

  bool ParseWaitOption(std::string_view option, std::string_view inline_value, bool has_value,
                       int* index, ExitStatus* status) {
    if (option != "--timeout") return false;
    std::string_view value;
    if (!OptionValue(option, inline_value, has_value, index, &value, status)) return true;
    double seconds = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (error != std::errc() || end != value.data() + value.size() || !std::isfinite(seconds) ||
        seconds < 0 || seconds > kMaxIntervalSeconds) {
      *status =
          UsageError(Command::kWait, "timeout must be a number of seconds from 0 to 86400, not ",
                     Quoted(value));
      return true;
    }
    arguments_->timeout_seconds = seconds;
    *status = kOk;
    return true;
  }

  ExitStatus CheckOperandCount() {
    const size_t count = arguments_->operands.size();
    switch (arguments_->command) {
      case Command::kList:
      case Command::kWatch:
        if (count > 1) return UsageError(arguments_->command, "takes at most one PATTERN", "");
        return kOk;
      case Command::kGet:
      case Command::kWait:
        if (count == 0) return UsageError(arguments_->command, "needs at least one NAME", "");
        return kOk;
      case Command::kSet:
        if (count != 2) return UsageError(Command::kSet, "needs exactly NAME and VALUE", "");
        return kOk;
      default: return kOk;
    }
  }

  int argc_;
  const char* const* argv_;
  Arguments* arguments_;
};

}  // namespace

ExitStatus ParseArguments(int argc, const char* const* argv, Arguments* arguments) {
  *arguments = Arguments{};
  return Parser(argc, argv, arguments).Parse();
}

}  // namespace keltoctl
