// keltoctl's command line on CLI11: the table of commands, the parse, and
// wrong calls reported as one "keltoctl: ..." line with exit status 2.
#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kelto.h"
#include "keltoctl/command.h"
#include "keltoctl/commands.h"
#include "keltoctl/help_formatter.h"
#include "keltoctl/run.h"
#include "keltoctl/value_format.h"

namespace keltoctl {
namespace {

// The commands in the order the tool's help lists them; help and version
// are added after them.
constexpr CommandAdder kCommands[] = {
    AddListCommand,   AddGetCommand,    AddSetCommand,
    AddWatchCommand,  AddWaitCommand,   AddServeCommand,
#ifdef KELTOCTL_WITH_RECORDING
    AddRecordCommand, AddReplayCommand,
#endif
};

std::string Quoted(std::string_view text) {
  std::string quoted = "'";
  quoted += EscapeText(text);
  quoted += '\'';
  return quoted;
}

// "keltoctl: list: unknown option '--x' (see 'keltoctl list --help')"; a
// null `command` is the tool itself.
ExitStatus UsageError(const CLI::App* command, std::string what) {
  std::replace(what.begin(), what.end(), '\n', ' ');
  if (command == nullptr) {
    return ReportError(kUsage, "%s (see 'keltoctl --help')", what.c_str());
  }
  const std::string& name = command->get_name();
  return ReportError(kUsage, "%s: %s (see 'keltoctl %s --help')", name.c_str(), what.c_str(),
                     name.c_str());
}

// "-5", "-0.5", "-inf" and "-nan" are values for set, not options.
bool LooksLikeNegativeNumber(std::string_view word) {
  if (word.size() < 2 || word[0] != '-') return false;
  if (std::isdigit(static_cast<unsigned char>(word[1])) || word[1] == '.') return true;
  std::string lower(word.substr(1, 3));
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "inf" || lower == "nan";
}

bool IsOption(std::string_view word) {
  return word.size() > 1 && word[0] == '-' && !LooksLikeNegativeNumber(word);
}

bool TakesOnlyFlags(const CLI::App& command) {
  for (const CLI::Option* option : command.get_options()) {
    if (!option->get_positional() && option->get_items_expected_max() > 0) return false;
  }
  return true;
}

// CLI11 takes "-5" as a value but reads "-.5", "-inf" and "-nan" as options.
// Where a command's options are all flags, every word that is not an option
// is an operand, so the operands can be put behind a "--" in their order.
// `words` follows argv[0]; words[0] names the command.
void PutOperandsBehindMark(const std::vector<Command>& commands, std::vector<std::string>* words) {
  if (words->empty()) return;
  const auto named = std::find_if(
      commands.begin(), commands.end(),
      [words](const Command& command) { return command.app->get_name() == words->front(); });
  if (named == commands.end() || !TakesOnlyFlags(*named->app)) return;
  const auto mark = std::find(words->begin() + 1, words->end(), "--");
  if (std::none_of(words->begin() + 1, mark,
                   [](const std::string& word) { return LooksLikeNegativeNumber(word); })) {
    return;
  }
  std::vector<std::string> options(words->begin(), words->begin() + 1);
  std::vector<std::string> operands = {"--"};
  for (auto word = words->begin() + 1; word != mark; ++word) {
    (IsOption(*word) ? options : operands).push_back(*word);
  }
  if (mark != words->end()) operands.insert(operands.end(), mark + 1, words->end());
  options.insert(options.end(), operands.begin(), operands.end());
  *words = std::move(options);
}

// Words that no option or operand of `app` took; "--" is CLI11's own
// leftover, not the caller's.
std::vector<std::string> Unexplained(const CLI::App& app) {
  std::vector<std::string> words = app.remaining(false);
  words.erase(std::remove(words.begin(), words.end(), "--"), words.end());
  return words;
}

class CommandLine {
 public:
  CommandLine() : tool_("", "keltoctl") {
    tool_.formatter(std::make_shared<HelpFormatter>(&commands_));
    tool_.set_version_flag("-V,--version", KELTO_VERSION);
    tool_.allow_extras();
    // One command per call, so that an operand named like a command stays an
    // operand.
    tool_.require_subcommand(0, 1);
    for (CommandAdder add : kCommands) Add(add(tool_));
    Add(HelpCommand());
    Add(VersionCommand());
  }

  ExitStatus Run(int argc, const char* const* argv) {
    std::vector<std::string> words(argv + std::min(argc, 1), argv + argc);
    PutOperandsBehindMark(commands_, &words);
    std::reverse(words.begin(), words.end());  // CLI11 takes them last first
    try {
      tool_.parse(words);
    } catch (const CLI::CallForHelp&) {
      return WriteOutput(HelpOf(Selected()));
    } catch (const CLI::CallForVersion&) {
      return WriteOutput(KELTO_VERSION "\n");
    } catch (const CLI::ParseError& error) {
      // An unknown option explains a missing operand better than CLI11 can.
      const ExitStatus unknown = CheckEverythingExplained();
      return unknown != kOk ? unknown : UsageError(Selected(), error.what());
    }
    const ExitStatus checked = CheckEverythingExplained();
    if (checked != kOk) return checked;
    for (const Command& command : commands_) {
      if (command.app->parsed()) return command.run();
    }
    return UsageError(nullptr, "no command given");
  }

 private:
  void Add(Command command) {
    command.app->allow_extras();
    if (command.app->get_description().empty()) command.app->description(command.summary);
    commands_.push_back(std::move(command));
  }

  // The command named on the line, or null for the tool itself.
  const CLI::App* Selected() const {
    const std::vector<CLI::App*> selected = tool_.get_subcommands();
    return selected.empty() ? nullptr : selected.front();
  }

  std::string HelpOf(const CLI::App* command) const {
    const CLI::App* app = command == nullptr ? &tool_ : command;
    const std::string name = command == nullptr ? "keltoctl" : "keltoctl " + app->get_name();
    return app->get_formatter()->make_help(app, name, CLI::AppFormatMode::Normal);
  }

  ExitStatus CheckEverythingExplained() const {
    const std::vector<std::string> extra = Unexplained(tool_);
    if (!extra.empty()) {
      const bool option = IsOption(extra.front());
      return UsageError(nullptr,
                        (option ? "unknown option " : "unknown command ") + Quoted(extra.front()));
    }
    const CLI::App* command = Selected();
    if (command == nullptr) return kOk;
    const std::vector<std::string> left = Unexplained(*command);
    if (left.empty()) return kOk;
    const bool option = IsOption(left.front());
    return UsageError(command,
                      (option ? "unknown option " : "unexpected argument ") + Quoted(left.front()));
  }

  // "keltoctl help [COMMAND]" is "keltoctl [COMMAND] --help".
  Command HelpCommand() {
    auto topic = std::make_shared<std::string>();
    CLI::App* app = tool_.add_subcommand("help");
    app->add_option("COMMAND", *topic);
    return {app, "help [COMMAND]", "this text, or the help of one command", "", [this, topic] {
              if (topic->empty()) return WriteOutput(HelpOf(nullptr));
              for (const Command& command : commands_) {
                if (command.app->get_name() == *topic) return WriteOutput(HelpOf(command.app));
              }
              return UsageError(nullptr, "no help for unknown command " + Quoted(*topic));
            }};
  }

  Command VersionCommand() {
    CLI::App* app = tool_.add_subcommand("version");
    return {app, "", "the version of kelto", "", [] { return WriteOutput(KELTO_VERSION "\n"); }};
  }

  CLI::App tool_;
  std::vector<Command> commands_;
};

}  // namespace

ExitStatus Run(int argc, const char* const* argv) { return CommandLine().Run(argc, argv); }

}  // namespace keltoctl
