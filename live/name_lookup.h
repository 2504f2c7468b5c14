// Full name to ident for an observer of the live table, on the core's own
// flat index: built in one pass over the segment's names at the first
// look-up, keeping no copy of them, so that a look-up costs the same for ten
// variables or a million.
#ifndef KELTO_LIVE_NAME_LOOKUP_H_
#define KELTO_LIVE_NAME_LOOKUP_H_

#include <cstdint>
#include <memory>

#include "table/var_directory.h"

namespace kelto::live {

struct NameLookup {
  VarDirectory directory;
  // What the table looked like when it was indexed: a miss in a table that
  // has changed since (a program opened it again) indexes it anew.
  uint32_t count = 0;
  uint64_t signature = 0;
};

// Indexes the names of the first `count` items of `view`. When two items
// share a name the later one is found, as libkelto finds it.
std::shared_ptr<const NameLookup> IndexNames(char* view, uint32_t count);

// A cheap summary of the names at a few idents spread over the first
// `count` items: another Open over the same segment almost always changes it.
uint64_t NamesSignature(const char* view, uint32_t count);

}  // namespace kelto::live

#endif  // KELTO_LIVE_NAME_LOOKUP_H_
