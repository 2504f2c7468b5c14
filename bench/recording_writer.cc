// The writer side of bench/recording_bench.py: holds the table (KeltoOpen,
// definitions from KELTO_DIR) and writes through the live API, so that
// every write marks its change, at a set pace.
//
//   recording_writer counters HZ SECONDS   every variable +1, HZ times a second
//   recording_writer flood RATE SECONDS    RATE writes a second, round robin
//   recording_writer hold SECONDS          writes nothing
//
// It prints "ready" once the table is open, waits for a line on stdin, then
// writes; at the end it prints the last value written to each variable, in
// ident order, one a line.
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "kelto.h"
#include "kelto_live.h"

namespace {

double Now() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void SleepUntil(double when) {
  struct timespec due;
  due.tv_sec = static_cast<time_t>(when);
  due.tv_nsec = static_cast<long>((when - static_cast<double>(due.tv_sec)) * 1e9);
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
}

// Every variable one more, `hz` times a second, for `seconds`.
void Counters(kelto_live* table, uint32_t count, double hz, double seconds,
              std::vector<int64_t>* last) {
  const double start = Now();
  for (int64_t tick = 1; static_cast<double>(tick) / hz <= seconds; ++tick) {
    SleepUntil(start + static_cast<double>(tick) / hz);
    for (uint32_t ident = 0; ident < count; ++ident) kelto_live_set_int(table, ident, tick);
    for (auto& value : *last) value = tick;
  }
}

// `rate` writes a second spread over the variables in turn, in slices of a
// millisecond.
void Flood(kelto_live* table, uint32_t count, double rate, double seconds,
           std::vector<int64_t>* last) {
  const double start = Now();
  int64_t written = 0;
  while (Now() - start < seconds) {
    const auto due = static_cast<int64_t>((Now() - start) * rate);
    for (; written < due; ++written) {
      const auto ident = static_cast<uint32_t>(written % count);
      (*last)[ident] = written + 1;
      kelto_live_set_int(table, ident, written + 1);
    }
    SleepUntil(Now() + 0.001);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: recording_writer counters HZ SECONDS | flood RATE SECONDS | "
                 "hold SECONDS\n");
    return 2;
  }
  const std::string mode = argv[1];
  KeltoOpen();
  kelto_live* table = nullptr;
  if (KeltoGetNumberOfItems() == 0 || kelto_live_attach(nullptr, &table) != KELTO_LIVE_OK) {
    std::fprintf(stderr, "recording_writer: no table\n");
    return 1;
  }
  const uint32_t count = kelto_live_count(table);
  std::vector<int64_t> last(count, 0);
  std::cout << "ready" << std::endl;
  std::string go;
  std::getline(std::cin, go);
  if (mode == "counters" && argc == 4) {
    Counters(table, count, std::atof(argv[2]), std::atof(argv[3]), &last);
  } else if (mode == "flood" && argc == 4) {
    Flood(table, count, std::atof(argv[2]), std::atof(argv[3]), &last);
  } else {
    SleepUntil(Now() + std::atof(argv[argc - 1]));
  }
  for (int64_t value : last) std::cout << value << '\n';
  std::cout.flush();
  std::getline(std::cin, go);  // hold the table until told to go
  kelto_live_detach(table);
  KeltoClose();
  return 0;
}
