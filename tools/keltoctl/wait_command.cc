#include <vector>

#include "keltoctl/change_wait.h"
#include "keltoctl/commands.h"
#include "keltoctl/row_output.h"
#include "keltoctl/value_format.h"

namespace keltoctl {
namespace {

struct NamedVariable {
  const std::string* name;
  uint32_t ident;
};

// "NAME VALUE" per changed variable, in the order of the command line; all
// of them when changes may have been missed.
std::string RenderChanges(const Arguments& arguments, const LiveTable& table,
                          const std::vector<NamedVariable>& named,
                          const std::vector<uint32_t>& changed, bool resync) {
  std::vector<ItemSnapshot> rows;
  std::string text;
  for (const NamedVariable& variable : named) {
    bool hit = resync;
    for (const uint32_t ident : changed) hit = hit || ident == variable.ident;
    if (!hit) continue;
    rows.push_back(table.Snapshot(variable.ident));
    text += EscapeText(*variable.name) + " " + FormatValue(rows.back()) + "\n";
  }
  return arguments.format == OutputFormat::kJson ? RenderRows(rows, OutputFormat::kJson) : text;
}

}  // namespace

ExitStatus RunWait(const Arguments& arguments, const LiveTable& table) {
  std::vector<NamedVariable> named;
  ChangeWaiter waiter{table.Handle(), BlockEndingSignals(), {}, kelto_live_cursor(table.Handle())};
  bool all_known = true;
  for (const std::string& name : arguments.operands) {
    const int64_t ident = table.FindByName(name);
    if (ident < 0) {
      ReportError(kUnknownVariable, "unknown variable '%s'", EscapeText(name).c_str());
      all_known = false;
      continue;
    }
    named.push_back({&name, static_cast<uint32_t>(ident)});
    waiter.idents.push_back(static_cast<uint32_t>(ident));
  }
  if (!all_known) return kUnknownVariable;
  std::vector<uint32_t> changed;
  bool resync = false;
  for (;;) {
    switch (WaitForChange(&waiter, arguments.timeout_seconds, &changed, &resync)) {
      case WaitEnd::kChanged:
        return WriteOutput(RenderChanges(arguments, table, named, changed, resync));
      case WaitEnd::kResize: continue;
      case WaitEnd::kTimedOut:
      case WaitEnd::kStop: return kTimedOut;
      case WaitEnd::kNoTable:
        return ReportError(kNoLiveTable, "no live table: the last program let go of it");
      case WaitEnd::kNoFeed:
        return ReportError(kSystemError, "the live table has no change feed to wait on");
      default: return ReportError(kSystemError, "cannot wait for changes");
    }
  }
}

}  // namespace keltoctl
