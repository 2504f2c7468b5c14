// What marking a write in the change log costs the writer. A by-ident write
// through the library (marked) beside the same write on a table without a
// change log (unmarked) and beside the baseline function; then two
// processes writing neighbouring idents at full speed, marked and unmarked,
// where the shared head of the change log is the one line they both need.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_loop.h"
#include "bench_registry.h"
#include "bench_table.h"
#include "kelto.h"
#include "minimal_access.h"

namespace kelto::bench {
namespace {

constexpr size_t kTableSize = 1000;
constexpr size_t kOrderLength = 4096;
constexpr int32_t kStop = 1;
// A partner that never starts, or never stops, fails the run instead of
// hanging it.
constexpr long kPatienceNs = 10L * 1000 * 1000 * 1000;
constexpr long kPartnerLifetimeNs = 600L * 1000 * 1000 * 1000;

long NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000L + now.tv_nsec;
}

std::vector<int32_t> ShuffledIdentsOfType(const OpenTable& table, char type) {
  std::vector<int32_t> idents;
  for (size_t i = 0; i < table.types().size(); ++i) {
    if (table.types()[i] == type) idents.push_back(static_cast<int32_t>(i));
  }
  std::mt19937_64 random(static_cast<uint64_t>(type) + 7);
  std::vector<int32_t> order;
  while (order.size() < kOrderLength) {
    std::shuffle(idents.begin(), idents.end(), random);
    order.insert(order.end(), idents.begin(), idents.end());
  }
  return order;
}

// "kelto" and "unmarked" are the same call, on a table with and without a
// change log; "minimal" is the baseline function on the marked table.
void Write(benchmark::State& state, char type, const char* how) {
  const bool unmarked = std::strcmp(how, "unmarked") == 0;
  OpenTable& table = TableOfSize(kTableSize, !unmarked);
  if (!table.ok()) return state.SkipWithError("the table did not open");
  const std::vector<int32_t> order = ShuffledIdentsOfType(table, type);
  char source[KELTO_VALUE_SIZE] = "a value of some length";
  if (std::strcmp(how, "minimal") == 0) {
    RunInOrder(state, order, [&](int32_t ident) {
      benchmark::DoNotOptimize(source);
      benchmark::DoNotOptimize(MinimalWriteVar(ident, source));
    });
  } else {
    RunInOrder(state, order, [&](int32_t ident) {
      benchmark::DoNotOptimize(source);
      benchmark::DoNotOptimize(KeltoWriteVar(ident, source));
    });
  }
}

struct Idents {
  int32_t mine = KeltoGetIdentVarName("IORSH_MINE");
  int32_t theirs = KeltoGetIdentVarName("IORSH_THEIRS");
  int32_t stop = KeltoGetIdentVarName("IORSH_STOP");
  bool ok() const { return mine >= 0 && theirs >= 0 && stop >= 0; }
};

int32_t ReadL(int32_t ident) {
  int32_t value = 0;
  KeltoReadVar(ident, reinterpret_cast<char*>(&value));
  return value;
}

// The partner: writes its ident as fast as it can until told to stop.
[[noreturn]] void KeepWriting() {
  KeltoOpen();
  const Idents idents;
  int exit_code = idents.ok() ? 0 : 1;
  const long give_up = NowNs() + kPartnerLifetimeNs;
  for (int32_t count = 1; exit_code == 0; ++count) {
    KeltoWriteVar(idents.theirs, reinterpret_cast<const char*>(&count));
    if ((count & 1023) != 0) continue;
    if (ReadL(idents.stop) == kStop) break;
    if ((count & 0xfffff) == 0 && NowNs() > give_up) exit_code = 2;
    if (count > 1000000000) count = 1;
  }
  KeltoClose();
  _exit(exit_code);
}

bool WaitForPartner(const Idents& idents) {
  const long deadline = NowNs() + kPatienceNs;
  while (ReadL(idents.theirs) == 0) {
    if (NowNs() > deadline) return false;
    usleep(1000);
  }
  return true;
}

void TwoWriters(benchmark::State& state, bool marking) {
  CloseSharedTable();
  BenchPlace place;
  place.WriteFile("iorsh.mem", "MINE=L\nTHEIRS=L\nSTOP=L\n");
  place.WriteFile("memsh.mem", "");
  place.PreventLog();
  if (!marking) place.PreventChangeLog();
  // Forked before anything is open: the partner opens the table itself.
  const pid_t partner = fork();
  if (partner < 0) return state.SkipWithError("fork failed");
  if (partner == 0) KeepWriting();
  KeltoOpen();
  {
    const Idents idents;
    if (!idents.ok()) {
      state.SkipWithError("the table did not open");
    } else if (!WaitForPartner(idents)) {
      state.SkipWithError("the partner did not start writing");
    } else {
      int32_t count = 0;
      const int32_t partner_before = ReadL(idents.theirs);
      for (auto _ : state) {
        ++count;
        KeltoWriteVar(idents.mine, reinterpret_cast<const char*>(&count));
      }
      // About 1 when the partner wrote as fast as this process all along.
      // Whether they ran at the same moment, or by turns on a busy machine,
      // shows in CPU time against wall time, not here.
      const double partner_writes = ReadL(idents.theirs) - partner_before;
      state.counters["partner/write"] = partner_writes / static_cast<double>(state.iterations());
    }
    if (idents.stop >= 0) KeltoWriteVar(idents.stop, reinterpret_cast<const char*>(&kStop));
  }
  int status = 0;
  if (state.error_occurred()) kill(partner, SIGKILL);
  waitpid(partner, &status, 0);
  KeltoClose();
  if (!state.error_occurred() && (!WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
    state.SkipWithError("the partner failed");
  }
}

}  // namespace

void RegisterChangeMarkBenchmarks() {
  for (const char type : {'L', 'D', '$'}) {
    for (const char* how : {"kelto", "unmarked", "minimal"}) {
      const std::string name = std::string("mark/write/") + type + "/" + how;
      benchmark::RegisterBenchmark(name.c_str(), Write, type, how);
    }
  }
  benchmark::RegisterBenchmark("mark/two_writers/L/kelto", TwoWriters, true);
  benchmark::RegisterBenchmark("mark/two_writers/L/unmarked", TwoWriters, false);
}

}  // namespace kelto::bench
