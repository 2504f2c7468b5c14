// The console output of Google Benchmark, followed by a summary that sets
// every figure of the library beside its baseline from the same run and
// checks the targets: a ratio holds on a noisy machine where absolute
// times do not.
#ifndef KELTO_BENCH_RATIO_REPORTER_H_
#define KELTO_BENCH_RATIO_REPORTER_H_

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace kelto::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

  // False when a figure missed its target (the exit status does not depend
  // on it: timing is never asserted).
  bool all_targets_met() const { return all_targets_met_; }
  // True when a benchmark could not run at all.
  bool any_errors() const { return any_errors_; }

 private:
  struct Figure {
    std::vector<double> nanoseconds;  // one per repetition
    double allocations = -1;
    double heap_bytes = -1;  // held per definition after Open
    double Median() const;
  };
  void PrintRatios();
  void PrintOpenGrowth();
  void PrintPeers();
  void PrintMarking();
  void Check(bool met) { all_targets_met_ = all_targets_met_ && met; }

  std::map<std::string, Figure> figures_;
  std::vector<std::string> order_;
  bool all_targets_met_ = true;
  bool any_errors_ = false;
};

}  // namespace kelto::bench

#endif  // KELTO_BENCH_RATIO_REPORTER_H_
