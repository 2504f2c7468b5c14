#include "bounded_call.h"

#include <pybind11/pybind11.h>

#include <chrono>
#include <thread>

namespace py = pybind11;

namespace kelto::python {

std::shared_ptr<BoundedCall> BoundedCall::Start(std::function<kelto_live_result()> call,
                                                std::function<void()> discard) {
  auto bounded = std::make_shared<BoundedCall>();
  bounded->discard_ = std::move(discard);
  // The thread keeps the state alive; it touches nothing of Python's.
  std::thread([bounded, call = std::move(call)] {
    kelto_live_result result = KELTO_LIVE_SYSTEM_ERROR;
    try {
      result = call();
    } catch (...) {
      // The C functions throw nothing; a failed std::function stays a failure.
    }
    bounded->Finish(result);
  }).detach();
  return bounded;
}

void BoundedCall::Finish(kelto_live_result result) {
  std::unique_lock lock(mutex_);
  result_ = result;
  done_ = true;
  if (abandoned_) {
    lock.unlock();
    if (discard_) discard_();
    return;
  }
  ended_.notify_all();
}

bool BoundedCall::WaitFor(int64_t timeout_ms) {
  py::gil_scoped_release unlocked;
  std::unique_lock lock(mutex_);
  if (timeout_ms < 0) {
    ended_.wait(lock, [this] { return done_; });
    return true;
  }
  return ended_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return done_; });
}

void BoundedCall::Abandon() {
  std::unique_lock lock(mutex_);
  if (!done_) {
    abandoned_ = true;
    return;
  }
  lock.unlock();
  if (discard_) discard_();
}

}  // namespace kelto::python
