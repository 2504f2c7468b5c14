// The server's one observer of the live table: it holds the handle, waits
// for changes on a thread of its own (kelto_live_wait, no polling), paces
// them and hands them to the event hub. It also follows the table's
// lifetime: "no live table" while there is none, and the next table as soon
// as a program opens one.
#ifndef KELTOCTL_SERVE_LIVE_FEED_H_
#define KELTOCTL_SERVE_LIVE_FEED_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "kelto_live.h"
#include "keltoctl/serve/event_hub.h"
#include "keltoctl/serve/update_pacer.h"

namespace keltoctl::serve {

class LiveFeed {
 public:
  // Takes over `handle` (from kelto_live_attach, with or without a table).
  LiveFeed(kelto_live* handle, EventHub* hub);
  ~LiveFeed();
  LiveFeed(const LiveFeed&) = delete;
  LiveFeed& operator=(const LiveFeed&) = delete;

  void Start();
  void Stop();

  // Runs `use(handle)` while the handle is not being moved to another
  // table, and returns what it returns. Any number of callers at once.
  template <typename Use>
  auto WithTable(Use&& use) {
    std::shared_lock lock(table_mutex_);
    return use(handle_);
  }

 private:
  void Run();
  bool Reattach();
  bool PublishWholeTable(uint64_t* cursor);
  bool FollowChanges(uint64_t cursor);
  bool PublishDue(std::chrono::steady_clock::time_point now);
  int WaitTimeoutMs(std::chrono::steady_clock::time_point now) const;
  // False when stopping.
  bool Pause(std::chrono::steady_clock::duration length);

  kelto_live* handle_;
  EventHub* hub_;
  UpdatePacer pacer_;
  std::shared_mutex table_mutex_;

  std::mutex stop_mutex_;
  std::condition_variable stop_signal_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_LIVE_FEED_H_
