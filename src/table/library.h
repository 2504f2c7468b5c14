// The process-wide state of the library and the core operations on it.
#ifndef KELTO_TABLE_LIBRARY_H_
#define KELTO_TABLE_LIBRARY_H_

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "log/diagnostic_log.h"
#include "table/access.h"
#include "table/shared_memory.h"
#include "table/var_directory.h"
#include "table/var_item.h"

namespace kelto {

// One per process. Open and Close must not overlap any other call; the
// resolvers only read the state (and write log lines), so any number of
// threads may use them at once.
class Library {
 public:
  Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  void Open();
  void Close();

  // Turn an address into an item of this process's view, or log why not
  // and return null. Every access goes through these, so they are inline:
  // the successful path reads only the cached view, item count and index,
  // and a failure without a log (there is nothing to write) returns at once.
  VarItem* ResolveVar(int32_t ident) {
    if (ident >= 0 && static_cast<uint32_t>(ident) < item_count_) {
      return ItemAt(view_, static_cast<uint32_t>(ident));
    }
    return log_.IsOpen() ? FailVar(ident) : nullptr;
  }
  // `name` is NUL-terminated; a failure logs it as text.
  VarItem* ResolveVarName(const char* name, uint32_t* ident = nullptr) {
    return Found(directory_.Find(view_, item_count_, name), ident, "", name);
  }
  // The same for a full name given as its set and the name behind the
  // set's prefix, as the facades have it: nothing is composed.
  VarItem* ResolvePrefixedName(FacadeSet set, const char* name, uint32_t* ident = nullptr) {
    if (name == nullptr) return ResolveUnprefixed(name, ident);
    const VarDirectory::VarSet index = VarDirectory::SetOf(set);
    return Found(directory_.FindInSet(view_, item_count_, index, name), ident,
                 VarDirectory::PrefixOf(index), name);
  }

  // The variable `ident` (one that resolved) as this process defines it.
  ItemShape ShapeOf(uint32_t ident) const { return shapes_[ident]; }

  // The raw view: null and 0 items while no view exists.
  char* View() const { return view_; }
  // The table's change log, where every write marks its ident; null while
  // there is no view or the table has no change log.
  void* ChangeLog() const { return change_log_; }
  uint32_t ItemCount() const { return item_count_; }

  // In a forked child: the parent's table is not ours. Drops it without
  // releasing anything the parent still uses.
  void ForgetAfterFork();

  // While the process ends without Close: gives up the hold (the last
  // holder removes the table's files) but frees and unmaps nothing, since
  // other threads may still be using the table.
  void ReleaseAtExit();

 private:
  void OpenUnchecked();
  void LogItems(const struct TableDefinitions& table);
  void LogSegmentFailure(const SharedMemory& segment, const char* segment_name, bool too_many,
                         bool keeping_earlier);
  // Must follow every change of segment_.
  void CacheView();
  VarItem* Found(uint32_t found, uint32_t* ident, const char* prefix, const char* name) {
    if (found == VarDirectory::kNotFound) {
      return log_.IsOpen() ? FailPrefixedName(prefix, name) : nullptr;
    }
    if (ident != nullptr) *ident = found;
    return ItemAt(view_, found);
  }
  // A facade given no name, out of line: inline it would make the prefixed
  // resolver too big to be inlined itself.
  VarItem* ResolveUnprefixed(const char* name, uint32_t* ident);
  VarItem* FailVar(int32_t ident);
  VarItem* FailPrefixedName(const char* prefix, const char* name);

  DiagnosticLog log_;
  std::unique_ptr<SharedMemory> segment_;
  VarDirectory directory_;
  // This process's own type and size of every ident of the view.
  std::vector<ItemShape> shapes_;
  // Copies of segment_'s view, item count and change log (null and 0
  // without a view).
  char* view_ = nullptr;
  uint32_t item_count_ = 0;
  void* change_log_ = nullptr;
};

// The one Library, never destroyed: a process may end while its threads
// still use the table, so nothing may be unmapped or freed under them. At
// exit only the hold is released (Library::ReleaseAtExit).
union LibraryStorage {
  LibraryStorage() : library() {}
  ~LibraryStorage() {}
  Library library;
};

// Inline, so that an access does not pay a call to find the state.
extern LibraryStorage g_library_storage;
inline Library& TheLibrary() { return g_library_storage.library; }

}  // namespace kelto

#endif  // KELTO_TABLE_LIBRARY_H_
