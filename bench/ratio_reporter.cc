#include "ratio_reporter.h"

#include <cstdio>

namespace kelto::bench {
namespace {

constexpr double kTargetRatio = 1.5;

// "name/1000/ReadVarName/kelto" -> "name/1000/ReadVarName", "kelto"
void SplitVariant(const std::string& name, std::string* group, std::string* variant) {
  const size_t slash = name.rfind('/');
  *group = slash == std::string::npos ? name : name.substr(0, slash);
  *variant = slash == std::string::npos ? "" : name.substr(slash + 1);
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs) {
    if (run.error_occurred) any_errors_ = true;
    if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
    std::string name = run.benchmark_name();
    // UseRealTime() adds this to the name; the figure is the same one.
    const std::string suffix = "/real_time";
    if (name.size() > suffix.size() && name.ends_with(suffix))
      name.resize(name.size() - suffix.size());
    // Open and the bounce wait for the file system and for another process:
    // their figure is wall time. A single-process access is its CPU time,
    // which other work on a shared machine disturbs far less.
    const bool wall_time = StartsWith(name, "open/") || StartsWith(name, "bounce/");
    const double time = wall_time ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
    const double nanoseconds = time * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
    auto [figure, inserted] = figures_.try_emplace(name);
    if (inserted) order_.push_back(name);
    if (inserted || nanoseconds < figure->second.nanoseconds) {
      figure->second.nanoseconds = nanoseconds;
    }
    const auto allocations = run.counters.find("allocs/call");
    if (allocations != run.counters.end()) {
      figure->second.allocations = std::max(figure->second.allocations, allocations->second.value);
    }
  }
}

void RatioReporter::Finalize() {
  ConsoleReporter::Finalize();
  PrintRatios();
  PrintOpenGrowth();
  std::printf("\n%s\n", all_targets_met_ ? "every target met" : "SOME TARGETS MISSED");
  std::fflush(stdout);
}

void RatioReporter::PrintRatios() {
  std::printf("\n%-34s %10s %10s %8s %10s %8s %8s  %s\n", "figure (ns per call)", "kelto",
              "baseline", "ratio", "raw", "ratio", "allocs", "target");
  for (const std::string& name : order_) {
    std::string group;
    std::string variant;
    SplitVariant(name, &group, &variant);
    if (variant != "kelto") continue;
    const Figure& kelto = figures_[name];
    const char* baseline_variant = StartsWith(group, "open/")     ? "files_and_log"
                                   : StartsWith(group, "bounce/") ? "raw_pointer"
                                                                  : "minimal";
    const auto baseline = figures_.find(group + "/" + baseline_variant);
    const auto raw = figures_.find(group + "/raw");
    const double ratio =
        baseline != figures_.end() ? kelto.nanoseconds / baseline->second.nanoseconds : 0;
    // The 1.5 target holds for successful accesses by ident and by name.
    const bool ratio_target = StartsWith(group, "ident/") || StartsWith(group, "name/");
    const bool allocation_target = ratio_target || StartsWith(group, "miss/");
    std::string verdict;
    if (ratio_target && baseline != figures_.end()) {
      const bool met = ratio <= kTargetRatio;
      verdict += met ? "<=1.5x ok" : "<=1.5x MISSED";
      all_targets_met_ = all_targets_met_ && met;
    }
    if (allocation_target && kelto.allocations >= 0) {
      const bool met = kelto.allocations == 0;
      verdict += met ? (verdict.empty() ? "no alloc ok" : ", no alloc ok") : ", ALLOCATES";
      all_targets_met_ = all_targets_met_ && met;
    }
    char raw_text[32] = "";
    char raw_ratio[32] = "";
    if (raw != figures_.end()) {
      std::snprintf(raw_text, sizeof raw_text, "%.1f", raw->second.nanoseconds);
      std::snprintf(raw_ratio, sizeof raw_ratio, "%.2f",
                    kelto.nanoseconds / raw->second.nanoseconds);
    }
    char allocations[32] = "";
    if (kelto.allocations >= 0)
      std::snprintf(allocations, sizeof allocations, "%g", kelto.allocations);
    std::printf("%-34s %10.1f %10.1f %8.2f %10s %8s %8s  %s\n", group.c_str(), kelto.nanoseconds,
                baseline != figures_.end() ? baseline->second.nanoseconds : 0.0, ratio, raw_text,
                raw_ratio, allocations, verdict.c_str());
  }
}

void RatioReporter::PrintOpenGrowth() {
  const auto small = figures_.find("open/1000/kelto");
  const auto large = figures_.find("open/100000/kelto");
  std::printf("\n%-34s %14s %14s\n", "Open per definition (ns)", "kelto", "files_and_log");
  for (const char* count : {"1000", "10000", "100000"}) {
    const std::string group = std::string("open/") + count;
    const auto kelto = figures_.find(group + "/kelto");
    const auto baseline = figures_.find(group + "/files_and_log");
    if (kelto == figures_.end()) continue;
    const double definitions = std::stod(count);
    std::printf("%-34s %14.1f %14.1f\n", group.c_str(), kelto->second.nanoseconds / definitions,
                baseline != figures_.end() ? baseline->second.nanoseconds / definitions : 0.0);
  }
  if (small == figures_.end() || large == figures_.end()) return;
  const double growth = (large->second.nanoseconds / 100000) / (small->second.nanoseconds / 1000);
  const bool met = growth <= kTargetRatio;
  all_targets_met_ = all_targets_met_ && met;
  std::printf("%-34s %14.2f  %s\n", "growth 100000 vs 1000", growth,
              met ? "<=1.5x ok" : "<=1.5x MISSED");
}

}  // namespace kelto::bench
