#include "live/name_lookup.h"

#include <sys/mman.h>

#include <cstring>
#include <string_view>

#include "table/name_hash.h"
#include "table/var_item.h"

namespace kelto::live {
namespace {

// Enough samples to notice definitions that were added, removed or
// reordered, few enough that a miss stays cheap.
constexpr uint32_t kSignatureSamples = 64;
// Names are read in ident order, one item apart: fetching a few items ahead
// lets the segment's misses overlap the index's own.
constexpr uint32_t kPrefetchDistance = 8;

std::string_view NameOf(const char* view, uint32_t ident) {
  const char* name = view + static_cast<uint64_t>(ident) * kItemSize + offsetof(VarItem, name);
  return std::string_view(name, strnlen(name, VarDirectory::kLongestFullName));
}

}  // namespace

std::shared_ptr<const NameLookup> IndexNames(char* view, uint32_t count) {
  auto lookup = std::make_shared<NameLookup>();
  lookup->count = count;
  lookup->signature = NamesSignature(view, count);
  // Sized for the whole table in the first set; the other grows as needed.
  // Open puts the IORSH_ variables first and they are usually the most.
  lookup->directory.Reserve(count, 0);
  // Every page of the items is read: mapping them in one call is cheaper
  // than a fault for each few. Only a hint; an older kernel refuses it.
#ifdef MADV_POPULATE_READ
  madvise(view, static_cast<uint64_t>(count) * kItemSize, MADV_POPULATE_READ);
#endif
  // In ident order, so that of two items with one name the later one stays.
  for (uint32_t ident = 0; ident < count; ++ident) {
    __builtin_prefetch(view + static_cast<uint64_t>(ident + kPrefetchDistance) * kItemSize);
    lookup->directory.Set(NameOf(view, ident), ident);
  }
  lookup->directory.Finish();
  return lookup;
}

uint64_t NamesSignature(const char* view, uint32_t count) {
  uint64_t signature = count;
  if (count == 0) return signature;
  const uint32_t step = count / kSignatureSamples + 1;
  for (uint32_t ident = 0; ident < count; ident += step) {
    const std::string_view name = NameOf(view, ident);
    signature = signature * 31 + HashName(name.data(), name.size());
  }
  const std::string_view last = NameOf(view, count - 1);
  return signature * 31 + HashName(last.data(), last.size());
}

}  // namespace kelto::live
