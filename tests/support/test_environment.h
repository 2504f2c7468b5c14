// A fresh place for every test: its own directory for the definition files
// and the log, and its own segment name, both exported through KELTO_DIR and
// KELTO_SEGMENT so the library under test never touches the defaults.
#ifndef KELTO_TESTS_SUPPORT_TEST_ENVIRONMENT_H_
#define KELTO_TESTS_SUPPORT_TEST_ENVIRONMENT_H_

#include <functional>
#include <string>

#if defined(_WIN32)
#include "support/windows_setenv.h"
#endif

namespace kelto::testing {

class TestEnvironment {
 public:
  TestEnvironment();
  ~TestEnvironment();
  TestEnvironment(const TestEnvironment&) = delete;
  TestEnvironment& operator=(const TestEnvironment&) = delete;

  const std::string& directory() const { return directory_; }
  const std::string& segment() const { return segment_; }

  // Writes the two definition files (byte for byte as given).
  void WriteDefinitions(const std::string& iorsh, const std::string& memsh) const;
  void WriteFile(const std::string& name, const std::string& content) const;
  void RemoveFile(const std::string& name) const;
  std::string ReadFile(const std::string& name) const;
  std::string ReadLog() const { return ReadFile("kelto_log.txt"); }
  std::string Path(const std::string& name) const { return directory_ + "/" + name; }

  // The segment object under the name, as the file system shows it.
  bool SegmentExists() const;
  std::string SegmentPath() const { return "/dev/shm/" + segment_; }
  // Whether any file of the table is in /dev/shm: the segment, its lock
  // file or its change log.
  bool TableFilesExist() const;

 private:
  std::string directory_;
  std::string segment_;
};

// Runs `body` in a forked child and returns its exit status (the child exits
// with body's result; a failed expectation should return non-zero). -1 when
// the child did not exit normally.
int RunInChild(const std::function<int()>& body);

// A child process that can be waited for or killed later.
class ChildProcess {
 public:
  explicit ChildProcess(const std::function<int()>& body);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  int pid() const { return pid_; }
  // Exit status, or 128 + signal number for a child that a signal ended.
  int Wait();
  void Kill(int signal_number);

 private:
  int pid_;
};

// A one-shot, cross-process signal through a pipe: one side Notify()s, the
// other Wait()s. Create it before forking.
class ProcessLatch {
 public:
  ProcessLatch();
  ~ProcessLatch();
  ProcessLatch(const ProcessLatch&) = delete;
  ProcessLatch& operator=(const ProcessLatch&) = delete;
  void Notify();
  // False when the other side closed without notifying or the timeout passed.
  bool Wait(int timeout_ms = 10000);

 private:
  int fds_[2];
};

}  // namespace kelto::testing

#endif  // KELTO_TESTS_SUPPORT_TEST_ENVIRONMENT_H_
