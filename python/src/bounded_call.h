// A call into libkelto_live that can wait long on another process: every
// attach waits for the segment's gate, which a program stopped inside its
// Open or Close (a debugger, Ctrl-Z) holds until the library's own limit of
// five seconds. Such a call runs in a thread of its own; the caller waits
// for it without the GIL and only as long as it chooses, and may leave it
// to end by itself.
#ifndef KELTO_PYTHON_BOUNDED_CALL_H_
#define KELTO_PYTHON_BOUNDED_CALL_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "kelto_live.h"

namespace kelto::python {

class BoundedCall {
 public:
  // Runs `call` in a new thread. `discard` runs there after it when the
  // caller abandoned the call first, to let go of what the call made.
  static std::shared_ptr<BoundedCall> Start(std::function<kelto_live_result()> call,
                                            std::function<void()> discard = {});

  // Waits up to `timeout_ms` (negative: without limit) for the call to
  // end, letting go of the GIL meanwhile (the caller holds it); true once
  // it has ended.
  bool WaitFor(int64_t timeout_ms);
  // Valid once WaitFor said true.
  kelto_live_result result() const { return result_; }
  // The caller leaves: if the call has not ended, `discard` runs when it does.
  void Abandon();

 private:
  void Finish(kelto_live_result result);

  std::mutex mutex_;
  std::condition_variable ended_;
  bool done_ = false;
  bool abandoned_ = false;
  kelto_live_result result_ = KELTO_LIVE_TIMEOUT;
  std::function<void()> discard_;
};

}  // namespace kelto::python

#endif  // KELTO_PYTHON_BOUNDED_CALL_H_
