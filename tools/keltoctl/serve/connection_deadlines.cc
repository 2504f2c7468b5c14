#include "keltoctl/serve/connection_deadlines.h"

#include <sys/socket.h>

namespace keltoctl::serve {

bool ConnectionDeadlines::Opened(uintptr_t key, int socket, Clock::time_point now,
                                 size_t max_open) {
  std::lock_guard lock(mutex_);
  const bool room = entries_.size() < max_open;
  entries_[key] = Entry{socket, now, false, !room};
  return room;
}

void ConnectionDeadlines::Closed(uintptr_t key) {
  std::lock_guard lock(mutex_);
  entries_.erase(key);
}

void ConnectionDeadlines::Answered(uintptr_t key) {
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(key);
  if (found != entries_.end()) found->second.answered = true;
}

void ConnectionDeadlines::Finished(uintptr_t key, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(key);
  if (found == entries_.end()) return;
  found->second.answered = false;
  found->second.since = now;
}

size_t ConnectionDeadlines::ShutLate(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  size_t count = 0;
  for (auto& [key, entry] : entries_) {
    if (entry.answered || entry.shut || now - entry.since <= allowed_) continue;
    // The connection's own thread sees the socket end and closes it.
    shutdown(entry.socket, SHUT_RDWR);
    entry.shut = true;
    ++count;
  }
  return count;
}

}  // namespace keltoctl::serve
