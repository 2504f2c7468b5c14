#include "minimal_access.h"

#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "kelto.h"

namespace {

struct TransparentHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

KeltoVarItem* g_items = nullptr;
uint32_t g_count = 0;
std::unordered_map<std::string, uint32_t, TransparentHash, std::equal_to<>> g_directory;

// The same copies as the library's, done the plain way: a string is
// copied as text bounded by its field (zeros after the terminator, the last
// byte forced to 0), any other value moves exactly its size.
void CopyOut(const KeltoVarItem& item, char* destination) {
  if (item.type == '$') {
    std::strncpy(destination, item.value, KELTO_VALUE_SIZE);
    destination[KELTO_VALUE_SIZE - 1] = '\0';
  } else {
    std::memcpy(destination, item.value, static_cast<size_t>(item.size));
  }
}

void CopyInByIdent(KeltoVarItem& item, const char* source) {
  if (item.type == '$') {
    std::strncpy(item.value, source, KELTO_VALUE_SIZE);
    item.value[KELTO_VALUE_SIZE - 1] = '\0';
  } else {
    std::memcpy(item.value, source, static_cast<size_t>(item.size));
  }
}

// By name a string is measured whole and cut to the item's size.
void CopyInByName(KeltoVarItem& item, const char* source) {
  if (item.type == '$') {
    const size_t length = std::strlen(source);
    const size_t size = static_cast<size_t>(item.size);
    if (length > size) {
      std::memcpy(item.value, source, size);
      item.value[KELTO_VALUE_SIZE - 1] = '\0';
    } else {
      std::memcpy(item.value, source, length + 1);
    }
  } else {
    std::memcpy(item.value, source, static_cast<size_t>(item.size));
  }
}

KeltoVarItem* Lookup(const char* name) {
  const auto found = g_directory.find(std::string_view(name));
  return found != g_directory.end() ? &g_items[found->second] : nullptr;
}

}  // namespace

extern "C" {

void MinimalAttach(void* view, uint32_t count) {
  g_items = static_cast<KeltoVarItem*>(view);
  g_count = count;
  g_directory.clear();
  g_directory.reserve(count);
  for (uint32_t ident = 0; ident < count; ++ident) {
    g_directory.insert_or_assign(std::string(g_items[ident].name), ident);
  }
}

void MinimalDetach(void) {
  g_items = nullptr;
  g_count = 0;
  g_directory.clear();
}

int32_t MinimalReadVar(int32_t ident, char* destination) {
  if (ident < 0 || static_cast<uint32_t>(ident) >= g_count) return -1;
  CopyOut(g_items[ident], destination);
  return 0;
}

int32_t MinimalWriteVar(int32_t ident, const char* source) {
  if (ident < 0 || static_cast<uint32_t>(ident) >= g_count) return -1;
  CopyInByIdent(g_items[ident], source);
  return 0;
}

int32_t MinimalReadVarName(const char* name, char* destination) {
  KeltoVarItem* item = Lookup(name);
  if (item == nullptr) return -3;
  CopyOut(*item, destination);
  return 0;
}

int32_t MinimalWriteVarName(const char* name, const char* source) {
  KeltoVarItem* item = Lookup(name);
  if (item == nullptr) return -5;
  CopyInByName(*item, source);
  return 0;
}

}  // extern "C"
