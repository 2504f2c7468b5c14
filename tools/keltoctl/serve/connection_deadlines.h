// A deadline for every request: its headers and body must arrive whole
// within a few seconds of the connection's start (or of the previous
// answer on a kept-alive connection), however slowly the bytes trickle in.
// The HTTP library's own timeout restarts at every byte, so a client
// sending one byte a second would otherwise hold its connection forever.
#ifndef KELTOCTL_SERVE_CONNECTION_DEADLINES_H_
#define KELTOCTL_SERVE_CONNECTION_DEADLINES_H_

#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace keltoctl::serve {

class ConnectionDeadlines {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ConnectionDeadlines(Clock::duration allowed) : allowed_(allowed) {}

  // `key` names the connection while it is open; `socket` is shut down
  // when it overstays. False when `max_open` connections were open already:
  // the caller ends this one at once, and it is never looked at again.
  bool Opened(uintptr_t key, int socket, Clock::time_point now, size_t max_open);
  void Closed(uintptr_t key);
  // The request was answered: no deadline until the next one begins.
  void Answered(uintptr_t key);
  // The answer was sent; the next request's time starts now.
  void Finished(uintptr_t key, Clock::time_point now);

  // Shuts down (both ways) every socket whose request is late, under the
  // lock that Closed takes, so that a socket is never touched after its
  // connection let it go. Returns how many were shut.
  size_t ShutLate(Clock::time_point now);

 private:
  struct Entry {
    int socket;
    Clock::time_point since;
    bool answered = false;
    bool shut = false;
  };

  const Clock::duration allowed_;
  std::mutex mutex_;
  std::unordered_map<uintptr_t, Entry> entries_;
};

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_CONNECTION_DEADLINES_H_
