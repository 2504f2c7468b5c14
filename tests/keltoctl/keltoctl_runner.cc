#include "keltoctl/keltoctl_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace kelto::testing {
namespace {

long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// Appends what is ready on `fd`; closes it (sets -1) at end of file.
void Drain(int* fd, std::string* into) {
  char buffer[4096];
  const ssize_t count = read(*fd, buffer, sizeof buffer);
  if (count > 0) {
    into->append(buffer, static_cast<size_t>(count));
  } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
    close(*fd);
    *fd = -1;
  }
}

}  // namespace

RunningKeltoctl::RunningKeltoctl(const std::vector<std::string>& arguments) {
  std::vector<std::string> words = {KELTOCTL_PATH};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // The tool must start with the default signal mask and dispositions,
    // whatever the test runner changed.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int signal_number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGWINCH}) {
      signal(signal_number, SIG_DFL);
    }
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
}

RunningKeltoctl::~RunningKeltoctl() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

// Waits up to `timeout_ms` for either output and reads what came. False
// when both outputs are closed or the time is up.
bool RunningKeltoctl::Pump(int timeout_ms) {
  struct pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (out_fd_ < 0 && err_fd_ < 0) return false;
  const int ready = poll(fds, 2, timeout_ms);
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return false;
  if (out_fd_ >= 0 && fds[0].revents != 0) Drain(&out_fd_, &out_);
  if (err_fd_ >= 0 && fds[1].revents != 0) Drain(&err_fd_, &err_);
  return true;
}

bool RunningKeltoctl::ReadUntil(const std::string& text, int timeout_ms) {
  const long deadline = NowMs() + timeout_ms;
  while (out_.find(text) == std::string::npos) {
    const long left = deadline - NowMs();
    if (left <= 0 || out_fd_ < 0 || !Pump(static_cast<int>(left))) {
      return out_.find(text) != std::string::npos;
    }
  }
  return true;
}

void RunningKeltoctl::Signal(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

bool RunningKeltoctl::ExitsWithin(int timeout_ms) {
  const long deadline = NowMs() + timeout_ms;
  for (;;) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid_) {
      return true;
    }
    if (NowMs() >= deadline) return false;
    usleep(10'000);
  }
}

ToolResult RunningKeltoctl::Finish(int timeout_ms) {
  const long deadline = NowMs() + timeout_ms;
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    const long left = deadline - NowMs();
    if (left <= 0 || !Pump(static_cast<int>(left))) break;
  }
  ToolResult result;
  if (out_fd_ >= 0 || err_fd_ >= 0) kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.status = 128 + WTERMSIG(status);
  result.out = out_;
  result.err = err_;
  return result;
}

ToolResult RunKeltoctl(const std::vector<std::string>& arguments) {
  return RunningKeltoctl(arguments).Finish();
}

}  // namespace kelto::testing
