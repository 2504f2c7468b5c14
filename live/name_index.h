// Full name to ident for a whole table, built in one pass, so that a look-up
// costs the same for ten variables or a million.
#ifndef KELTO_LIVE_NAME_INDEX_H_
#define KELTO_LIVE_NAME_INDEX_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kelto::live {

class NameIndex {
 public:
  // `name_of(ident)` for every ident below `count`. The names are copied:
  // the segment's may be rewritten by a program's next Open, so the caller
  // checks a found ident against the name it now has.
  NameIndex(uint32_t count, const std::function<std::string_view(uint32_t)>& name_of);

  // When two items share a name, the later one, as libkelto finds it.
  std::optional<uint32_t> Find(std::string_view name) const {
    const auto found = idents_.find(name);
    if (found == idents_.end()) return std::nullopt;
    return found->second;
  }
  uint32_t Count() const { return count_; }

 private:
  uint32_t count_;
  std::string names_;  // every name, one after the other; the keys view it
  std::unordered_map<std::string_view, uint32_t> idents_;
};

}  // namespace kelto::live

#endif  // KELTO_LIVE_NAME_INDEX_H_
