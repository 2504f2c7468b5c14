// Each file of the suite registers its benchmarks in the order in which
// their figures are best read: every measurement beside its baseline.
#ifndef KELTO_BENCH_BENCH_REGISTRY_H_
#define KELTO_BENCH_BENCH_REGISTRY_H_

namespace kelto::bench {

void RegisterByIdentBenchmarks();
void RegisterByNameBenchmarks();
void RegisterOpenBenchmarks();
void RegisterBounceBenchmarks();
void RegisterChangeMarkBenchmarks();

// The peers: what a program would use instead, on the same variables. Each
// file is built only when its library is installed; a missing server is
// reported and skipped at run time. Stop releases what the peer holds.
void RegisterBoostPeer();
void StopBoostPeer();
void RegisterRedisPeer();
void StopRedisPeer();

}  // namespace kelto::bench

#endif  // KELTO_BENCH_BENCH_REGISTRY_H_
