// The benchmark suite of kelto. Every benchmark makes its own temporary
// directory and segment name; nothing touches the default table.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>

#include "bench_registry.h"
#include "bench_table.h"
#include "ratio_reporter.h"

int main(int argc, char** argv) {
  // Registered before the flags are read, so that a filter sees them all.
  kelto::bench::RegisterByIdentBenchmarks();
  kelto::bench::RegisterByNameBenchmarks();
  kelto::bench::RegisterOpenBenchmarks();
  kelto::bench::RegisterBounceBenchmarks();
  kelto::bench::RegisterChangeMarkBenchmarks();
#ifdef KELTO_BENCH_BOOST_PEER
  kelto::bench::RegisterBoostPeer();
#else
  std::fprintf(stderr, "kelto_bench: built without Boost (Debian: libboost-dev); no Boost peer\n");
#endif
#ifdef KELTO_BENCH_REDIS_PEER
  kelto::bench::RegisterRedisPeer();
#else
  std::fprintf(stderr,
               "kelto_bench: built without hiredis (Debian: libhiredis-dev); no Redis peer\n");
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  kelto::bench::RatioReporter reporter(isatty(STDOUT_FILENO) != 0
                                           ? benchmark::ConsoleReporter::OO_ColorTabular
                                           : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
#ifdef KELTO_BENCH_BOOST_PEER
  kelto::bench::StopBoostPeer();
#endif
#ifdef KELTO_BENCH_REDIS_PEER
  kelto::bench::StopRedisPeer();
#endif
  kelto::bench::CloseSharedTable();
  benchmark::Shutdown();
  // Missed targets do not fail the run (timing is never asserted); a
  // benchmark that could not run does.
  return reporter.any_errors() ? 1 : 0;
}
