// The per-process index from full name to ident.
#ifndef KELTO_TABLE_VAR_DIRECTORY_H_
#define KELTO_TABLE_VAR_DIRECTORY_H_

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "table/access.h"
#include "table/name_hash.h"
#include "table/var_item.h"

namespace kelto {

// Built once per Open and then only read, by any number of threads; a
// lookup never allocates.
//
// Every full name that Open makes starts with a set prefix, so there is one
// table per set, keyed by the name behind the prefix: a facade, which has
// the name without its prefix, finds it without composing the full name.
// A name without a set prefix is never a variable.
//
// A table is one flat array of (fingerprint, ident) slots, at most half
// full, probed linearly from the slot the name's hash picks. The index keeps
// no copy of the names: a slot whose fingerprint matches is confirmed
// against the item's name in the segment. Any process with the raw view may
// write those bytes, so the comparison never reads past the 256-byte field
// and never relies on its terminator; an item whose name was changed there
// is simply not found under its old name. Holding idents rather than
// addresses, the index can never lead into a view that was released: every
// ident is checked against the current item count.
class VarDirectory {
 public:
  static constexpr size_t kPrefixLength = 6;
  // The longest full name an item holds, and so the longest that can match.
  static constexpr size_t kLongestFullName = kNameSize - 1;
  static constexpr size_t kLongestName = kLongestFullName - kPrefixLength;
  static constexpr uint32_t kNotFound = UINT32_MAX;
  enum VarSet { kIorsh, kMemsh, kSetCount, kNoSet = kSetCount };

  VarDirectory();
  ~VarDirectory();
  VarDirectory(const VarDirectory&) = delete;
  VarDirectory& operator=(const VarDirectory&) = delete;
  // Open builds the index beside the table in use and moves it in only
  // once the new segment is taken.
  VarDirectory(VarDirectory&&) noexcept = default;
  VarDirectory& operator=(VarDirectory&&) noexcept = default;

  // The set whose prefix begins `full_name`, of `length` bytes.
  static VarSet SetOfFullName(const char* full_name, size_t length) {
    if (length < kPrefixLength) return kNoSet;
    if (std::memcmp(full_name, "IORSH_", kPrefixLength) == 0) return kIorsh;
    if (std::memcmp(full_name, "MEMSH_", kPrefixLength) == 0) return kMemsh;
    return kNoSet;
  }
  static VarSet SetOfFullName(std::string_view full_name) {
    return SetOfFullName(full_name.data(), full_name.size());
  }
  // The table of a facade's set, and the prefix of a set's names.
  static constexpr VarSet SetOf(FacadeSet set) {
    return set == FacadeSet::kIorsh ? kIorsh : kMemsh;
  }
  static const char* PrefixOf(VarSet set) { return set == kIorsh ? "IORSH_" : "MEMSH_"; }

  // Building, in Open, after Clear: Reserve, then Set for every item, then
  // Finish. A later Set of the same name replaces the earlier ident. A
  // table grows if Reserve was too small, which only costs time.
  void Reserve(size_t iorsh_count, size_t memsh_count);
  void Set(std::string_view full_name, uint32_t ident);
  // Drops what only the building needed.
  void Finish();
  void Clear();
  // Building all at once, after Clear, as Open does: `packed` holds the
  // full names one after another, each with its terminator, the name of
  // ident i starting at starts[i]. A later duplicate wins, as with Set.
  // The names are read only during the call; nothing is copied.
  void BuildPacked(std::string_view packed, const std::vector<size_t>& starts);

  // The ident of the NUL-terminated `full_name` among the first
  // `item_count` items of `view`, or kNotFound.
  uint32_t Find(char* view, uint32_t item_count, const char* full_name) const {
    const size_t length = strnlen(full_name, kLongestFullName + 1);
    const VarSet set = SetOfFullName(full_name, length);
    if (set == kNoSet || length > kLongestFullName) return kNotFound;
    return ProbeBehindPrefix(set, view, item_count, full_name + kPrefixLength,
                             length - kPrefixLength);
  }
  // The same for the NUL-terminated `name` behind the prefix of `set` (not
  // kNoSet).
  uint32_t FindInSet(char* view, uint32_t item_count, VarSet set, const char* name) const {
    const size_t length = strnlen(name, kLongestName + 1);
    if (length > kLongestName) return kNotFound;
    return ProbeBehindPrefix(set, view, item_count, name, length);
  }

  // The prefix of `set` as the low six bytes of the first word of a name.
  static constexpr uint64_t PrefixWordOf(VarSet set) { return kPrefixWords[set]; }

  // Heap bytes held between Opens (the building's extra is gone by then).
  size_t HeapBytes() const;

 private:
  struct Slot {
    uint32_t fingerprint;
    uint32_t ident;  // kNotFound: the slot is empty
  };
  struct Table {
    std::unique_ptr<Slot[]> storage;
    const Slot* slots = nullptr;  // storage, or kNoSlots
    uint64_t mask = 0;            // slot count - 1
    size_t used = 0;

    Table() = default;
    // A moved-from table is empty again, never pointing at storage it gave away.
    Table(Table&& other) noexcept { *this = std::move(other); }
    Table& operator=(Table&& other) noexcept {
      storage = std::move(other.storage);
      slots = other.slots;
      mask = other.mask;
      used = other.used;
      other.slots = kNoSlots;
      other.mask = 0;
      other.used = 0;
      return *this;
    }
  };

  // What a table without storage points at: one empty slot, so that a
  // lookup before any Open needs no test of its own.
  static constexpr Slot kNoSlots[1] = {{0, kNotFound}};
  static constexpr uint64_t kPrefixMask = (uint64_t{1} << (8 * kPrefixLength)) - 1;
  static constexpr uint64_t kPrefixWords[kSetCount] = {0x5f48'5352'4f49, 0x5f48'534d'454d};

  static uint32_t Fingerprint(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }

  // The name of `length` bytes behind the prefix of `set`. An item matches
  // with that prefix, those bytes and its terminator; the name is compared
  // behind the prefix only, the same bytes the hash took, so that the
  // comparison's loop runs as often as the hash's.
  uint32_t ProbeBehindPrefix(VarSet set, char* view, uint32_t item_count, const char* name,
                             size_t length) const {
    const uint64_t prefix = PrefixWordOf(set);
    return Probe(set, view, item_count, name, length, [prefix, name, length](const VarItem& item) {
      return (LoadWord(item.name) & kPrefixMask) == prefix &&
             SameBytes(item.name + kPrefixLength, name, length) &&
             item.name[kPrefixLength + length] == '\0';
    });
  }

  template <typename NameMatches>
  uint32_t Probe(VarSet set, char* view, uint32_t item_count, const char* name, size_t length,
                 NameMatches name_matches) const {
    const Table& table = tables_[set];
    const uint64_t hash = HashName(name, length);
    const uint32_t fingerprint = Fingerprint(hash);
    // A table is never full, so an empty slot ends every probe.
    for (uint64_t at = hash & table.mask;; at = (at + 1) & table.mask) {
      const Slot slot = table.slots[at];
      if (slot.ident == kNotFound) return kNotFound;
      if (slot.fingerprint != fingerprint || slot.ident >= item_count) continue;
      const VarItem& item = *ItemAt(view, slot.ident);
      // The value is what the caller wants next: fetch its line while the
      // name is compared, so that two cache misses overlap.
      __builtin_prefetch(item.value);
      if (name_matches(item)) return slot.ident;
    }
  }

  void Resize(Table& table, size_t count);
  void Insert(Table& table, std::string_view name, uint32_t ident);
  // `name_of` gives the name behind the prefix of an ident already in the
  // table, to tell a duplicate from a fingerprint that only matches.
  template <typename NameOf>
  void InsertHashed(Table& table, uint64_t hash, std::string_view name, uint32_t ident,
                    const NameOf& name_of);
  std::string_view BuildingName(uint32_t ident) const;

  Table tables_[kSetCount];
  // While building: every name set so far (behind its prefix), by ident, so
  // that a duplicate is recognised without reading the segment back.
  struct Span {
    uint64_t offset;
    uint64_t length;
  };
  std::string building_names_;
  std::vector<Span> building_spans_;
};

}  // namespace kelto

#endif  // KELTO_TABLE_VAR_DIRECTORY_H_
