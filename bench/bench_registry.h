// Each file of the suite registers its benchmarks in the order in which
// their figures are best read: every measurement beside its baseline.
#ifndef KELTO_BENCH_BENCH_REGISTRY_H_
#define KELTO_BENCH_BENCH_REGISTRY_H_

namespace kelto::bench {

void RegisterByIdentBenchmarks();
void RegisterByNameBenchmarks();
void RegisterOpenBenchmarks();
void RegisterBounceBenchmarks();

}  // namespace kelto::bench

#endif  // KELTO_BENCH_BENCH_REGISTRY_H_
