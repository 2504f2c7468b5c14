// The writing side of bench/web_view_bench.py: changes `rate` variables a
// second, spread evenly over the table, for `seconds` seconds, each to the
// wall-clock time of its write in milliseconds, so that the page can tell
// how long a change took to show. It writes through the live API, which
// marks every change in the table's change log.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <thread>

#include "kelto_live.h"

namespace {

using Clock = std::chrono::steady_clock;

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
  kelto_live* table = nullptr;
  if (kelto_live_attach(nullptr, &table) != KELTO_LIVE_OK) {
    std::fprintf(stderr, "web_bench_writer: no live table\n");
    return 1;
  }
  const uint32_t count = kelto_live_count(table);
  std::printf("ready %u\n", count);
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
  return 0;
}
