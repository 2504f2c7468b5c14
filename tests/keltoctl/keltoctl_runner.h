// Runs the real keltoctl binary in a child process and collects what it
// prints. The child inherits KELTO_DIR and KELTO_SEGMENT from the test's
// environment.
#ifndef KELTO_TESTS_KELTOCTL_KELTOCTL_RUNNER_H_
#define KELTO_TESTS_KELTOCTL_KELTOCTL_RUNNER_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace kelto::testing {

struct ToolResult {
  int status = -1;  // exit status, 128 + signal, or -1
  std::string out;
  std::string err;
};

// A keltoctl process that is still running: its output can be read while it
// runs (for watch) and it can be sent signals.
class RunningKeltoctl {
 public:
  explicit RunningKeltoctl(const std::vector<std::string>& arguments);
  ~RunningKeltoctl();
  RunningKeltoctl(const RunningKeltoctl&) = delete;
  RunningKeltoctl& operator=(const RunningKeltoctl&) = delete;

  // Reads standard output until it contains `text` (counted from the start
  // of the output). False at end of output or after `timeout_ms`.
  bool ReadUntil(const std::string& text, int timeout_ms = 20000);
  void Signal(int signal_number);
  // Whether the process ends within `timeout_ms`, without reading its
  // output (Finish still collects it and the exit status).
  bool ExitsWithin(int timeout_ms);
  // Reads both outputs to their end and waits for the exit. A process that
  // has not ended after `timeout_ms` is killed (status 128 + SIGKILL).
  ToolResult Finish(int timeout_ms = 20000);
  const std::string& out() const { return out_; }

 private:
  bool Pump(int timeout_ms);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
};

ToolResult RunKeltoctl(const std::vector<std::string>& arguments);

}  // namespace kelto::testing

#endif  // KELTO_TESTS_KELTOCTL_KELTOCTL_RUNNER_H_
