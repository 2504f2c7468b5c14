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
  // The cursor comes first: a change while the names are looked up counts.
  ChangeWaiter waiter{table.Handle(), BlockEndingSignals(), {}, kelto_live_cursor(table.Handle())};
  if (!FindAll(arguments.operands, table, &waiter.idents)) return kUnknownVariable;
  std::vector<NamedVariable> named;
  for (size_t i = 0; i < waiter.idents.size(); ++i) {
    named.push_back({&arguments.operands[i], waiter.idents[i]});
  }
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
