#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "keltoctl/change_marks.h"
#include "keltoctl/change_wait.h"
#include "keltoctl/commands.h"
#include "keltoctl/row_output.h"
#include "keltoctl/value_format.h"

namespace keltoctl {
namespace {

std::string Heading(const Arguments& arguments, long long refresh) {
  char interval[64];
  std::snprintf(interval, sizeof interval, "%g", arguments.interval_seconds);
  std::string heading = "Every " + std::string(interval) + "s: keltoctl watch";
  if (!arguments.operands.empty()) heading.append(" ").append(EscapeText(arguments.operands[0]));
  return heading + "  (refresh " + std::to_string(refresh) + ")\n";
}

// On a terminal the table is redrawn in place: home, each line cleared to
// its end, then everything below the table. Elsewhere refreshes follow one
// another, separated by a blank line, so a log of a watch stays readable.
std::string Frame(const std::string& body, bool terminal, long long refresh) {
  if (!terminal) return (refresh > 1 ? "\n" : "") + body;
  std::string frame = refresh == 1 ? "\033[H\033[2J" : "\033[H";
  for (const char c : body) {
    if (c == '\n') frame += "\033[K";
    frame += c;
  }
  return frame + "\033[J";
}

std::vector<uint32_t> IdentsOf(const std::vector<ItemSnapshot>& rows) {
  std::vector<uint32_t> idents;
  idents.reserve(rows.size());
  for (const ItemSnapshot& row : rows) idents.push_back(row.ident);
  return idents;
}

// Until the next redraw: a change of a shown variable, but never sooner
// than one interval after the last redraw. A table without a change feed
// is redrawn every interval instead.
// Either way the end of the table is noticed within a second.
WaitEnd WaitForRedraw(ChangeWaiter* waiter, double interval, double drawn_at) {
  std::vector<uint32_t> changed;
  bool resync = false;
  WaitEnd end = WaitForChange(waiter, -1, &changed, &resync);
  if (end == WaitEnd::kNoFeed) return PauseWhileLive(*waiter, interval);
  if (end != WaitEnd::kChanged) return end;
  const double rest = drawn_at + interval - MonotonicSeconds();
  end = rest > 0 ? PauseWhileLive(*waiter, rest) : WaitEnd::kTimedOut;
  return end == WaitEnd::kStop || end == WaitEnd::kNoTable ? end : WaitEnd::kChanged;
}

}  // namespace

ExitStatus RunWatch(const Arguments& arguments, const LiveTable& table) {
  const char* pattern = arguments.operands.empty() ? nullptr : arguments.operands[0].c_str();
  const bool terminal = isatty(STDOUT_FILENO) != 0;
  ChangeWaiter waiter{table.Handle(), BlockEndingSignals(), {}, kelto_live_cursor(table.Handle())};
  std::vector<ItemSnapshot> previous;
  for (long long refresh = 1;; ++refresh) {
    std::vector<ItemSnapshot> rows = table.Select(pattern);
    if (refresh == 1 && pattern != nullptr && rows.empty()) {
      return ReportError(kUnknownVariable, "no variable matches '%s'", EscapeText(pattern).c_str());
    }
    if (pattern != nullptr) waiter.idents = IdentsOf(rows);
    const std::vector<bool> changed = MarkChanges(previous, rows);
    const std::string body =
        Heading(arguments, refresh) + RenderMarkedTable(rows, changed, terminal);
    switch (WriteResponsively(Frame(body, terminal, refresh), waiter.signals)) {
      case WaitEnd::kStop: return kOk;
      case WaitEnd::kFailed:
        return ReportError(kSystemError, "cannot write the output: %s", std::strerror(errno));
      default: break;
    }
    if (arguments.count > 0 && refresh >= arguments.count) return kOk;
    switch (WaitForRedraw(&waiter, arguments.interval_seconds, MonotonicSeconds())) {
      case WaitEnd::kStop: return kOk;
      case WaitEnd::kNoTable:
        return ReportError(kNoLiveTable, "no live table: the last program let go of it");
      case WaitEnd::kFailed: return ReportError(kSystemError, "cannot wait for changes");
      default: break;
    }
    previous = std::move(rows);
  }
}

}  // namespace keltoctl
