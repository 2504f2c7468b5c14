#include "table/library.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "table/definition_file.h"
#include "table/locations.h"

namespace kelto {

struct Definitions {
  DefinitionList iorsh;
  DefinitionList memsh;
};

// The table this process's definitions make, before it meets the segment.
struct TableDefinitions {
  // The full names, cut to 255 characters, one after another with their
  // terminators: one buffer rather than a string per name.
  std::string name_text;
  std::vector<size_t> name_starts;
  std::vector<ItemShape> shapes;
  VarDirectory directory;

  const char* NameOf(uint32_t ident) const { return name_text.data() + name_starts[ident]; }
  // With its terminator.
  size_t NameSizeOf(uint32_t ident) const {
    const size_t end =
        ident + size_t{1} < name_starts.size() ? name_starts[ident + 1] : name_text.size();
    return end - name_starts[ident];
  }
};

LibraryStorage g_library_storage;

namespace {

#if !defined(_WIN32)
void ForgetTableInChild() { TheLibrary().ForgetAfterFork(); }
#endif

// Runs when the process ends (or the library is unloaded) without Close.
struct ExitRelease {
  ExitRelease() = default;
  ExitRelease(const ExitRelease&) = delete;
  ExitRelease& operator=(const ExitRelease&) = delete;
  ~ExitRelease() { TheLibrary().ReleaseAtExit(); }
};
ExitRelease g_exit_release;

// The "%ld" and "%lu" of the log show 32-bit numbers, as the log format has
// always done; long is wider here, so values are cut to 32 bits first.
long Signed32(uint64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

TableDefinitions ComposeTable(const Definitions& definitions) {
  TableDefinitions table;
  const size_t count = definitions.iorsh.size() + definitions.memsh.size();
  table.name_starts.reserve(count);
  table.name_text.reserve(definitions.iorsh.TextSize() + definitions.memsh.TextSize() +
                          count * (VarDirectory::kPrefixLength + 1));
  table.shapes.reserve(count);
  const auto add = [&](const DefinitionList& set, std::string_view prefix) {
    for (size_t at = 0; at < set.size(); ++at) {
      const Definition definition = set[at];
      // A full name longer than the field is cut to 255 characters, so it
      // can never spill into the fields after it. A name holds no NUL: it
      // ends at the first '=' of a line, which comes before any NUL.
      const size_t start = table.name_text.size();
      table.name_text.append(prefix);
      table.name_text.append(definition.name.substr(0, kNameSize - 1 - prefix.size()));
      table.name_text.push_back('\0');
      table.name_starts.push_back(start);
      table.shapes.push_back(ShapeOfTypeLetter(definition.type));
    }
  };
  add(definitions.iorsh, "IORSH_");
  add(definitions.memsh, "MEMSH_");
  table.directory.BuildPacked(table.name_text, table.name_starts);
  return table;
}

// Every full name starts with a set prefix, so only an item that no
// program has written yet has an empty name.
bool IsUnwritten(const VarItem& item) { return item.name[0] == '\0'; }

bool SameVariable(const VarItem& item, const char* name, size_t name_size, ItemShape shape) {
  return item.type == shape.type && std::memcmp(item.name, name, name_size) == 0;
}

// A type letter as the reason line shows it: a byte that prints as itself,
// anything else in hex.
std::string ShownType(char type) {
  const unsigned char byte = static_cast<unsigned char>(type);
  if (byte >= 0x20 && byte < 0x7f) return std::string(1, type);
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\x%02X", byte);
  return hex;
}

// Under the segment's gate: a live segment whose items differ from this
// process's definitions is refused whole, or the two programs would read
// and write each other's variables with their own sizes. Matching items are
// left as they are; blank ones (a fresh segment) get ours. A fresh segment
// has nothing to check: reading all of it once more cost as much as
// writing it.
bool TakeItems(const TableDefinitions& table, char* view, bool fresh, char* why, size_t why_size) {
  const uint32_t count = static_cast<uint32_t>(table.shapes.size());
  for (uint32_t ident = 0; !fresh && ident < count; ++ident) {
    const VarItem& item = *ItemAt(view, ident);
    if (IsUnwritten(item) ||
        SameVariable(item, table.NameOf(ident), table.NameSizeOf(ident), table.shapes[ident])) {
      continue;
    }
    std::snprintf(why, why_size,
                  "the live segment was made with other definitions: ident %u is %s (type %s) "
                  "here but %.*s (type %s) in the segment",
                  ident, table.NameOf(ident), ShownType(table.shapes[ident].type).c_str(),
                  static_cast<int>(strnlen(item.name, kNameSize - 1)), item.name,
                  ShownType(item.type).c_str());
    return false;
  }
  for (uint32_t ident = 0; ident < count; ++ident) {
    VarItem* item = ItemAt(view, ident);
    if (!IsUnwritten(*item)) continue;
    item->type = table.shapes[ident].type;
    __atomic_store_n(&item->size, int32_t{table.shapes[ident].size}, __ATOMIC_RELAXED);
    std::memcpy(item->name, table.NameOf(ident), table.NameSizeOf(ident));
  }
  return true;
}

}  // namespace

// Windows starts no process as a copy of another: there is no child to
// forget the table in.
#if defined(_WIN32)
Library::Library() = default;
#else
Library::Library() { pthread_atfork(nullptr, nullptr, &ForgetTableInChild); }
#endif

void Library::Open() {
  const SegmentProtocolScope fork_waits;
  try {
    OpenUnchecked();
  } catch (const std::exception& error) {
    log_.Write("open failed: %s\n", error.what());
  } catch (...) {
    log_.Write("open failed\n");
  }
}

void Library::OpenUnchecked() {
  const Locations locations = CurrentLocations();
  char path[kPathSize];
  log_.Open(ComposePath(locations, kLogFile, path) ? path : nullptr);

  Definitions definitions;
  if (!ComposePath(locations, kIorshFile, path) || !ReadDefinitionFile(path, &definitions.iorsh)) {
    log_.Write("failed to open iorsh file at %s\n", path);
    return;
  }
  if (!ComposePath(locations, kMemshFile, path) || !ReadDefinitionFile(path, &definitions.memsh)) {
    log_.Write("failed to open memsh file at %s\n", path);
    return;
  }

  const uint64_t count = definitions.iorsh.size() + definitions.memsh.size();
  const uint64_t bytes = count * kItemSize;
  log_.Write("%ld variables after iorsh\n", Signed32(definitions.iorsh.size()));
  log_.Write("%ld variables total\n", Signed32(count));
  log_.Write("will allocate %ld bytes (%lu per item)\n", Signed32(bytes),
             static_cast<unsigned long>(kItemSize));

  // Asking for a size that wrapped around 32 bits would map fewer items than
  // were counted; ask for nothing instead, which fails cleanly.
  const uint32_t size = bytes <= UINT32_MAX ? static_cast<uint32_t>(bytes) : 0;
  TableDefinitions table = ComposeTable(definitions);
  // The new object attaches before the old one lets go, so a repeated Open
  // keeps the values even when this process is the only holder.
  auto segment = std::make_unique<SharedMemory>(
      size, locations.segment,
      [&table](char* view, uint64_t, bool fresh, char* why, size_t why_size) {
        return TakeItems(table, view, fresh, why, why_size);
      });
  log_.Write("shared memory error is %i\n", segment->GetError());

  if (segment->GetError() != 0) {
    // A repeated Open that cannot take its new definitions keeps the table
    // it had, as one that stops at a missing file does.
    const bool keeping_earlier = view_ != nullptr;
    // With no variables the missing segment is expected and the log says
    // nothing more; otherwise it says why the table is missing.
    if (count != 0 || keeping_earlier) {
      LogSegmentFailure(*segment, locations.segment, size == 0, keeping_earlier);
    }
    if (keeping_earlier) return;
    segment_ = std::move(segment);
    CacheView();
    directory_.Clear();
    shapes_.clear();
    return;
  }
  // The shapes come first: the view they describe becomes visible with them.
  shapes_ = std::move(table.shapes);
  directory_ = std::move(table.directory);
  segment_ = std::move(segment);
  CacheView();
  LogItems(table);
}

void Library::LogSegmentFailure(const SharedMemory& segment, const char* segment_name,
                                bool too_many, bool keeping_earlier) {
  char reason[1024];
  if (too_many) {
    std::snprintf(reason, sizeof reason, "too many variables for one segment");
  } else {
    segment.Describe(reason, sizeof reason);
  }
  if (keeping_earlier) {
    log_.Write("shared memory \"%s\": %s; the earlier table of %lu variables stays in use\n",
               segment_name, reason, static_cast<unsigned long>(item_count_));
  } else {
    log_.Write("shared memory \"%s\": %s\n", segment_name, reason);
  }
}

void Library::LogItems(const TableDefinitions& table) {
  if (!log_.IsOpen()) return;
  // The line "%d %s %c %ld\n" composed by hand: Open writes one per
  // definition, and formatting them through printf cost as much as writing
  // them. A type may be any byte, NUL included, as %c writes it.
  char line[16 + kNameSize + 16];
  for (uint32_t ident = 0; ident < shapes_.size(); ++ident) {
    char* end = line + sizeof line;
    char* at = std::to_chars(line, end, static_cast<int>(ident)).ptr;
    *at++ = ' ';
    const size_t name_length = table.NameSizeOf(ident) - 1;
    std::memcpy(at, table.NameOf(ident), name_length);
    at += name_length;
    *at++ = ' ';
    *at++ = shapes_[ident].type;
    *at++ = ' ';
    at = std::to_chars(at, end, static_cast<long>(shapes_[ident].size)).ptr;
    *at++ = '\n';
    log_.WriteLine(line, static_cast<size_t>(at - line));
  }
}

void Library::Close() {
  const SegmentProtocolScope fork_waits;
  log_.Close();
  segment_.reset();
  CacheView();
  directory_.Clear();
  shapes_.clear();
}

void Library::ForgetAfterFork() {
  if (segment_) segment_->Abandon();
  segment_.reset();
  CacheView();
  directory_.Clear();
  shapes_.clear();
  log_.Abandon();
}

void Library::ReleaseAtExit() {
  const SegmentProtocolScope fork_waits;
  if (segment_) segment_->ReleaseKeepingView();
}

void Library::CacheView() {
  view_ = segment_ ? segment_->GetPointer() : nullptr;
  item_count_ = segment_ ? segment_->ItemCount() : 0;
  change_log_ = segment_ ? segment_->ChangeLog() : nullptr;
}

VarItem* Library::ResolveUnprefixed(const char* name, uint32_t* ident) {
  return ResolveVarName(name == nullptr ? "" : name, ident);
}

VarItem* Library::FailVar(int32_t ident) {
  if (!segment_) {
    log_.Write("tried to access not-initialized memory\n");
  } else {
    log_.Write("tried to access variable outside valid range (0 - %ld) %ld\n",
               Signed32(item_count_ - 1u), static_cast<long>(ident));
  }
  return nullptr;
}

VarItem* Library::FailPrefixedName(const char* prefix, const char* name) {
  if (!segment_) {
    log_.Write("tried to access not-initialized memory\n");
  } else {
    log_.Write("tried to access non-existing variable %s%s\n", prefix, name);
  }
  return nullptr;
}

}  // namespace kelto
