// Boost.Interprocess beside kelto: a managed shared-memory segment holding
// the same variables as named int32_t and double objects, each read with
// find<T>(name) and a copy of the value, as a program that chose it would.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <boost/interprocess/managed_shared_memory.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_loop.h"
#include "bench_registry.h"
#include "bench_table.h"
#include "kelto.h"

namespace kelto::bench {
namespace {

namespace ipc = boost::interprocess;

constexpr size_t kTableSizes[] = {16, 1000, 100000};
constexpr size_t kMinimumOrder = 4096;

// The segment of the last table size asked for, removed when replaced.
class BoostTable {
 public:
  explicit BoostTable(const OpenTable& table)
      : name_("kelto-bench-boost-" + std::to_string(getpid())), size_(table.size()) {
    ipc::shared_memory_object::remove(name_.c_str());
    // Each named object costs its header, its index node and its name.
    segment_ = std::make_unique<ipc::managed_shared_memory>(ipc::create_only, name_.c_str(),
                                                            65536 + table.size() * 512);
    for (size_t i = 0; i < table.size(); ++i) {
      const char* name = table.full_names()[i].c_str();
      if (table.types()[i] == 'D') {
        segment_->construct<double>(name)(static_cast<double>(i) + 0.5);
      } else {
        segment_->construct<int32_t>(name)(static_cast<int32_t>(i));
      }
    }
  }
  ~BoostTable() {
    segment_.reset();
    ipc::shared_memory_object::remove(name_.c_str());
  }
  BoostTable(const BoostTable&) = delete;
  BoostTable& operator=(const BoostTable&) = delete;

  size_t size() const { return size_; }
  ipc::managed_shared_memory& segment() { return *segment_; }

 private:
  std::string name_;
  size_t size_;
  std::unique_ptr<ipc::managed_shared_memory> segment_;
};

std::unique_ptr<BoostTable> g_boost;

BoostTable& BoostTableFor(const OpenTable& table) {
  if (!g_boost || g_boost->size() != table.size()) {
    g_boost.reset();
    g_boost = std::make_unique<BoostTable>(table);
  }
  return *g_boost;
}

template <typename Value>
void Read(benchmark::State& state, size_t table_size, bool kelto) {
  OpenTable& table = TableOfSize(table_size);
  if (!table.ok()) return state.SkipWithError("the table did not open");
  const char type = sizeof(Value) == sizeof(double) ? 'D' : 'L';
  std::vector<std::string> keep;
  for (size_t i = 0; i < table.size(); ++i) {
    if (table.types()[i] == type) keep.push_back(table.full_names()[i]);
  }
  if (keep.empty()) return state.SkipWithError("no variable of this type");
  const std::vector<const char*> order = RandomOrder(keep, kMinimumOrder, table_size);
  if (kelto) {
    RunInOrder(state, order, [](const char* name) {
      if constexpr (sizeof(Value) == sizeof(double)) {
        benchmark::DoNotOptimize(KeltoReadDouble(name));
      } else {
        benchmark::DoNotOptimize(KeltoReadInt32(name));
      }
    });
    return;
  }
  ipc::managed_shared_memory& segment = BoostTableFor(table).segment();
  RunInOrder(state, order, [&segment](const char* name) {
    const std::pair<Value*, size_t> found = segment.find<Value>(name);
    Value value = found.first != nullptr ? *found.first : Value{};
    benchmark::DoNotOptimize(value);
  });
}

}  // namespace

void RegisterBoostPeer() {
  for (const size_t size : kTableSizes) {
    const std::string prefix = "peer/boost/" + std::to_string(size) + "/";
    benchmark::RegisterBenchmark((prefix + "ReadInt32/kelto").c_str(), Read<int32_t>, size, true);
    benchmark::RegisterBenchmark((prefix + "ReadInt32/boost").c_str(), Read<int32_t>, size, false);
    benchmark::RegisterBenchmark((prefix + "ReadDouble/kelto").c_str(), Read<double>, size, true);
    benchmark::RegisterBenchmark((prefix + "ReadDouble/boost").c_str(), Read<double>, size, false);
  }
}

void StopBoostPeer() { g_boost.reset(); }

}  // namespace kelto::bench
