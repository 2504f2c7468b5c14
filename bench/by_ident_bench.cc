// Reads and writes by ident of L, D and $ variables, each beside the
// baseline function and a plain copy through KeltoGetPointer.
#include <benchmark/benchmark.h>

#include <algorithm>
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

std::vector<int32_t> IdentsOfType(const OpenTable& table, char type) {
  std::vector<int32_t> idents;
  for (size_t i = 0; i < table.types().size(); ++i) {
    if (table.types()[i] == type) idents.push_back(static_cast<int32_t>(i));
  }
  std::mt19937_64 random(static_cast<uint64_t>(type));
  std::vector<int32_t> order;
  while (order.size() < kOrderLength) {
    std::shuffle(idents.begin(), idents.end(), random);
    order.insert(order.end(), idents.begin(), idents.end());
  }
  return order;
}

char* ValueAt(char* view, int32_t ident) {
  return view + static_cast<size_t>(ident) * KELTO_ITEM_SIZE + offsetof(KeltoVarItem, value);
}

// A caller of the raw view knows the value size from the type letter, so
// its copies have a constant size; a string keeps its terminator.
template <size_t Size>
void RawRead(benchmark::State& state, const std::vector<int32_t>& order) {
  char* view = static_cast<char*>(KeltoGetPointer());
  char destination[KELTO_VALUE_SIZE];
  RunInOrder(state, order, [&](int32_t ident) {
    std::memcpy(destination, ValueAt(view, ident), Size);
    if (Size == KELTO_VALUE_SIZE) destination[Size - 1] = '\0';
    benchmark::DoNotOptimize(destination);
  });
}

template <size_t Size>
void RawWrite(benchmark::State& state, const std::vector<int32_t>& order) {
  char* view = static_cast<char*>(KeltoGetPointer());
  char source[KELTO_VALUE_SIZE] = "a value of some length";
  RunInOrder(state, order, [&](int32_t ident) {
    benchmark::DoNotOptimize(source);
    std::memcpy(ValueAt(view, ident), source, Size);
    benchmark::ClobberMemory();
  });
}

template <template <size_t> class Run>
void ForSizeOf(char type, benchmark::State& state, const std::vector<int32_t>& order) {
  if (type == 'L') return Run<4>::Go(state, order);
  if (type == 'D') return Run<8>::Go(state, order);
  return Run<KELTO_VALUE_SIZE>::Go(state, order);
}

template <size_t Size>
struct RawReadOf {
  static void Go(benchmark::State& state, const std::vector<int32_t>& order) {
    RawRead<Size>(state, order);
  }
};
template <size_t Size>
struct RawWriteOf {
  static void Go(benchmark::State& state, const std::vector<int32_t>& order) {
    RawWrite<Size>(state, order);
  }
};

void Read(benchmark::State& state, char type, const char* how) {
  OpenTable& table = TableOfSize(kTableSize);
  if (!table.ok()) return state.SkipWithError("the table did not open");
  const std::vector<int32_t> order = IdentsOfType(table, type);
  char destination[KELTO_VALUE_SIZE];
  if (std::strcmp(how, "kelto") == 0) {
    RunInOrder(state, order, [&](int32_t ident) {
      benchmark::DoNotOptimize(KeltoReadVar(ident, destination));
      benchmark::DoNotOptimize(destination);
    });
  } else if (std::strcmp(how, "minimal") == 0) {
    RunInOrder(state, order, [&](int32_t ident) {
      benchmark::DoNotOptimize(MinimalReadVar(ident, destination));
      benchmark::DoNotOptimize(destination);
    });
  } else {
    ForSizeOf<RawReadOf>(type, state, order);
  }
}

void Write(benchmark::State& state, char type, const char* how) {
  OpenTable& table = TableOfSize(kTableSize);
  if (!table.ok()) return state.SkipWithError("the table did not open");
  const std::vector<int32_t> order = IdentsOfType(table, type);
  char source[KELTO_VALUE_SIZE] = "a value of some length";
  if (std::strcmp(how, "kelto") == 0) {
    RunInOrder(state, order, [&](int32_t ident) {
      benchmark::DoNotOptimize(source);
      benchmark::DoNotOptimize(KeltoWriteVar(ident, source));
    });
  } else if (std::strcmp(how, "minimal") == 0) {
    RunInOrder(state, order, [&](int32_t ident) {
      benchmark::DoNotOptimize(source);
      benchmark::DoNotOptimize(MinimalWriteVar(ident, source));
    });
  } else {
    ForSizeOf<RawWriteOf>(type, state, order);
  }
}

}  // namespace

void RegisterByIdentBenchmarks() {
  for (const char* operation : {"read", "write"}) {
    for (const char type : {'L', 'D', '$'}) {
      for (const char* how : {"kelto", "minimal", "raw"}) {
        const std::string name = std::string("ident/") + operation + "/" + type + "/" + how;
        if (operation[0] == 'r') {
          benchmark::RegisterBenchmark(name.c_str(), Read, type, how);
        } else {
          benchmark::RegisterBenchmark(name.c_str(), Write, type, how);
        }
      }
    }
  }
}

}  // namespace kelto::bench
