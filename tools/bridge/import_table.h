// Values other nodes publish, written into the local variables of the same
// name. Each variable has one owner, the node in its topic.
//
// An owner's bridge names a run in its birth and in every value. Updates
// are ordered by sequence number only within the run of the owner's latest
// birth, and every birth starts the order over: an update not newer than
// the last one seen of that run is stale (a retained copy heard again, or
// one overtaken) and is dropped. A value of a run the latest birth did not
// announce, or with a sequence number no clock has reached yet, cannot be
// the owner's: it is refused and counted, with at most one line a minute
// per node. Until a birth of the owner is known, values are ordered within
// their own run.
//
// A variable that is missing here, or whose type differs from the owner's,
// gets one line on stderr (again after a birth that still differs) and is
// never written.
#ifndef KELTO_TOOLS_BRIDGE_IMPORT_TABLE_H_
#define KELTO_TOOLS_BRIDGE_IMPORT_TABLE_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bridge/options.h"
#include "bridge/topics.h"
#include "kelto_live.h"

namespace kelto::bridge {

class ImportTable {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ImportTable(std::vector<ImportRule> rules);

  // The distinct nodes imported from, for subscribing.
  std::vector<std::string> nodes() const;
  // Whether a variable of `node` is to be mirrored here.
  bool Covers(const std::string& node, const std::string& name) const;

  // A birth message of another node: the owner's run and types.
  void NoteBirth(const ParsedTopic& topic, std::string_view payload);
  // A value message of another node, written into `table` when it is
  // covered, fits, belongs to the owner's run and is newer than the last.
  // `now_us`: this machine's clock, microseconds since the epoch.
  void Apply(kelto_live* table, const ParsedTopic& topic, std::string_view payload, uint64_t now_us,
             Clock::time_point now);

  // Forgets every local ident and sequence number, for a new table.
  void Reset();

  // Values written so far (for the log line at exit and for tests).
  uint64_t applied() const { return applied_; }

 private:
  struct Target {
    int64_t ident = -1;  // -1: not mirrored (missing or incompatible here)
    char local_type = 0;
    bool seen = false;
    std::string last_run;
    uint64_t last_seq = 0;
    uint64_t birth = 0;  // the owner's birth the order above belongs to
    bool reported = false;
    uint64_t type_reported_birth = 0;
  };
  struct Owner {
    std::string run;
    uint64_t birth = 0;  // distinct for every birth heard
    std::map<std::string, char> types;
  };
  struct Refusals {
    uint64_t unknown_run = 0;
    uint64_t impossible_seq = 0;
    bool logged = false;
    Clock::time_point last_logged{};
  };
  Target& TargetFor(kelto_live* table, const ParsedTopic& topic, const std::string& key);
  void Report(Target& target, const ParsedTopic& topic, const std::string& why);
  // False (after counting the refusal) for a value that cannot be the owner's.
  bool Admit(const ParsedTopic& topic, const Owner* owner, const std::string& run, uint64_t seq,
             uint64_t now_us, Clock::time_point now);
  // False for an update not newer than the last of the same order.
  bool InOrder(Target& target, const Owner* owner, const std::string& run, uint64_t seq);

  std::vector<ImportRule> rules_;
  std::unordered_map<std::string, Target> targets_;
  std::unordered_map<std::string, Owner> owners_;
  std::map<std::string, Refusals> refusals_;  // per imported node
  size_t type_entries_ = 0;                   // over all owners
  uint64_t births_ = 0;
  uint64_t applied_ = 0;
};

}  // namespace kelto::bridge

#endif  // KELTO_TOOLS_BRIDGE_IMPORT_TABLE_H_
