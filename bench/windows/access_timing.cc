// Access by ident and by name beside the minimal function, for the Windows
// build, where no Google Benchmark is packaged: a timing loop of its own. It
// builds on Linux as well, so that both platforms can be set side by side
// with the same loop. Each figure is the median of several timed rounds,
// in nanoseconds per call, and the ratio to the baseline of the same run is
// what counts.
//
//   kelto_access_timing [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "kelto.h"
#include "minimal_access.h"

namespace {

constexpr size_t kCallsPerRound = 1 << 20;

// A table of `count` variables, L, D and $ in turn, in a directory of its
// own; the segment is named after the process so runs never meet.
std::string MakeTable(size_t count) {
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() /
      ("kelto-timing-" + std::to_string(count) + "-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(directory);
  std::ofstream iorsh(directory / "iorsh.mem", std::ios::binary);
  const char types[] = {'L', 'D', '$'};
  for (size_t i = 0; i < count; ++i) iorsh << "VARIABLE_" << i << '=' << types[i % 3] << '\n';
  iorsh.close();
  std::ofstream(directory / "memsh.mem", std::ios::binary).close();
  return directory.generic_string();
}

void SetVariable(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// Nanoseconds per call of `access` over `order`, the median of `rounds`.
template <typename Key, typename Access>
double NanosecondsPerCall(const std::vector<Key>& order, int rounds, Access access) {
  std::vector<double> figures;
  for (int round = 0; round < rounds; ++round) {
    size_t next = 0;
    const auto start = std::chrono::steady_clock::now();
    for (size_t call = 0; call < kCallsPerRound; ++call) {
      access(order[next]);
      if (++next == order.size()) next = 0;
    }
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    figures.push_back(spent.count() / kCallsPerRound);
  }
  std::sort(figures.begin(), figures.end());
  return figures[figures.size() / 2];
}

void Report(const char* figure, size_t count, double kelto, double minimal) {
  std::printf("%-28s %7zu %9.1f %9.1f %7.2f\n", figure, count, kelto, minimal, kelto / minimal);
}

void TimeTable(size_t count, int rounds) {
  const std::string directory = MakeTable(count);
  SetVariable("KELTO_DIR", directory);
  SetVariable("KELTO_SEGMENT", "kelto-timing-" + std::to_string(std::random_device{}()));
  KeltoOpen();
  MinimalAttach(KeltoGetPointer(), KeltoGetNumberOfItems());

  // The L variables in a shuffled order, by ident and by full name.
  std::vector<int32_t> idents;
  std::vector<std::string> names;
  for (size_t i = 0; i < count; i += 3) {
    idents.push_back(static_cast<int32_t>(i));
    names.push_back("IORSH_VARIABLE_" + std::to_string(i));
  }
  std::mt19937_64 random(count);
  std::shuffle(idents.begin(), idents.end(), random);
  std::shuffle(names.begin(), names.end(), random);
  std::vector<const char*> name_order;
  for (const std::string& name : names) name_order.push_back(name.c_str());

  char value[KELTO_VALUE_SIZE] = {};
  volatile char sink = 0;
  Report("read by ident (L)", count,
         NanosecondsPerCall(idents, rounds,
                            [&](int32_t i) {
                              KeltoReadVar(i, value);
                              sink = value[0];
                            }),
         NanosecondsPerCall(idents, rounds, [&](int32_t i) {
           MinimalReadVar(i, value);
           sink = value[0];
         }));
  Report("write by ident (L)", count,
         NanosecondsPerCall(idents, rounds, [&](int32_t i) { KeltoWriteVar(i, value); }),
         NanosecondsPerCall(idents, rounds, [&](int32_t i) { MinimalWriteVar(i, value); }));
  Report("read by name (L)", count,
         NanosecondsPerCall(name_order, rounds,
                            [&](const char* n) {
                              KeltoReadVarName(n, value);
                              sink = value[0];
                            }),
         NanosecondsPerCall(name_order, rounds, [&](const char* n) {
           MinimalReadVarName(n, value);
           sink = value[0];
         }));
  Report(
      "write by name (L)", count,
      NanosecondsPerCall(name_order, rounds, [&](const char* n) { KeltoWriteVarName(n, value); }),
      NanosecondsPerCall(name_order, rounds,
                         [&](const char* n) { MinimalWriteVarName(n, value); }));
  (void)sink;
  MinimalDetach();
  KeltoClose();
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  std::printf("%-28s %7s %9s %9s %7s\n", "figure (ns per call)", "names", "kelto", "minimal",
              "ratio");
  for (const size_t count : {size_t{16}, size_t{1000}}) TimeTable(count, rounds);
  return 0;
}
