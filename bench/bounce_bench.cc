// Two processes bounce a counter through one L variable: this process
// writes an odd value, a forked partner answers with the next even one.
// One iteration is one round trip, by ident through the library beside the
// same through raw pointers into the view.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "bench_registry.h"
#include "bench_table.h"
#include "kelto.h"

namespace kelto::bench {
namespace {

constexpr int32_t kStop = -2;
// A partner that stopped answering fails the benchmark instead of hanging it.
constexpr long kGiveUpAfterNs = 10L * 1000 * 1000 * 1000;

long NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000L + now.tv_nsec;
}

class ByIdent {
 public:
  ByIdent() : ident_(KeltoGetIdentVarName("IORSH_BOUNCE")) {}
  bool ok() const { return ident_ >= 0; }
  int32_t Load() const {
    int32_t value;
    KeltoReadVar(ident_, reinterpret_cast<char*>(&value));
    return value;
  }
  void Store(int32_t value) const { KeltoWriteVar(ident_, reinterpret_cast<const char*>(&value)); }

 private:
  int32_t ident_;
};

class ByPointer {
 public:
  ByPointer() {
    const int32_t ident = KeltoGetIdentVarName("IORSH_BOUNCE");
    char* view = static_cast<char*>(KeltoGetPointer());
    if (ident >= 0 && view != nullptr) {
      value_ = reinterpret_cast<int32_t*>(view + static_cast<size_t>(ident) * KELTO_ITEM_SIZE +
                                          offsetof(KeltoVarItem, value));
    }
  }
  bool ok() const { return value_ != nullptr; }
  int32_t Load() const { return __atomic_load_n(value_, __ATOMIC_RELAXED); }
  void Store(int32_t value) const { __atomic_store_n(value_, value, __ATOMIC_RELAXED); }

 private:
  int32_t* value_ = nullptr;
};

// Spins until `done` holds for the variable's value; false after the deadline.
// After a while it yields the processor at every turn: when there are fewer
// free cores than the two processes, spinning on would keep the partner
// from running until the scheduler steps in, milliseconds later.
template <typename Variable, typename Done>
bool SpinUntil(const Variable& variable, Done done, int32_t* seen) {
  constexpr unsigned kSpinsBeforeYielding = 2000;
  long deadline = 0;
  for (unsigned spins = 1;; ++spins) {
    *seen = variable.Load();
    if (done(*seen)) return true;
    if (spins < kSpinsBeforeYielding) {
      __builtin_ia32_pause();
    } else {
      sched_yield();
    }
    if ((spins & 0xffff) == 0) {
      const long now = NowNs();
      if (deadline == 0) deadline = now + kGiveUpAfterNs;
      if (now > deadline) return false;
    }
  }
}

template <typename Variable>
[[noreturn]] void Answer() {
  KeltoOpen();
  const Variable variable;
  int exit_code = variable.ok() ? 0 : 1;
  int32_t seen = 0;
  while (exit_code == 0) {
    if (!SpinUntil(
            variable, [](int32_t value) { return value == kStop || value % 2 != 0; }, &seen)) {
      exit_code = 2;
    } else if (seen == kStop) {
      break;
    } else {
      variable.Store(seen + 1);
    }
  }
  KeltoClose();
  _exit(exit_code);
}

template <typename Variable>
void Bounce(benchmark::State& state) {
  CloseSharedTable();
  BenchPlace place;
  place.WriteFile("iorsh.mem", "BOUNCE=L\n");
  place.WriteFile("memsh.mem", "");
  place.PreventLog();
  // The partner forks before anything is open: the table is not inherited.
  const pid_t partner = fork();
  if (partner < 0) return state.SkipWithError("fork failed");
  if (partner == 0) Answer<Variable>();
  KeltoOpen();
  {
    const Variable variable;
    if (!variable.ok()) {
      state.SkipWithError("the table did not open");
    } else {
      int32_t sent = 1;
      int32_t seen = 0;
      for (auto _ : state) {
        variable.Store(sent);
        const int32_t expected = sent + 1;
        if (!SpinUntil(
                variable, [expected](int32_t value) { return value == expected; }, &seen)) {
          state.SkipWithError("the partner stopped answering");
          break;
        }
        sent = sent + 2 > 1000000000 ? 1 : sent + 2;
      }
      variable.Store(kStop);
    }
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

void RegisterBounceBenchmarks() {
  benchmark::RegisterBenchmark("bounce/L/kelto", Bounce<ByIdent>)->UseRealTime();
  benchmark::RegisterBenchmark("bounce/L/raw_pointer", Bounce<ByPointer>)->UseRealTime();
}

}  // namespace kelto::bench
