// Values other nodes publish, written into the local variables of the same
// name. Each variable has one owner, the node in its topic; an update whose
// sequence number is not newer than the last one seen is stale (a retained
// copy heard again after a reconnect, or one overtaken) and is dropped.
// A variable that is missing here, or whose type differs from the owner's,
// gets one line on stderr and is never written.
#ifndef KELTO_TOOLS_BRIDGE_IMPORT_TABLE_H_
#define KELTO_TOOLS_BRIDGE_IMPORT_TABLE_H_

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
  explicit ImportTable(std::vector<ImportRule> rules);

  // The distinct nodes imported from, for subscribing.
  std::vector<std::string> nodes() const;
  // Whether a variable of `node` is to be mirrored here.
  bool Covers(const std::string& node, const std::string& name) const;

  // A birth message of another node: the owner's types.
  void NoteBirth(const ParsedTopic& topic, std::string_view payload);
  // A value message of another node, written into `table` when it is
  // covered, fits and is newer than the last one.
  void Apply(kelto_live* table, const ParsedTopic& topic, std::string_view payload);

  // Forgets every local ident and sequence number, for a new table.
  void Reset();

  // Values written so far (for the log line at exit and for tests).
  uint64_t applied() const { return applied_; }

 private:
  struct Target {
    int64_t ident = -1;  // -1: not mirrored (missing or incompatible here)
    char local_type = 0;
    bool seen = false;
    uint64_t last_seq = 0;
    bool reported = false;
  };
  Target& TargetFor(kelto_live* table, const ParsedTopic& topic, const std::string& key);
  void Report(Target& target, const ParsedTopic& topic, const std::string& why);

  std::vector<ImportRule> rules_;
  std::unordered_map<std::string, Target> targets_;
  std::unordered_map<std::string, std::map<std::string, char>> owner_types_;
  uint64_t applied_ = 0;
};

}  // namespace kelto::bridge

#endif  // KELTO_TOOLS_BRIDGE_IMPORT_TABLE_H_
