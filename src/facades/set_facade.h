// A facade over one variable set: the core operations with names written
// without the set's prefix. IORSh and MemSh are two instances of it.
#ifndef KELTO_FACADES_SET_FACADE_H_
#define KELTO_FACADES_SET_FACADE_H_

#include <cstdint>

namespace kelto {

class SetFacade {
 public:
  explicit constexpr SetFacade(const char* prefix) : prefix_(prefix) {}

  int32_t Open() const;
  int32_t Close() const;
  int32_t ReadApplicationCount() const { return 1; }

  int32_t GetIdentVarName(const char* name) const;
  char GetTypeVarName(const char* name) const;
  int32_t GetSizeVarName(const char* name) const;
  int32_t WriteVarName(const char* name, const char* source) const;
  int32_t ReadVarName(const char* name, char* destination) const;
  // The name of any item (of either set) without its first six characters.
  int32_t ReadNameVar(int32_t ident, char* destination) const;

 private:
  const char* prefix_;
};

inline constexpr SetFacade kIorshFacade{"IORSH_"};
inline constexpr SetFacade kMemshFacade{"MEMSH_"};

}  // namespace kelto

#endif  // KELTO_FACADES_SET_FACADE_H_
