// Open of 1,000, 10,000 and 100,000 definitions, shown per definition so
// that any growth beyond linear stands out, beside the least an Open can
// cost: reading the same two files and writing the same log lines, each
// flushed as Open flushes them.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "bench_registry.h"
#include "bench_table.h"
#include "kelto.h"

namespace kelto::bench {
namespace {

constexpr size_t kDefinitionCounts[] = {1000, 10000, 100000};

void WriteDefinitions(const BenchPlace& place, size_t count) {
  const std::vector<std::string> names = MakeVariableNames(count, 0x6f70656e + count);
  place.WriteFile("iorsh.mem", DefinitionLines(names, 0, count / 2, nullptr));
  place.WriteFile("memsh.mem", DefinitionLines(names, count / 2, count - count / 2, nullptr));
}

// Heap bytes in use by the whole process, mapped chunks included.
double HeapBytesInUse() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd);
}

void ReportPerDefinition(benchmark::State& state, size_t count, uint64_t allocations) {
  const double definitions = static_cast<double>(count);
  state.counters["definitions"] = definitions;
  state.counters["per_definition"] = benchmark::Counter(
      definitions, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["allocs/definition"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations()) / definitions;
}

void OpenAndClose(benchmark::State& state, size_t count) {
  CloseSharedTable();
  BenchPlace place;
  WriteDefinitions(place, count);
  uint64_t allocations = 0;
  double held = 0;
  for (auto _ : state) {
    const uint64_t before = AllocationCount();
    const double heap_before = HeapBytesInUse();
    KeltoOpen();
    allocations += AllocationCount() - before;
    state.PauseTiming();
    // What the library keeps between calls: the index, the log's stream.
    held = HeapBytesInUse() - heap_before;
    const bool opened = KeltoGetNumberOfItems() == count;
    KeltoClose();
    state.ResumeTiming();
    if (!opened) return state.SkipWithError("Open did not find every definition");
  }
  ReportPerDefinition(state, count, allocations);
  state.counters["heap_bytes/definition"] = held / static_cast<double>(count);
}

// What Open cannot avoid: every line read, every definition split, its full
// name composed and its log line written and flushed.
void ReadFile(const char* path, const char* prefix, std::FILE* log, int* ident) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return;
  char line[1024];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (line[0] == '\0' || line[0] == '[' || line[0] == ';' || line[0] == '/') continue;
    char* equals = std::strchr(line, '=');
    if (equals == nullptr) continue;
    const char type = equals[1];
    *equals = '\0';
    char name[sizeof line + 8];
    std::snprintf(name, sizeof name, "%s%s", prefix, line);
    std::fprintf(log, "%d %s %c %ld\n", (*ident)++, name, type, 4L);
    std::fflush(log);
  }
  std::fclose(file);
}

void FilesAndLog(benchmark::State& state, size_t count) {
  CloseSharedTable();
  BenchPlace place;
  WriteDefinitions(place, count);
  const std::string iorsh = place.Path("iorsh.mem");
  const std::string memsh = place.Path("memsh.mem");
  const std::string log_path = place.Path("kelto_log.txt");
  uint64_t allocations = 0;
  for (auto _ : state) {
    const uint64_t before = AllocationCount();
    std::FILE* log = std::fopen(log_path.c_str(), "w");
    if (log == nullptr) return state.SkipWithError("cannot write the log");
    std::fprintf(log, "kelto v%s\n", KELTO_VERSION);
    std::fflush(log);
    int ident = 0;
    ReadFile(iorsh.c_str(), "IORSH_", log, &ident);
    ReadFile(memsh.c_str(), "MEMSH_", log, &ident);
    std::fclose(log);
    allocations += AllocationCount() - before;
  }
  ReportPerDefinition(state, count, allocations);
}

}  // namespace

void RegisterOpenBenchmarks() {
  for (const size_t count : kDefinitionCounts) {
    const std::string prefix = "open/" + std::to_string(count) + "/";
    benchmark::RegisterBenchmark((prefix + "kelto").c_str(), OpenAndClose, count)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark((prefix + "files_and_log").c_str(), FilesAndLog, count)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
}

}  // namespace kelto::bench
