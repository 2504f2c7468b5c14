#include "live/name_index.h"

#include <vector>

namespace kelto::live {

NameIndex::NameIndex(uint32_t count, const std::function<std::string_view(uint32_t)>& name_of)
    : count_(count) {
  // Copied first and viewed after, so that growing the text never moves a
  // name a key already points to.
  std::vector<size_t> ends;
  ends.reserve(count);
  for (uint32_t ident = 0; ident < count; ++ident) {
    names_ += name_of(ident);
    ends.push_back(names_.size());
  }
  idents_.reserve(count);
  size_t start = 0;
  for (uint32_t ident = 0; ident < count; ++ident) {
    const std::string_view name(names_.data() + start, ends[ident] - start);
    start = ends[ident];
    if (!name.empty()) idents_.insert_or_assign(name, ident);
  }
}

}  // namespace kelto::live
