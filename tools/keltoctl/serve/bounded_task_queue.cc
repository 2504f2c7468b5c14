#include "keltoctl/serve/bounded_task_queue.h"

namespace keltoctl::serve {
namespace {

thread_local bool overloaded = false;

}  // namespace

BoundedTaskQueue::BoundedTaskQueue(size_t workers, size_t max_waiting) : max_waiting_(max_waiting) {
  workers_.reserve(workers);
  for (size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
}

BoundedTaskQueue::~BoundedTaskQueue() { shutdown(); }

void BoundedTaskQueue::enqueue(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_ && waiting_.size() < max_waiting_) {
      waiting_.push_back(std::move(task));
      ready_.notify_one();
      return;
    }
  }
  overloaded = true;
  task();
  overloaded = false;
}

void BoundedTaskQueue::shutdown() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ && workers_.empty()) return;
    stopping_ = true;
  }
  ready_.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  workers_.clear();
}

bool BoundedTaskQueue::Overloaded() { return overloaded; }

void BoundedTaskQueue::Work() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      // Connections already accepted are served before the workers end.
      if (waiting_.empty()) return;
      task = std::move(waiting_.front());
      waiting_.pop_front();
    }
    task();
  }
}

}  // namespace keltoctl::serve
