#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <vector>

#include "keltoctl/change_marks.h"
#include "keltoctl/commands.h"
#include "keltoctl/row_output.h"
#include "keltoctl/value_format.h"

namespace keltoctl {
namespace {

// The signals a watch waits for: the ones that end it, and a change of the
// window's size, which redraws at once. They are blocked and waited for, so
// one that arrives while a refresh is drawn is not lost and the watch always
// ends through the normal path, which lets go of the segment.
sigset_t WatchSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGWINCH);
  return signals;
}

double MonotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

enum class WaitEnd { kRefresh, kStop };

// Waits `seconds`, or less when a signal asks to redraw or to stop.
WaitEnd WaitForNextRefresh(const sigset_t& signals, double seconds) {
  const double deadline = MonotonicSeconds() + seconds;
  for (;;) {
    const double remaining = deadline - MonotonicSeconds();
    if (remaining <= 0) return WaitEnd::kRefresh;
    struct timespec timeout;
    timeout.tv_sec = static_cast<time_t>(remaining);
    timeout.tv_nsec = static_cast<long>((remaining - std::floor(remaining)) * 1e9);
    const int received = sigtimedwait(&signals, nullptr, &timeout);
    if (received == SIGWINCH) return WaitEnd::kRefresh;
    if (received > 0) return WaitEnd::kStop;
    if (errno == EAGAIN) return WaitEnd::kRefresh;
  }
}

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

}  // namespace

ExitStatus RunWatch(const Arguments& arguments, const LiveTable& table) {
  const char* pattern = arguments.operands.empty() ? nullptr : arguments.operands[0].c_str();
  const bool terminal = isatty(STDOUT_FILENO) != 0;
  const sigset_t signals = WatchSignals();
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  std::vector<ItemSnapshot> previous;
  for (long long refresh = 1;; ++refresh) {
    std::vector<ItemSnapshot> rows = table.Select(pattern);
    if (refresh == 1 && pattern != nullptr && rows.empty()) {
      return ReportError(kUnknownVariable, "no variable matches '%s'", EscapeText(pattern).c_str());
    }
    const std::vector<bool> changed = MarkChanges(previous, rows);
    const std::string body =
        Heading(arguments, refresh) + RenderMarkedTable(rows, changed, terminal);
    const ExitStatus status = WriteOutput(Frame(body, terminal, refresh));
    if (status != kOk) return status;
    if (arguments.count > 0 && refresh >= arguments.count) return kOk;
    if (WaitForNextRefresh(signals, arguments.interval_seconds) == WaitEnd::kStop) return kOk;
    previous = std::move(rows);
  }
}

}  // namespace keltoctl
