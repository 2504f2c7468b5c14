#include "support/test_environment.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace kelto::testing {
namespace {

std::string UniqueSegmentName() {
  static std::atomic<int> counter{0};
  char name[64];
  std::snprintf(name, sizeof name, "kelto-test-%d-%d-%u", static_cast<int>(getpid()),
                counter.fetch_add(1), static_cast<unsigned>(std::rand()));
  return name;
}

#ifdef KELTO_COVERAGE_BUILD
extern "C" void __gcov_dump(void);
#endif

// A child leaves with _exit, so that it runs none of the parent's exit
// handlers. In a coverage build it writes its counters first, or everything
// that only children run would show as never run; it does so itself rather
// than through exit(), whose handlers include LeakSanitizer's check in a
// sanitized build, and that locks the whole allocator: in the child of a
// threaded parent another thread may have held one of its locks at the
// fork, for ever.
[[noreturn]] void LeaveChild(int status) {
#ifdef KELTO_COVERAGE_BUILD
  __gcov_dump();
#endif
  _exit(status);
}

}  // namespace

TestEnvironment::TestEnvironment() {
  char pattern[] = "/tmp/kelto-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  segment_ = UniqueSegmentName();
  setenv("KELTO_DIR", directory_.c_str(), 1);
  setenv("KELTO_SEGMENT", segment_.c_str(), 1);
}

TestEnvironment::~TestEnvironment() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
  shm_unlink(("/" + segment_).c_str());
  shm_unlink(("/" + segment_ + ".lock").c_str());
  shm_unlink(("/" + segment_ + ".changes").c_str());
  unsetenv("KELTO_DIR");
  unsetenv("KELTO_SEGMENT");
}

bool TestEnvironment::SegmentExists() const { return std::filesystem::exists(SegmentPath()); }

int RunInChild(const std::function<int()>& body) {
  ChildProcess child(body);
  return child.Wait();
}

ChildProcess::ChildProcess(const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int status = 99;
    try {
      status = body();
    } catch (...) {
      status = 98;
    }
    LeaveChild(status);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Wait();
  }
}

int ChildProcess::Wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void ChildProcess::Kill(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

ProcessLatch::ProcessLatch() {
  if (pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

ProcessLatch::~ProcessLatch() {
  close(fds_[0]);
  close(fds_[1]);
}

void ProcessLatch::Notify() {
  const char byte = 1;
  (void)!write(fds_[1], &byte, 1);
}

bool ProcessLatch::Wait(int timeout_ms) {
  struct pollfd waiting = {fds_[0], POLLIN, 0};
  if (poll(&waiting, 1, timeout_ms) != 1) return false;
  char byte = 0;
  return read(fds_[0], &byte, 1) == 1;
}

bool TestEnvironment::TableFilesExist() const {
  for (const char* suffix : {"", ".lock", ".changes"}) {
    std::error_code ignored;
    if (std::filesystem::exists(SegmentPath() + suffix, ignored)) return true;
  }
  return false;
}

}  // namespace kelto::testing
