// The per-process map from full name to ident.
#ifndef KELTO_TABLE_VAR_DIRECTORY_H_
#define KELTO_TABLE_VAR_DIRECTORY_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kelto {

// Holds idents rather than addresses, so an entry can never lead into a view
// that was released: every lookup is checked against the current view. Lookups
// take a string_view and never allocate.
//
// Every full name that Open makes starts with a set prefix, so there is one
// map per set, keyed by the name behind the prefix: a facade, which has the
// name without its prefix, finds it without composing the full name first.
// A name without a set prefix is never a variable.
class VarDirectory {
 public:
  static constexpr size_t kPrefixLength = 6;
  enum VarSet { kIorsh, kMemsh, kSetCount, kNoSet = kSetCount };

  static VarSet SetOfFullName(std::string_view full_name) {
    const std::string_view prefix = full_name.substr(0, kPrefixLength);
    if (prefix == "IORSH_") return kIorsh;
    if (prefix == "MEMSH_") return kMemsh;
    return kNoSet;
  }

  // A later definition of the same name replaces the earlier one. Open
  // makes every full name with a set prefix.
  void Set(std::string_view full_name, uint32_t ident) {
    const VarSet set = SetOfFullName(full_name);
    if (set == kNoSet) return;
    maps_[set].insert_or_assign(std::string(full_name.substr(kPrefixLength)), ident);
  }
  std::optional<uint32_t> Find(std::string_view full_name) const {
    const VarSet set = SetOfFullName(full_name);
    if (set == kNoSet) return std::nullopt;
    return FindInSet(set, full_name.substr(kPrefixLength));
  }
  // `name` is the full name without the prefix of `set` (not kNoSet).
  std::optional<uint32_t> FindInSet(VarSet set, std::string_view name) const {
    const auto found = maps_[set].find(name);
    if (found == maps_[set].end()) return std::nullopt;
    return found->second;
  }
  void Clear() {
    for (auto& map : maps_) map.clear();
  }
  void Reserve(size_t iorsh_count, size_t memsh_count) {
    maps_[kIorsh].reserve(iorsh_count);
    maps_[kMemsh].reserve(memsh_count);
  }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> maps_[kSetCount];
};

}  // namespace kelto

#endif  // KELTO_TABLE_VAR_DIRECTORY_H_
