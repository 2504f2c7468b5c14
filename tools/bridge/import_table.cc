#include "bridge/import_table.h"

#include <cstdio>
#include <set>

#include "bridge/payloads.h"

namespace kelto::bridge {
namespace {

// Segments and names in topics come from anyone who may publish under an
// imported node, not only from its bridge: what is remembered of them is
// bounded, and forgotten whole when full rather than grown without end.
// Real tables stay far below these numbers.
constexpr size_t kMaxTargets = 8192;
constexpr size_t kMaxOwners = 256;
// Types remembered from births, over all owners (a birth may list some
// 30,000 variables).
constexpr size_t kMaxTypeEntries = 65536;

// A sequence number is the owner's clock in microseconds: one further ahead
// of this machine's clock than clocks of two machines ever are apart is
// made up, and would hold every later value of the run back.
constexpr uint64_t kClockSlackUs = uint64_t{24} * 3600 * 1000000;
constexpr auto kRefusalLogInterval = std::chrono::minutes(1);

std::string OwnerKey(const ParsedTopic& topic) { return topic.node + '\0' + topic.segment; }

// Makes room for one more entry. A forgotten target is found again at its
// next message (and a missing one reported again once).
template <typename Map>
void MakeRoom(Map& map, size_t limit) {
  if (map.size() >= limit) map.clear();
}

}  // namespace

ImportTable::ImportTable(std::vector<ImportRule> rules) : rules_(std::move(rules)) {}

std::vector<std::string> ImportTable::nodes() const {
  std::set<std::string> distinct;
  for (const ImportRule& rule : rules_) distinct.insert(rule.node);
  return {distinct.begin(), distinct.end()};
}

bool ImportTable::Covers(const std::string& node, const std::string& name) const {
  for (const ImportRule& rule : rules_) {
    if (rule.node == node && kelto_live_match(rule.pattern.c_str(), name.c_str())) return true;
  }
  return false;
}

void ImportTable::NoteBirth(const ParsedTopic& topic, std::string_view payload) {
  std::optional<ReceivedBirth> birth = ParseBirth(payload);
  if (!birth) return;
  // Only the types of variables mirrored here are ever looked at.
  std::erase_if(birth->types, [&](const auto& entry) {
    const std::optional<std::string> name = UnescapeLevel(entry.first);
    return !name || !Covers(topic.node, *name);
  });
  const std::string key = OwnerKey(topic);
  if (const auto old = owners_.find(key); old != owners_.end()) {
    type_entries_ -= old->second.types.size();
  }
  if ((!owners_.contains(key) && owners_.size() >= kMaxOwners) ||
      type_entries_ + birth->types.size() > kMaxTypeEntries) {
    owners_.clear();
    type_entries_ = 0;
  }
  type_entries_ += birth->types.size();
  Owner& owner = owners_[key];
  owner.run = std::move(birth->run);
  owner.birth = ++births_;
  owner.types = std::move(birth->types);
}

bool ImportTable::Admit(const ParsedTopic& topic, const Owner* owner, const std::string& run,
                        uint64_t seq, uint64_t now_us, Clock::time_point now) {
  const bool impossible_seq = seq > now_us + kClockSlackUs;
  const bool unknown_run = owner != nullptr && run != owner->run;
  if (!impossible_seq && !unknown_run) return true;
  Refusals& refusals = refusals_[topic.node];
  ++(impossible_seq ? refusals.impossible_seq : refusals.unknown_run);
  if (refusals.logged && now - refusals.last_logged < kRefusalLogInterval) return false;
  std::fprintf(stderr,
               "kelto-bridge: refused %llu values of node %s%s: %llu of a run its latest birth "
               "did not announce, %llu with a sequence number ahead of this machine's clock by "
               "more than a day\n",
               static_cast<unsigned long long>(refusals.unknown_run + refusals.impossible_seq),
               topic.node.c_str(), refusals.logged ? " in the last minute" : "",
               static_cast<unsigned long long>(refusals.unknown_run),
               static_cast<unsigned long long>(refusals.impossible_seq));
  refusals = Refusals{0, 0, true, now};
  return false;
}

bool ImportTable::InOrder(Target& target, const Owner* owner, const std::string& run,
                          uint64_t seq) {
  const uint64_t birth = owner != nullptr ? owner->birth : 0;
  const bool same_order = target.seen && target.birth == birth && target.last_run == run;
  if (same_order && seq <= target.last_seq) return false;
  target.seen = true;
  target.birth = birth;
  target.last_run = run;
  target.last_seq = seq;
  return true;
}

void ImportTable::Report(Target& target, const ParsedTopic& topic, const std::string& why) {
  if (target.reported) return;
  target.reported = true;
  const std::string shown = EscapeLevel(topic.name);
  std::fprintf(stderr, "kelto-bridge: not mirroring %s/%s: %s\n", topic.node.c_str(), shown.c_str(),
               why.c_str());
}

ImportTable::Target& ImportTable::TargetFor(kelto_live* table, const ParsedTopic& topic,
                                            const std::string& key) {
  const auto found = targets_.find(key);
  if (found != targets_.end()) return found->second;
  MakeRoom(targets_, kMaxTargets);
  Target& target = targets_[key];
  uint32_t ident = 0;
  kelto_live_info info{};
  if (kelto_live_find(table, topic.name.c_str(), &ident) != KELTO_LIVE_OK ||
      kelto_live_info_of(table, ident, &info) != KELTO_LIVE_OK) {
    Report(target, topic, "no variable of that name here");
    return target;
  }
  if (info.size == 0) {
    Report(target, topic, "its type holds no value here");
    return target;
  }
  target.ident = ident;
  target.local_type = info.type;
  return target;
}

void ImportTable::Apply(kelto_live* table, const ParsedTopic& topic, std::string_view payload,
                        uint64_t now_us, Clock::time_point now) {
  if (!Covers(topic.node, topic.name)) return;
  Target& target = TargetFor(table, topic, OwnerKey(topic) + '\0' + topic.name);
  if (target.ident < 0) return;

  const auto found = owners_.find(OwnerKey(topic));
  const Owner* owner = found == owners_.end() ? nullptr : &found->second;
  if (owner != nullptr) {
    const auto type = owner->types.find(topic.name_level);
    if (type != owner->types.end() && type->second != target.local_type) {
      // Once per birth: a later one may still differ, and says so again.
      if (target.type_reported_birth != owner->birth) {
        target.type_reported_birth = owner->birth;
        target.reported = false;
        Report(target, topic,
               std::string("type ") + type->second + " there, " + target.local_type + " here");
      }
      return;
    }
  }

  const std::optional<ReceivedValue> value = ParseValuePayload(payload);
  if (!value) {
    Report(target, topic, "its messages are not {\"v\",\"ts\",\"seq\"} objects");
    return;
  }
  if (!Admit(topic, owner, value->run, value->seq, now_us, now)) return;
  if (!InOrder(target, owner, value->run, value->seq)) return;

  char reason[256] = "";
  const kelto_live_result result =
      kelto_live_set(table, static_cast<uint32_t>(target.ident), value->json_value.data(),
                     value->json_value.size(), KELTO_LIVE_JSON, reason, sizeof reason);
  if (result == KELTO_LIVE_OK) {
    ++applied_;
  } else if (result == KELTO_LIVE_BAD_VALUE || result == KELTO_LIVE_WRONG_TYPE) {
    Report(target, topic, std::string("value does not fit here: ") + reason);
  }
}

void ImportTable::Reset() {
  targets_.clear();
  applied_ = 0;
}

}  // namespace kelto::bridge
