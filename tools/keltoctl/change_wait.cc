#include "keltoctl/change_wait.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>

namespace keltoctl {
namespace {

// How long one wait on the table lasts before signals and the output are
// looked at again: short enough that Ctrl-C feels immediate.
constexpr double kSliceSeconds = 0.1;
// How often a pause makes sure that some program still holds the table, as
// the live API's own waits do.
constexpr double kLivenessSeconds = 0.25;

// A pipe whose reader has gone (keltoctl watch | head -1) reports an error
// on the write end; noticed here, the watch ends before its next redraw.
bool OutputClosed() {
  struct pollfd output = {STDOUT_FILENO, 0, 0};
  return poll(&output, 1, 0) == 1 && (output.revents & (POLLERR | POLLHUP)) != 0;
}

WaitEnd PendingSignal(const sigset_t& signals, double seconds) {
  struct timespec timeout;
  seconds = std::max(0.0, seconds);
  timeout.tv_sec = static_cast<time_t>(seconds);
  timeout.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
  const int received = sigtimedwait(&signals, nullptr, &timeout);
  if (received == SIGWINCH) return WaitEnd::kResize;
  if (received > 0) return WaitEnd::kStop;
  return OutputClosed() ? WaitEnd::kStop : WaitEnd::kTimedOut;
}

// Waits until standard output takes bytes again, or an ending signal comes.
WaitEnd AwaitOutput(const sigset_t& signals) {
  for (;;) {
    struct pollfd output = {STDOUT_FILENO, POLLOUT, 0};
    // Ready also for an error or a closed descriptor: the write reports it.
    if (poll(&output, 1, static_cast<int>(kSliceSeconds * 1000)) > 0) return WaitEnd::kChanged;
    if (PendingSignal(signals, 0) == WaitEnd::kStop) return WaitEnd::kStop;
  }
}

}  // namespace

WaitEnd WriteResponsively(std::string_view text, const sigset_t& signals) {
  while (!text.empty()) {
    const WaitEnd ready = AwaitOutput(signals);
    if (ready != WaitEnd::kChanged) return ready;
    // A pipe that polls writable takes PIPE_BUF bytes without blocking.
    const ssize_t written =
        write(STDOUT_FILENO, text.data(), std::min<size_t>(text.size(), PIPE_BUF));
    if (written < 0 && errno != EINTR && errno != EAGAIN) return WaitEnd::kFailed;
    if (written > 0) text.remove_prefix(static_cast<size_t>(written));
  }
  return WaitEnd::kChanged;
}

double MonotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

sigset_t BlockEndingSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGWINCH);
  sigset_t blocked = signals;
  sigaddset(&blocked, SIGPIPE);
  sigprocmask(SIG_BLOCK, &blocked, nullptr);
  return signals;
}

WaitEnd PauseFor(const sigset_t& signals, double seconds) {
  const double deadline = MonotonicSeconds() + seconds;
  for (;;) {
    const double remaining = deadline - MonotonicSeconds();
    const WaitEnd end = PendingSignal(signals, std::min(remaining, kSliceSeconds));
    if (end != WaitEnd::kTimedOut || remaining <= kSliceSeconds) return end;
  }
}

WaitEnd PauseWhileLive(const ChangeWaiter& waiter, double seconds) {
  const double deadline = MonotonicSeconds() + seconds;
  for (;;) {
    const double remaining = deadline - MonotonicSeconds();
    const WaitEnd end = PauseFor(waiter.signals, std::min(remaining, kLivenessSeconds));
    if (end != WaitEnd::kTimedOut) return end;
    if (kelto_live_check(waiter.table) != KELTO_LIVE_OK) return WaitEnd::kNoTable;
    if (remaining <= kLivenessSeconds) return WaitEnd::kTimedOut;
  }
}

WaitEnd WaitForChange(ChangeWaiter* waiter, double seconds, std::vector<uint32_t>* changed,
                      bool* resync) {
  const double deadline = MonotonicSeconds() + seconds;
  changed->assign(256, 0);
  for (;;) {
    const double remaining = seconds < 0 ? kSliceSeconds : deadline - MonotonicSeconds();
    const double slice = std::clamp(remaining, 0.0, kSliceSeconds);
    uint32_t count = 0;
    int lost = 0;
    const kelto_live_result result = kelto_live_wait(
        waiter->table, &waiter->cursor, waiter->idents.data(),
        static_cast<uint32_t>(waiter->idents.size()), static_cast<int32_t>(slice * 1000),
        changed->data(), static_cast<uint32_t>(changed->size()), &count, &lost);
    if (result == KELTO_LIVE_OK) {
      changed->resize(count);
      *resync = lost != 0;
      return WaitEnd::kChanged;
    }
    if (result == KELTO_LIVE_NO_TABLE) return WaitEnd::kNoTable;
    if (result == KELTO_LIVE_NO_FEED) return WaitEnd::kNoFeed;
    if (result != KELTO_LIVE_TIMEOUT) return WaitEnd::kFailed;
    const WaitEnd signal = PendingSignal(waiter->signals, 0);
    if (signal != WaitEnd::kTimedOut) return signal;
    if (seconds >= 0 && remaining <= kSliceSeconds) return WaitEnd::kTimedOut;
  }
}

}  // namespace keltoctl
