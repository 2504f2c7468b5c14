// The variables this node publishes: those matching an --export pattern
// and no --import pattern (a mirrored variable has its owner elsewhere and
// is never published again here), and whose type holds a value.
#ifndef KELTO_TOOLS_BRIDGE_EXPORT_TABLE_H_
#define KELTO_TOOLS_BRIDGE_EXPORT_TABLE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bridge/options.h"
#include "kelto_live.h"

namespace kelto::bridge {

struct ExportedVariable {
  uint32_t ident = 0;
  std::string name;
  std::string topic;
  char type = 0;
  int32_t size = 0;
  bool settable = false;
  std::optional<double> deadband;
  std::optional<double> last_number;  // the last number published, for the deadband
  // The last value published, as JSON: an equal one is not published
  // again, so two bridges that mirror each other's tables stop after one
  // round. Every (re)connect or new birth still sends every value.
  std::optional<std::string> last_json;
};

class ExportTable {
 public:
  ExportTable() = default;
  // Reads the names and types of the attached table.
  ExportTable(kelto_live* table, const BridgeOptions& options, std::string_view segment);

  std::vector<ExportedVariable>& variables() { return variables_; }
  const std::vector<ExportedVariable>& variables() const { return variables_; }
  // The slot of an ident or a name; nullopt when it is not exported.
  std::optional<uint32_t> SlotOfIdent(uint32_t ident) const;
  std::optional<uint32_t> SlotOfName(const std::string& name) const;
  // The exported idents, for waiting on their changes only.
  const std::vector<uint32_t>& idents() const { return idents_; }

 private:
  std::vector<ExportedVariable> variables_;
  std::vector<int32_t> slot_of_ident_;
  std::unordered_map<std::string, uint32_t> slot_of_name_;
  std::vector<uint32_t> idents_;
};

// True when `name` matches any of `patterns`.
bool MatchesAny(const std::vector<std::string>& patterns, const std::string& name);

}  // namespace kelto::bridge

#endif  // KELTO_TOOLS_BRIDGE_EXPORT_TABLE_H_
