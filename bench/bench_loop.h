// The loop every access benchmark runs: one access per iteration, cycling
// through a precomputed order, with the heap allocations it made reported
// as the "allocs/call" counter.
#ifndef KELTO_BENCH_BENCH_LOOP_H_
#define KELTO_BENCH_BENCH_LOOP_H_

#include <benchmark/benchmark.h>

#include <vector>

#include "allocation_counter.h"

namespace kelto::bench {

template <typename Key, typename Access>
void RunInOrder(benchmark::State& state, const std::vector<Key>& order, Access access) {
  size_t next = 0;
  const uint64_t allocations_before = AllocationCount();
  for (auto _ : state) {
    access(order[next]);
    if (++next == order.size()) next = 0;
  }
  const uint64_t allocations = AllocationCount() - allocations_before;
  state.counters["allocs/call"] = benchmark::Counter(static_cast<double>(allocations) /
                                                     static_cast<double>(state.iterations()));
}

}  // namespace kelto::bench

#endif  // KELTO_BENCH_BENCH_LOOP_H_
