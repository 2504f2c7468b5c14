// Option pieces that several commands share.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "keltoctl/command.h"
#include "keltoctl/value_format.h"

namespace keltoctl {
namespace {

struct FormatFlag {
  OutputFormat format;
  const char* name;
  const char* help;
};

constexpr FormatFlag kFormatFlags[] = {
    {OutputFormat::kTable, "--table", "aligned columns with a header line"},
    {OutputFormat::kTsv, "--tsv", "tab-separated rows, no header"},
    {OutputFormat::kJson, "--json", "an array of objects"},
    {OutputFormat::kCsv, "--csv", "a header line, then comma-separated rows"},
};

// The value as it was given, escaped so that a report stays on one line.
std::string Quoted(std::string_view text) {
  std::string quoted = "'";
  quoted += EscapeText(text);
  quoted += '\'';
  return quoted;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// from_chars, not strtod: no hex, no leading blanks, no locale.
template <typename T>
bool ParseAllOf(std::string_view text, T* value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

void AddFormatFlags(CLI::App& command, std::initializer_list<OutputFormat> formats,
                    OutputFormat* chosen) {
  std::vector<CLI::Option*> added;
  for (const FormatFlag& flag : kFormatFlags) {
    bool wanted = false;
    for (OutputFormat format : formats) wanted = wanted || format == flag.format;
    if (!wanted) continue;
    const OutputFormat format = flag.format;
    CLI::Option* option = command.add_flag_callback(
        flag.name, [chosen, format] { *chosen = format; }, flag.help);
    // "--json=1" is a mistake, not a way of saying yes.
    option->disable_flag_override();
    for (CLI::Option* other : added) option->excludes(other);
    added.push_back(option);
  }
}

CLI::Validator NumberFromTo(double low, double high, const char* what) {
  const std::string range =
      std::string("must be ") + what + " from " + Number(low) + " to " + Number(high) + ", not ";
  return CLI::Validator(
      [low, high, range](std::string& text) -> std::string {
        double value = 0;
        if (ParseAllOf(text, &value) && std::isfinite(value) && value >= low && value <= high) {
          return "";
        }
        return range + Quoted(text);
      },
      "NUMBER");
}

CLI::Validator WholeNumberFrom(long long low) {
  const std::string range = "must be a whole number of at least " + std::to_string(low) + ", not ";
  return CLI::Validator(
      [low, range](std::string& text) -> std::string {
        long long value = 0;
        if (ParseAllOf(text, &value) && value >= low) return "";
        return range + Quoted(text);
      },
      "N");
}

ExitStatus OnLiveTable(const std::function<ExitStatus(LiveTable&)>& command) {
  LiveTable table;
  const ExitStatus attached = table.Attach();
  if (attached != kOk) return attached;
  return command(table);
}

}  // namespace keltoctl
