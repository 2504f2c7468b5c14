#include "table/var_directory.h"

#include <algorithm>
#include <bit>

namespace kelto {
namespace {

constexpr uint64_t LittleEndianWord(const char* text, size_t length) {
  uint64_t word = 0;
  for (size_t at = 0; at < length; ++at) {
    word |= static_cast<uint64_t>(static_cast<uint8_t>(text[at])) << (8 * at);
  }
  return word;
}
static_assert(VarDirectory::PrefixWordOf(VarDirectory::kIorsh) == LittleEndianWord("IORSH_", 6));
static_assert(VarDirectory::PrefixWordOf(VarDirectory::kMemsh) == LittleEndianWord("MEMSH_", 6));

// The largest power of two that costs at most 32 bytes (4 slots) per name:
// a table is between a quarter and half full, which keeps probes short for
// hits and misses alike.
size_t SlotCountFor(size_t count) { return std::bit_floor(std::max(count, size_t{2}) * 4); }

}  // namespace

VarDirectory::VarDirectory() { Clear(); }
VarDirectory::~VarDirectory() = default;

void VarDirectory::Clear() {
  for (Table& table : tables_) {
    table.storage.reset();
    table.slots = kNoSlots;
    table.mask = 0;
    table.used = 0;
  }
  Finish();
}

void VarDirectory::Finish() {
  std::string().swap(building_names_);
  std::vector<Span>().swap(building_spans_);
}

void VarDirectory::Reserve(size_t iorsh_count, size_t memsh_count) {
  Resize(tables_[kIorsh], iorsh_count);
  Resize(tables_[kMemsh], memsh_count);
  building_spans_.reserve(iorsh_count + memsh_count);
  // Names of this kind average about 30 characters.
  building_names_.reserve(32 * (iorsh_count + memsh_count));
}

void VarDirectory::Set(std::string_view full_name, uint32_t ident) {
  const VarSet set = SetOfFullName(full_name);
  if (set == kNoSet || ident == kNotFound) return;
  const std::string_view name = full_name.substr(kPrefixLength);
  if (building_spans_.size() <= ident) building_spans_.resize(ident + size_t{1}, Span{0, 0});
  building_spans_[ident] = Span{building_names_.size(), name.size()};
  building_names_.append(name);
  Table& table = tables_[set];
  if (2 * (table.used + 1) > table.mask + 1) Resize(table, table.used + 1);
  Insert(table, name, ident);
}

std::string_view VarDirectory::BuildingName(uint32_t ident) const {
  const Span span = building_spans_[ident];
  return std::string_view(building_names_).substr(span.offset, span.length);
}

void VarDirectory::Insert(Table& table, std::string_view name, uint32_t ident) {
  InsertHashed(table, HashName(name.data(), name.size()), name, ident,
               [this](uint32_t other) { return BuildingName(other); });
}

template <typename NameOf>
void VarDirectory::InsertHashed(Table& table, uint64_t hash, std::string_view name, uint32_t ident,
                                const NameOf& name_of) {
  const uint32_t fingerprint = Fingerprint(hash);
  Slot* slots = table.storage.get();
  for (uint64_t at = hash & table.mask;; at = (at + 1) & table.mask) {
    Slot& slot = slots[at];
    if (slot.ident == kNotFound) {
      slot = Slot{fingerprint, ident};
      ++table.used;
      return;
    }
    if (slot.fingerprint == fingerprint && name_of(slot.ident) == name) {
      slot.ident = ident;  // a later definition of the same name
      return;
    }
  }
}

void VarDirectory::BuildPacked(std::string_view packed, const std::vector<size_t>& starts) {
  const size_t count = starts.size();
  // The name behind the prefix; empty for a name of no set.
  const auto name_of = [&packed, &starts, count](uint32_t ident) {
    const size_t start = starts[ident];
    const size_t end = ident + size_t{1} < count ? starts[ident + 1] : packed.size();
    const std::string_view full_name = packed.substr(start, end - start - 1);
    return full_name.size() < kPrefixLength ? std::string_view() : full_name.substr(kPrefixLength);
  };
  // Every name hashed first, so that the slot of a name some way ahead can
  // be fetched while this one goes in: the tables are larger than a core's
  // cache, and one miss after another cost more than all the rest.
  std::vector<uint64_t> hashes(count);
  std::vector<uint8_t> sets(count);
  size_t set_counts[kSetCount] = {};
  for (uint32_t ident = 0; ident < count; ++ident) {
    const size_t start = starts[ident];
    const size_t end = ident + size_t{1} < count ? starts[ident + 1] : packed.size();
    const VarSet set = SetOfFullName(packed.data() + start, end - start - 1);
    sets[ident] = static_cast<uint8_t>(set);
    if (set == kNoSet) continue;
    const std::string_view name = name_of(ident);
    hashes[ident] = HashName(name.data(), name.size());
    ++set_counts[set];
  }
  for (size_t set = 0; set < kSetCount; ++set) Resize(tables_[set], set_counts[set]);
  constexpr uint32_t kAhead = 16;
  for (uint32_t ident = 0; ident < count; ++ident) {
    if (ident + kAhead < count && sets[ident + kAhead] != kNoSet) {
      const Table& ahead = tables_[sets[ident + kAhead]];
      __builtin_prefetch(ahead.storage.get() + (hashes[ident + kAhead] & ahead.mask), 1);
    }
    if (sets[ident] == kNoSet) continue;
    InsertHashed(tables_[sets[ident]], hashes[ident], name_of(ident), ident, name_of);
  }
}

// Rebuilds `table` with room for `count` names; the names come from the
// building's own copies.
void VarDirectory::Resize(Table& table, size_t count) {
  const size_t slot_count = SlotCountFor(std::max(count, table.used));
  if (table.storage && slot_count == table.mask + 1) return;
  Table old = std::move(table);
  table.storage = std::make_unique<Slot[]>(slot_count);
  for (size_t at = 0; at < slot_count; ++at) table.storage[at] = Slot{0, kNotFound};
  table.slots = table.storage.get();
  table.mask = slot_count - 1;
  table.used = 0;
  if (!old.storage) return;
  for (uint64_t at = 0; at <= old.mask; ++at) {
    const Slot slot = old.storage[at];
    if (slot.ident != kNotFound) Insert(table, BuildingName(slot.ident), slot.ident);
  }
}

size_t VarDirectory::HeapBytes() const {
  size_t bytes = 0;
  for (const Table& table : tables_) {
    if (table.storage) bytes += (table.mask + 1) * sizeof(Slot);
  }
  // An empty string keeps its few bytes inside the object.
  if (building_names_.capacity() > std::string().capacity()) bytes += building_names_.capacity();
  return bytes + building_spans_.capacity() * sizeof(Span);
}

}  // namespace kelto
