#include "keltoctl/change_marks.h"

#include <map>

#include "keltoctl/value_format.h"

namespace keltoctl {
namespace {

// Values are compared as shown: bytes past a string's terminator, which
// the output never shows, must not mark a row.
bool SameAsShown(const ItemSnapshot& a, const ItemSnapshot& b) {
  return a.name == b.name && a.type == b.type && FormatValue(a) == FormatValue(b);
}

}  // namespace

std::vector<bool> MarkChanges(const std::vector<ItemSnapshot>& previous,
                              const std::vector<ItemSnapshot>& current) {
  std::vector<bool> changed(current.size(), false);
  if (previous.empty()) return changed;
  std::map<uint32_t, const ItemSnapshot*> before;
  for (const ItemSnapshot& item : previous) before[item.ident] = &item;
  for (size_t i = 0; i < current.size(); ++i) {
    const auto found = before.find(current[i].ident);
    changed[i] = found == before.end() || !SameAsShown(*found->second, current[i]);
  }
  return changed;
}

}  // namespace keltoctl
