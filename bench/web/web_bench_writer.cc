// The writing side of bench/web_view_bench.py: changes `rate` variables a
// second, spread evenly over the table, for `seconds` seconds, each to the
// wall-clock time of its write in milliseconds, so that the page can tell
// how long a change took to show. It writes through the live API, which
// marks every change in the table's change log; a table whose programs do
// not make that log yet gets one here, the way a program's Open makes it.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <thread>

#include "changes/change_log.h"
#include "kelto_live.h"

namespace {

using Clock = std::chrono::steady_clock;

// True when this process made the change log (and must remove it).
bool EnsureChangeLog(const std::string& path) {
  const int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return false;
  bool made = false;
  if (ftruncate(fd, static_cast<off_t>(kelto::ChangeLogBytes())) == 0) {
    void* mapped =
        mmap(nullptr, kelto::ChangeLogBytes(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped != MAP_FAILED) {
      kelto::InitChangeLog(mapped);
      munmap(mapped, kelto::ChangeLogBytes());
      made = true;
    }
  }
  close(fd);
  return made;
}

double WallMilliseconds() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: web_bench_writer RATE SECONDS (then 'go' on stdin)\n");
    return 2;
  }
  const int rate = std::atoi(argv[1]);
  const double seconds = std::atof(argv[2]);
  const char* segment = std::getenv("KELTO_SEGMENT");
  const std::string log_path = std::string("/") + (segment ? segment : "") + ".changes";
  const bool made_log = EnsureChangeLog(log_path);
  kelto_live* table = nullptr;
  if (kelto_live_attach(nullptr, &table) != KELTO_LIVE_OK) {
    std::fprintf(stderr, "web_bench_writer: no live table\n");
    return 1;
  }
  const uint32_t count = kelto_live_count(table);
  std::printf("ready %u%s\n", count, made_log ? " (change log made here)" : "");
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);

  // Writes come in slices of 10 ms, as a program's cycle would make them.
  constexpr auto kSlice = std::chrono::milliseconds(10);
  const int per_slice = std::max(1, rate / 100);
  std::mt19937 random(42);
  std::uniform_int_distribution<uint32_t> pick(0, count - 1);
  long long written = 0;
  const Clock::time_point start = Clock::now();
  Clock::time_point next = start;
  while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
    for (int i = 0; i < per_slice; ++i) {
      if (kelto_live_set_double(table, pick(random), WallMilliseconds()) == KELTO_LIVE_OK) {
        ++written;
      }
    }
    next += kSlice;
    std::this_thread::sleep_until(next);
  }
  std::printf("written %lld\n", written);
  std::fflush(stdout);
  kelto_live_detach(table);
  if (made_log) shm_unlink(log_path.c_str());
  return 0;
}
