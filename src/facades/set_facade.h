// A facade over one variable set: the core operations with names written
// without the set's prefix. IORSh and MemSh are two instances of it.
#ifndef KELTO_FACADES_SET_FACADE_H_
#define KELTO_FACADES_SET_FACADE_H_

#include <cstdint>

#include "table/access.h"

namespace kelto {

// What the facades share: they open and close the one table, and give an
// item's name without its prefix, whichever set it is in.
int32_t OpenForFacade();
int32_t CloseForFacade();
int32_t ReadNameVarWithoutPrefix(int32_t ident, char* destination);

template <FacadeSet kSet>
class SetFacade {
 public:
  int32_t Open() const { return OpenForFacade(); }
  int32_t Close() const { return CloseForFacade(); }
  int32_t ReadApplicationCount() const { return 1; }

  // Inline, so that an exported facade function goes straight to the core:
  // at a few nanoseconds per access, one more call shows.
  int32_t GetIdentVarName(const char* name) const {
    return kelto::GetIdentVarName(PrefixedName<kSet>{name});
  }
  char GetTypeVarName(const char* name) const {
    return kelto::GetTypeVarName(PrefixedName<kSet>{name});
  }
  int32_t GetSizeVarName(const char* name) const {
    return kelto::GetSizeVarName(PrefixedName<kSet>{name});
  }
  int32_t WriteVarName(const char* name, const char* source) const {
    return kelto::WriteVarName(PrefixedName<kSet>{name}, source);
  }
  int32_t ReadVarName(const char* name, char* destination) const {
    return kelto::ReadVarName(PrefixedName<kSet>{name}, destination);
  }
  // The name of any item (of either set) without its first six characters.
  int32_t ReadNameVar(int32_t ident, char* destination) const {
    return ReadNameVarWithoutPrefix(ident, destination);
  }
};

inline constexpr SetFacade<FacadeSet::kIorsh> kIorshFacade{};
inline constexpr SetFacade<FacadeSet::kMemsh> kMemshFacade{};

}  // namespace kelto

#endif  // KELTO_FACADES_SET_FACADE_H_
