#include "bridge/export_table.h"

#include "bridge/topics.h"

namespace kelto::bridge {
namespace {

bool IsImported(const BridgeOptions& options, const std::string& name) {
  for (const ImportRule& rule : options.imports) {
    if (kelto_live_match(rule.pattern.c_str(), name.c_str())) return true;
  }
  return false;
}

std::optional<double> DeadbandOf(const BridgeOptions& options, const std::string& name, char type) {
  if (type == '$') return std::nullopt;  // a text has no distance
  for (const DeadbandRule& rule : options.deadbands) {
    if (kelto_live_match(rule.pattern.c_str(), name.c_str())) return rule.delta;
  }
  return std::nullopt;
}

}  // namespace

bool MatchesAny(const std::vector<std::string>& patterns, const std::string& name) {
  for (const std::string& pattern : patterns) {
    if (kelto_live_match(pattern.c_str(), name.c_str())) return true;
  }
  return false;
}

ExportTable::ExportTable(kelto_live* table, const BridgeOptions& options,
                         std::string_view segment) {
  const uint32_t count = kelto_live_count(table);
  slot_of_ident_.assign(count, -1);
  for (uint32_t ident = 0; ident < count; ++ident) {
    kelto_live_info info{};
    if (kelto_live_info_of(table, ident, &info) != KELTO_LIVE_OK || info.size == 0) continue;
    const std::string name = info.name;
    if (name.empty() || !MatchesAny(options.exports, name) || IsImported(options, name)) continue;
    ExportedVariable variable;
    variable.ident = ident;
    variable.name = name;
    variable.topic = ValueTopic(options.node, segment, name);
    variable.type = info.type;
    variable.size = info.size;
    variable.settable = MatchesAny(options.allow_set, name);
    variable.deadband = DeadbandOf(options, name, info.type);
    const auto slot = static_cast<uint32_t>(variables_.size());
    slot_of_ident_[ident] = static_cast<int32_t>(slot);
    // Two items of one name: the later one is the one found by name, as in
    // libkelto, and so the one a write request reaches.
    slot_of_name_[name] = slot;
    idents_.push_back(ident);
    variables_.push_back(std::move(variable));
  }
}

std::optional<uint32_t> ExportTable::SlotOfIdent(uint32_t ident) const {
  if (ident >= slot_of_ident_.size() || slot_of_ident_[ident] < 0) return std::nullopt;
  return static_cast<uint32_t>(slot_of_ident_[ident]);
}

std::optional<uint32_t> ExportTable::SlotOfName(const std::string& name) const {
  const auto found = slot_of_name_.find(name);
  if (found == slot_of_name_.end()) return std::nullopt;
  return found->second;
}

}  // namespace kelto::bridge
