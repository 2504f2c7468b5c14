// A facade over one variable set: the core operations with names written
// without the set's prefix. IORSh and MemSh are two instances of it.
#ifndef KELTO_FACADES_SET_FACADE_H_
#define KELTO_FACADES_SET_FACADE_H_

#include <cstdint>

#include "table/access.h"

namespace kelto {

class SetFacade {
 public:
  explicit constexpr SetFacade(const char* prefix) : prefix_(prefix) {}

  int32_t Open() const;
  int32_t Close() const;
  int32_t ReadApplicationCount() const { return 1; }

  // Inline, so that an exported facade function goes straight to the core:
  // at a few nanoseconds per access, one more call shows.
  int32_t GetIdentVarName(const char* name) const {
    return kelto::GetIdentVarName(PrefixedName{prefix_, name});
  }
  char GetTypeVarName(const char* name) const {
    return kelto::GetTypeVarName(PrefixedName{prefix_, name});
  }
  int32_t GetSizeVarName(const char* name) const {
    return kelto::GetSizeVarName(PrefixedName{prefix_, name});
  }
  int32_t WriteVarName(const char* name, const char* source) const {
    return kelto::WriteVarName(PrefixedName{prefix_, name}, source);
  }
  int32_t ReadVarName(const char* name, char* destination) const {
    return kelto::ReadVarName(PrefixedName{prefix_, name}, destination);
  }
  // The name of any item (of either set) without its first six characters.
  int32_t ReadNameVar(int32_t ident, char* destination) const;

 private:
  const char* prefix_;
};

inline constexpr SetFacade kIorshFacade{"IORSH_"};
inline constexpr SetFacade kMemshFacade{"MEMSH_"};

}  // namespace kelto

#endif  // KELTO_FACADES_SET_FACADE_H_
