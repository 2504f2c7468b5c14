#include "table/library.h"

#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "table/definition_file.h"
#include "table/locations.h"

namespace kelto {

struct Definitions {
  std::vector<Definition> iorsh;
  std::vector<Definition> memsh;
};

Library g_library;

namespace {

void ForgetTableInChild() { g_library.ForgetAfterFork(); }

// The "%ld" and "%lu" of the log show 32-bit numbers, as the log format has
// always done; long is wider here, so values are cut to 32 bits first.
long Signed32(uint64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

}  // namespace

Library::Library() { pthread_atfork(nullptr, nullptr, &ForgetTableInChild); }

void Library::Open() {
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
  // The new object attaches before the old one lets go, so a repeated Open
  // keeps the values even when this process is the only holder.
  segment_ = std::make_unique<SharedMemory>(size, locations.segment);
  CacheView();
  log_.Write("shared memory error is %i\n", segment_->GetError());

  directory_.Clear();
  if (segment_->GetError() != 0) {
    // With no variables the missing segment is expected and the log says
    // nothing more; otherwise it says why the table is missing.
    if (count != 0) LogSegmentFailure(locations.segment, size == 0);
    return;
  }
  FillItems(definitions);
}

void Library::LogSegmentFailure(const char* segment_name, bool too_many) {
  char reason[512];
  if (too_many) {
    std::snprintf(reason, sizeof reason, "too many variables for one segment");
  } else {
    segment_->Describe(reason, sizeof reason);
  }
  log_.Write("shared memory \"%s\": %s\n", segment_name, reason);
}

void Library::FillItems(const Definitions& definitions) {
  directory_.Reserve(definitions.iorsh.size(), definitions.memsh.size());
  uint32_t ident = 0;
  const auto fill = [&](const std::vector<Definition>& set, const char* prefix) {
    for (const Definition& definition : set) {
      VarItem* item = ItemAt(segment_->GetPointer(), ident);
      const int32_t size = SizeOfTypeLetter(definition.type);
      item->type = definition.type;
      __atomic_store_n(&item->size, size, __ATOMIC_RELAXED);
      // A full name longer than the field is cut to 255 characters, so it
      // can never spill into the fields after it.
      char name[kNameSize];
      std::snprintf(name, sizeof name, "%s%s", prefix, definition.name.c_str());
      std::memcpy(item->name, name, std::strlen(name) + 1);
      directory_.Set(name, ident);
      log_.Write("%d %s %c %ld\n", static_cast<int>(ident), name, definition.type,
                 static_cast<long>(size));
      ++ident;
    }
  };
  fill(definitions.iorsh, "IORSH_");
  fill(definitions.memsh, "MEMSH_");
  directory_.Finish();
}

void Library::Close() {
  log_.Close();
  segment_.reset();
  CacheView();
  directory_.Clear();
}

void Library::ForgetAfterFork() {
  if (segment_) segment_->Abandon();
  segment_.reset();
  CacheView();
  directory_.Clear();
  log_.Abandon();
}

void Library::CacheView() {
  view_ = segment_ ? segment_->GetPointer() : nullptr;
  item_count_ = segment_ ? segment_->ItemCount() : 0;
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
