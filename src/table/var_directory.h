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
class VarDirectory {
 public:
  // A later definition of the same name replaces the earlier one.
  void Set(std::string name, uint32_t ident) { map_.insert_or_assign(std::move(name), ident); }
  std::optional<uint32_t> Find(std::string_view name) const {
    const auto found = map_.find(name);
    if (found == map_.end()) return std::nullopt;
    return found->second;
  }
  void Clear() { map_.clear(); }
  void Reserve(size_t count) { map_.reserve(count); }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> map_;
};

}  // namespace kelto

#endif  // KELTO_TABLE_VAR_DIRECTORY_H_
