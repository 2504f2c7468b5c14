// A separate process that keeps a table open, the way a running program
// does, so that keltoctl has a live table to attach to.
#ifndef KELTO_TESTS_KELTOCTL_LIVE_TABLE_HOLDER_H_
#define KELTO_TESTS_KELTOCTL_LIVE_TABLE_HOLDER_H_

#include <functional>
#include <memory>
#include <string>

#include "support/test_environment.h"

namespace kelto::testing {

class LiveTableHolder {
 public:
  // Forks a child that opens the table of the current environment, runs
  // `initialise` (to write starting values) and then holds the table until
  // Close(). Returns once the child holds the table; `ready()` tells whether
  // it got that far.
  explicit LiveTableHolder(const std::function<void()>& initialise);
  ~LiveTableHolder();
  LiveTableHolder(const LiveTableHolder&) = delete;
  LiveTableHolder& operator=(const LiveTableHolder&) = delete;

  bool ready() const { return ready_; }
  // Lets the child close the table and exit; returns its exit status.
  int Close();
  // Ends the child without Close, as a crash would.
  void Kill();

 private:
  ProcessLatch opened_;
  ProcessLatch release_;
  std::unique_ptr<ChildProcess> child_;
  bool ready_ = false;
};

// The 64 raw bytes of the value field of the item named `name`, as a fresh
// process that opens the library sees them (read in a forked child, so this
// process never opens the table). Empty when the child could not read it.
std::string ValueFieldSeenByLibrary(const std::string& name);

}  // namespace kelto::testing

#endif  // KELTO_TESTS_KELTOCTL_LIVE_TABLE_HOLDER_H_
