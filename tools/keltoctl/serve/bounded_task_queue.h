// The server's worker threads, with a bound on the connections that wait
// for one. Every open event stream holds a worker for as long as the page
// stays open, so the pool is sized for the streams plus room for requests.
#ifndef KELTOCTL_SERVE_BOUNDED_TASK_QUEUE_H_
#define KELTOCTL_SERVE_BOUNDED_TASK_QUEUE_H_

#include <httplib.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace keltoctl::serve {

class BoundedTaskQueue : public httplib::TaskQueue {
 public:
  BoundedTaskQueue(size_t workers, size_t max_waiting);
  ~BoundedTaskQueue() override;
  BoundedTaskQueue(const BoundedTaskQueue&) = delete;
  BoundedTaskQueue& operator=(const BoundedTaskQueue&) = delete;

  // A connection beyond the bound is still served (the task owns its
  // socket and must run to close it), but at once on the accepting thread
  // and marked, so that it is answered 503 without being handled.
  void enqueue(std::function<void()> task) override;
  void shutdown() override;

  // True on a thread that runs a connection beyond the bound.
  static bool Overloaded();

 private:
  void Work();

  const size_t max_waiting_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> waiting_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_BOUNDED_TASK_QUEUE_H_
