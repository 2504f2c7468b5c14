// Access by full name (and through a facade) with tables of 16, 1,000 and
// 100,000 variables, looked up in random order, beside the baseline
// function doing the same lookups; then failed lookups with no log open.
#include <benchmark/benchmark.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "bench_loop.h"
#include "bench_registry.h"
#include "bench_table.h"
#include "kelto.h"
#include "minimal_access.h"

namespace kelto::bench {
namespace {

constexpr size_t kTableSizes[] = {16, 1000, 100000};
// Small tables are cycled through several shuffles, so that the order of
// lookups does not repeat with a short period.
constexpr size_t kMinimumOrder = 4096;

using Access = void (*)(const char* name);

char g_destination[KELTO_VALUE_SIZE];
char g_source[KELTO_VALUE_SIZE] = "12345678";

void KeltoRead(const char* name) {
  benchmark::DoNotOptimize(KeltoReadVarName(name, g_destination));
  benchmark::DoNotOptimize(g_destination);
}
void MinimalRead(const char* name) {
  benchmark::DoNotOptimize(MinimalReadVarName(name, g_destination));
  benchmark::DoNotOptimize(g_destination);
}
void KeltoWrite(const char* name) {
  benchmark::DoNotOptimize(g_source);
  benchmark::DoNotOptimize(KeltoWriteVarName(name, g_source));
}
void MinimalWrite(const char* name) {
  benchmark::DoNotOptimize(g_source);
  benchmark::DoNotOptimize(MinimalWriteVarName(name, g_source));
}
void KeltoInt32(const char* name) { benchmark::DoNotOptimize(KeltoReadInt32(name)); }
void MinimalInt32(const char* name) {
  MinimalReadVarName(name, g_destination);
  int32_t value;
  std::memcpy(&value, g_destination, sizeof value);
  benchmark::DoNotOptimize(value);
}
void KeltoDouble(const char* name) { benchmark::DoNotOptimize(KeltoReadDouble(name)); }
void MinimalDouble(const char* name) {
  MinimalReadVarName(name, g_destination);
  double value;
  std::memcpy(&value, g_destination, sizeof value);
  benchmark::DoNotOptimize(value);
}
// The facade is given the name without its prefix; its baseline looks up
// the full name of the same variable, so the figure shows what composing
// the full name costs.
void FacadeRead(const char* short_name) {
  benchmark::DoNotOptimize(IORShReadVarName(short_name, g_destination));
  benchmark::DoNotOptimize(g_destination);
}

enum class Names { kFull, kIorshShort, kIorshFull, kMissing, kTooLongShort, kTooLongFull };

std::vector<std::string> NamesFor(const OpenTable& table, Names names) {
  switch (names) {
    case Names::kFull: return table.full_names();
    case Names::kIorshShort: return table.iorsh_short_names();
    case Names::kIorshFull: {
      std::vector<std::string> full;
      for (const std::string& name : table.iorsh_short_names()) full.push_back("IORSH_" + name);
      return full;
    }
    case Names::kMissing: {
      // Near misses, as a caller's typo makes them: the same names with
      // their last character in lower case.
      std::vector<std::string> missing = table.full_names();
      for (std::string& name : missing) {
        name.back() = static_cast<char>(std::tolower(static_cast<unsigned char>(name.back())));
      }
      return missing;
    }
    // Longer than any full name can be (255 characters): they cannot be
    // found, and must not make the facade allocate either.
    case Names::kTooLongShort:
    case Names::kTooLongFull: {
      std::vector<std::string> too_long;
      for (const std::string& name : table.iorsh_short_names()) {
        too_long.push_back((names == Names::kTooLongFull ? "IORSH_" : "") + name +
                           std::string(300 - name.size(), 'X'));
      }
      return too_long;
    }
  }
  return {};
}

// Both the facade and its baseline walk the iorsh set in the same order:
// the seed depends on the table size only.
void ByName(benchmark::State& state, size_t table_size, Names names, Access access) {
  OpenTable& table = TableOfSize(table_size);
  if (!table.ok()) return state.SkipWithError("the table did not open");
  const std::vector<std::string> texts = NamesFor(table, names);
  const std::vector<const char*> order = RandomOrder(texts, kMinimumOrder, table_size);
  RunInOrder(state, order, access);
}

void MissByIdent(benchmark::State& state, size_t table_size, bool kelto) {
  OpenTable& table = TableOfSize(table_size);
  if (!table.ok()) return state.SkipWithError("the table did not open");
  std::vector<int32_t> order;
  for (int32_t k = 0; k < 64; ++k) {
    order.push_back(static_cast<int32_t>(table_size) + k * 37);
    order.push_back(-1 - k * 101);
  }
  char destination[KELTO_VALUE_SIZE];
  if (kelto) {
    RunInOrder(state, order,
               [&](int32_t ident) { benchmark::DoNotOptimize(KeltoReadVar(ident, destination)); });
  } else {
    RunInOrder(state, order, [&](int32_t ident) {
      benchmark::DoNotOptimize(MinimalReadVar(ident, destination));
    });
  }
}

void Register(const std::string& name, size_t size, Names names, Access access) {
  benchmark::RegisterBenchmark(name.c_str(), ByName, size, names, access);
}

}  // namespace

void RegisterByNameBenchmarks() {
  struct Pair {
    const char* operation;
    Names names;
    Access kelto;
    Names baseline_names;
    Access minimal;
  };
  const Pair pairs[] = {
      {"ReadVarName", Names::kFull, KeltoRead, Names::kFull, MinimalRead},
      {"WriteVarName", Names::kFull, KeltoWrite, Names::kFull, MinimalWrite},
      {"ReadInt32", Names::kFull, KeltoInt32, Names::kFull, MinimalInt32},
      {"ReadDouble", Names::kFull, KeltoDouble, Names::kFull, MinimalDouble},
      {"IORShReadVarName", Names::kIorshShort, FacadeRead, Names::kIorshFull, MinimalRead},
  };
  for (const size_t size : kTableSizes) {
    const std::string prefix = "name/" + std::to_string(size) + "/";
    for (const Pair& pair : pairs) {
      Register(prefix + pair.operation + "/kelto", size, pair.names, pair.kelto);
      Register(prefix + pair.operation + "/minimal", size, pair.baseline_names, pair.minimal);
    }
    // A failed lookup writes one log line when a log is open; these tables
    // run without one, so the figure is the lookup alone.
    const std::string miss = "miss/" + std::to_string(size) + "/";
    Register(miss + "ReadVarName/kelto", size, Names::kMissing, KeltoRead);
    Register(miss + "ReadVarName/minimal", size, Names::kMissing, MinimalRead);
    Register(miss + "IORShReadVarName_too_long/kelto", size, Names::kTooLongShort, FacadeRead);
    Register(miss + "IORShReadVarName_too_long/minimal", size, Names::kTooLongFull, MinimalRead);
    benchmark::RegisterBenchmark((miss + "ReadVar/kelto").c_str(), MissByIdent, size, true);
    benchmark::RegisterBenchmark((miss + "ReadVar/minimal").c_str(), MissByIdent, size, false);
  }
}

}  // namespace kelto::bench
