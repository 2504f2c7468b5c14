#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "keltoctl/commands.h"
#include "keltoctl/row_output.h"
#include "keltoctl/value_format.h"

namespace keltoctl {

ExitStatus WriteOutput(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    return ReportError(kSystemError, "cannot write the output: %s", std::strerror(errno));
  }
  return kOk;
}

bool FindAll(const std::vector<std::string>& names, const LiveTable& table,
             std::vector<uint32_t>* idents) {
  bool all_known = true;
  for (const std::string& name : names) {
    const int64_t ident = table.FindByName(name);
    if (ident < 0) {
      ReportError(kUnknownVariable, "unknown variable '%s'", EscapeText(name).c_str());
      all_known = false;
    } else {
      idents->push_back(static_cast<uint32_t>(ident));
    }
  }
  return all_known;
}

ExitStatus RunList(const Arguments& arguments, const LiveTable& table) {
  const char* pattern = arguments.operands.empty() ? nullptr : arguments.operands[0].c_str();
  const std::vector<ItemSnapshot> rows = table.Select(pattern);
  if (pattern != nullptr && rows.empty()) {
    return ReportError(kUnknownVariable, "no variable matches '%s'", EscapeText(pattern).c_str());
  }
  OutputFormat format = arguments.format;
  if (format == OutputFormat::kAuto) {
    format = isatty(STDOUT_FILENO) ? OutputFormat::kTable : OutputFormat::kTsv;
  }
  return WriteOutput(RenderRows(rows, format));
}

ExitStatus RunGet(const Arguments& arguments, const LiveTable& table) {
  // All names are checked before anything is printed, so that a script's
  // $(keltoctl get A B) never gets a shifted list of values.
  std::vector<uint32_t> idents;
  if (!FindAll(arguments.operands, table, &idents)) return kUnknownVariable;
  std::vector<ItemSnapshot> rows;
  rows.reserve(idents.size());
  for (const uint32_t ident : idents) rows.push_back(table.Snapshot(ident));
  if (arguments.format == OutputFormat::kAuto) return WriteOutput(RenderValues(rows));
  return WriteOutput(RenderRows(rows, arguments.format));
}

}  // namespace keltoctl
