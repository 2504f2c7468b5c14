// The process-wide state of the library and the core operations on it.
#ifndef KELTO_TABLE_LIBRARY_H_
#define KELTO_TABLE_LIBRARY_H_

#include <cstdint>
#include <memory>

#include "log/diagnostic_log.h"
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
  // and return null.
  VarItem* ResolveVar(int32_t ident);
  VarItem* ResolveVarName(const char* name, uint32_t* ident = nullptr);

  // The raw view: null and 0 items while no view exists.
  char* View() const { return segment_ ? segment_->GetPointer() : nullptr; }
  uint32_t ItemCount() const { return segment_ ? segment_->ItemCount() : 0; }

  // In a forked child: the parent's table is not ours. Drops it without
  // releasing anything the parent still uses.
  void ForgetAfterFork();

 private:
  void OpenUnchecked();
  void FillItems(const struct Definitions& definitions);

  DiagnosticLog log_;
  std::unique_ptr<SharedMemory> segment_;
  VarDirectory directory_;
};

Library& TheLibrary();

}  // namespace kelto

#endif  // KELTO_TABLE_LIBRARY_H_
