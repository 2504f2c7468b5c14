#include "facades/set_facade.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "table/access.h"
#include "table/library.h"
#include "table/var_item.h"

namespace kelto {
namespace {

constexpr size_t kPrefixLength = 6;

// The caller's name behind the set prefix. A name too long for a full name
// (more than 249 characters) is composed on the heap instead of being cut:
// it then fails as "not found" and the log shows exactly what was asked for.
class PrefixedName {
 public:
  PrefixedName(const char* prefix, const char* name) {
    // A null name is no name at all. Taken as "", it would become the bare
    // prefix, which is a real variable when a definition name is empty.
    if (name == nullptr) {
      text_[0] = '\0';
      return;
    }
    // Plain copies rather than snprintf: this runs on every by-name facade
    // call, and formatting cost several times the lookup itself.
    // Both prefixes have six characters: a constant length lets the prefix
    // copy be inline.
    const size_t prefix_length = kPrefixLength;
    const size_t room = sizeof text_ - prefix_length;  // name and terminator
    const size_t length = strnlen(name, room);
    if (length < room) {
      std::memcpy(text_, prefix, prefix_length);
      std::memcpy(text_ + prefix_length, name, length + 1);
      length_ = prefix_length + length;
      return;
    }
    const size_t name_size = std::strlen(name) + 1;
    long_text_.reset(new (std::nothrow) char[prefix_length + name_size]);
    if (long_text_) {
      std::memcpy(long_text_.get(), prefix, prefix_length);
      std::memcpy(long_text_.get() + prefix_length, name, name_size);
      length_ = prefix_length + name_size - 1;
    } else {
      text_[0] = '\0';  // never a full name, unlike the cut text
    }
  }
  // With its length, so that the lookup does not measure it again: reading
  // back text just written costs more than the copy itself.
  std::string_view get() const { return {long_text_ ? long_text_.get() : text_, length_}; }

 private:
  char text_[kNameSize];
  size_t length_ = 0;
  std::unique_ptr<char[]> long_text_;
};

}  // namespace

int32_t SetFacade::Open() const {
  TheLibrary().Open();
  return 1;
}

int32_t SetFacade::Close() const {
  TheLibrary().Close();
  return 1;
}

int32_t SetFacade::GetIdentVarName(const char* name) const {
  return kelto::GetIdentVarName(PrefixedName(prefix_, name).get());
}

char SetFacade::GetTypeVarName(const char* name) const {
  return kelto::GetTypeVarName(PrefixedName(prefix_, name).get());
}

int32_t SetFacade::GetSizeVarName(const char* name) const {
  return kelto::GetSizeVarName(PrefixedName(prefix_, name).get());
}

int32_t SetFacade::WriteVarName(const char* name, const char* source) const {
  return kelto::WriteVarName(PrefixedName(prefix_, name).get(), source);
}

int32_t SetFacade::ReadVarName(const char* name, char* destination) const {
  return kelto::ReadVarName(PrefixedName(prefix_, name).get(), destination);
}

int32_t SetFacade::ReadNameVar(int32_t ident, char* destination) const {
  char full_name[kNameSize] = {};
  const int32_t result = kelto::ReadNameVar(ident, full_name);
  if (destination != nullptr) std::strcpy(destination, full_name + kPrefixLength);
  return result;
}

}  // namespace kelto
