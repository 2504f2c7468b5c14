// The C entry points of libkelto_live.so: thin over LiveTable and the value
// codec. No exception leaves them.
#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "kelto_live.h"
#include "live/live_table.h"
#include "live/value_codec.h"

struct kelto_live {
  explicit kelto_live(const char* segment_name) : table(segment_name) {}
  kelto::live::LiveTable table;
};

namespace {

using kelto::live::LiveTable;
using kelto::live::Syntax;
using kelto::live::ValueField;
using kelto::live::ValueKind;

template <typename Body>
kelto_live_result Guarded(Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
  } catch (...) {
  }
  return KELTO_LIVE_SYSTEM_ERROR;
}

// A C caller may pass any int as the enum. Read by reference and as bytes:
// loading a value outside the enumerators as the C++ enum type would be
// undefined (and the sanitizers say so).
bool KnownSyntax(const kelto_live_syntax& syntax) {
  static_assert(sizeof(kelto_live_syntax) == sizeof(int));
  int raw = 0;
  std::memcpy(&raw, &syntax, sizeof raw);
  return raw == KELTO_LIVE_TEXT || raw == KELTO_LIVE_JSON || raw == KELTO_LIVE_RAW;
}

// Copies `text` into the caller's buffer, cut and terminated when it does
// not fit.
kelto_live_result CopyOut(const std::string& text, char* buffer, size_t buffer_size) {
  if (buffer_size == 0) return KELTO_LIVE_TOO_SMALL;
  const size_t length = std::min(text.size(), buffer_size - 1);
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return length == text.size() ? KELTO_LIVE_OK : KELTO_LIVE_TOO_SMALL;
}

void CopyReason(const std::string& reason, char* buffer, size_t buffer_size) {
  if (buffer != nullptr) CopyOut(reason, buffer, buffer_size);
}

kelto_live_result ParseInto(char type, std::string_view text, kelto_live_syntax syntax,
                            ValueField& value, char* reason, size_t reason_size) {
  std::string why;
  switch (kelto::live::ParseValue(type, text, static_cast<Syntax>(syntax), value, &why)) {
    case kelto::live::ParseOutcome::kOk: return KELTO_LIVE_OK;
    case kelto::live::ParseOutcome::kNoValue:
      CopyReason(why, reason, reason_size);
      return KELTO_LIVE_WRONG_TYPE;
    default: CopyReason(why, reason, reason_size); return KELTO_LIVE_BAD_VALUE;
  }
}

// The variable's type, for a typed call that needs one of `kinds`.
kelto_live_result TypeOf(LiveTable& table, uint32_t ident, char* type) {
  ValueField ignored;
  return table.Read(ident, type, ignored);
}

kelto_live_result WriteParsed(LiveTable& table, uint32_t ident, char type, const std::string& text,
                              kelto_live_syntax syntax) {
  ValueField value;
  const kelto_live_result parsed = ParseInto(type, text, syntax, value, nullptr, 0);
  if (parsed != KELTO_LIVE_OK) return parsed;
  return table.Write(ident, type, value);
}

// A number for an integer variable: the codec's ranges, without text.
kelto_live_result EncodeWhole(char type, int64_t number, ValueField& field) {
  std::string why;
  switch (kelto::live::EncodeInteger(type, number, field, &why)) {
    case kelto::live::ParseOutcome::kOk: return KELTO_LIVE_OK;
    case kelto::live::ParseOutcome::kBadValue: return KELTO_LIVE_BAD_VALUE;
    default: return KELTO_LIVE_WRONG_TYPE;
  }
}

// The value of an integer type read into `field`, as the getters give it;
// WRONG_TYPE for any other type.
kelto_live_result IntegerOf(char type, const ValueField& field, int64_t* value) {
  const ValueKind kind = kelto::live::KindOfType(type);
  if (kind == ValueKind::kUnsigned) {
    uint16_t number = 0;  // little-endian: a 1-byte value reads as its low byte
    std::memcpy(&number, field, kelto::SizeOfTypeLetter(type) == 1 ? 1 : 2);
    *value = number;
  } else if (kind == ValueKind::kSigned32) {
    int32_t number = 0;
    std::memcpy(&number, field, sizeof number);
    *value = number;
  } else {
    return KELTO_LIVE_WRONG_TYPE;
  }
  return KELTO_LIVE_OK;
}

}  // namespace

extern "C" {

KELTO_LIVE_EXPORT const char* kelto_live_result_text(kelto_live_result result) {
  switch (result) {
    case KELTO_LIVE_OK: return "success";
    case KELTO_LIVE_NO_TABLE: return "no live table: no program holds the segment";
    case KELTO_LIVE_UNKNOWN_VARIABLE: return "unknown variable";
    case KELTO_LIVE_BAD_VALUE: return "bad value: does not parse or does not fit";
    case KELTO_LIVE_WRONG_TYPE: return "the variable's type does not take this value";
    case KELTO_LIVE_TIMEOUT: return "timed out";
    case KELTO_LIVE_NO_FEED: return "the table has no change feed";
    case KELTO_LIVE_TOO_SMALL: return "the buffer is too small";
    case KELTO_LIVE_INVALID_ARGUMENT: return "invalid argument";
    case KELTO_LIVE_SYSTEM_ERROR: return "the system refused";
  }
  return "unknown result";
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_attach(const char* segment_name,
                                                      kelto_live** table) {
  if (table == nullptr) return KELTO_LIVE_INVALID_ARGUMENT;
  *table = nullptr;
  kelto_live* handle = nullptr;
  const kelto_live_result result = Guarded([&] {
    handle = new kelto_live(segment_name);
    return handle->table.Attach();
  });
  if (result == KELTO_LIVE_OK || result == KELTO_LIVE_NO_TABLE) {
    *table = handle;
  } else {
    const int error = handle != nullptr ? handle->table.AttachErrno() : errno;
    delete handle;
    errno = error;
  }
  return result;
}

KELTO_LIVE_EXPORT void kelto_live_detach(kelto_live* table) { delete table; }

KELTO_LIVE_EXPORT kelto_live_result kelto_live_reattach(kelto_live* table, int32_t timeout_ms) {
  if (table == nullptr) return KELTO_LIVE_INVALID_ARGUMENT;
  return Guarded([&] { return table->table.Reattach(timeout_ms); });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_check(kelto_live* table) {
  if (table == nullptr) return KELTO_LIVE_INVALID_ARGUMENT;
  return Guarded([&] { return table->table.Check(); });
}

KELTO_LIVE_EXPORT const char* kelto_live_segment_name(const kelto_live* table) {
  return table == nullptr ? "" : table->table.SegmentName().c_str();
}

KELTO_LIVE_EXPORT uint32_t kelto_live_count(const kelto_live* table) {
  return table == nullptr ? 0 : table->table.Count();
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_info_of(kelto_live* table, uint32_t ident,
                                                       kelto_live_info* info) {
  if (table == nullptr || info == nullptr) return KELTO_LIVE_INVALID_ARGUMENT;
  return Guarded([&] { return table->table.Info(ident, info); });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_find(kelto_live* table, const char* name,
                                                    uint32_t* ident) {
  if (table == nullptr || name == nullptr || ident == nullptr) {
    return KELTO_LIVE_INVALID_ARGUMENT;
  }
  return Guarded([&] { return table->table.Find(name, ident); });
}

KELTO_LIVE_EXPORT int kelto_live_match(const char* pattern, const char* name) {
  if (name == nullptr) return 0;
  return pattern == nullptr || fnmatch(pattern, name, 0) == 0 ? 1 : 0;
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_select(kelto_live* table, const char* pattern,
                                                      uint32_t* idents, uint32_t capacity,
                                                      uint32_t* count) {
  if (table == nullptr || count == nullptr || (idents == nullptr && capacity > 0)) {
    return KELTO_LIVE_INVALID_ARGUMENT;
  }
  return Guarded([&] {
    std::vector<uint32_t> found;
    const kelto_live_result result = table->table.Select(pattern, &found);
    if (result != KELTO_LIVE_OK) return result;
    *count = static_cast<uint32_t>(found.size());
    const size_t written = std::min<size_t>(found.size(), capacity);
    std::copy_n(found.begin(), written, idents);
    return written == found.size() ? KELTO_LIVE_OK : KELTO_LIVE_TOO_SMALL;
  });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_read(kelto_live* table, uint32_t ident,
                                                    void* value) {
  if (table == nullptr || value == nullptr) return KELTO_LIVE_INVALID_ARGUMENT;
  return Guarded([&] {
    char type = 0;
    ValueField field;
    const kelto_live_result result = table->table.Read(ident, &type, field);
    if (result == KELTO_LIVE_OK) std::memcpy(value, field, sizeof field);
    return result;
  });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_format_value(char type, const void* value,
                                                            kelto_live_syntax format, char* buffer,
                                                            size_t buffer_size) {
  if (value == nullptr || buffer == nullptr || !KnownSyntax(format)) {
    return KELTO_LIVE_INVALID_ARGUMENT;
  }
  return Guarded([&] {
    ValueField field;
    std::memcpy(field, value, sizeof field);
    return CopyOut(kelto::live::FormatValue(type, field, static_cast<Syntax>(format)), buffer,
                   buffer_size);
  });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_format(kelto_live* table, uint32_t ident,
                                                      kelto_live_syntax format, char* buffer,
                                                      size_t buffer_size) {
  if (table == nullptr || buffer == nullptr || !KnownSyntax(format)) {
    return KELTO_LIVE_INVALID_ARGUMENT;
  }
  return Guarded([&] {
    char type = 0;
    ValueField field;
    const kelto_live_result result = table->table.Read(ident, &type, field);
    if (result != KELTO_LIVE_OK) return result;
    return CopyOut(kelto::live::FormatValue(type, field, static_cast<Syntax>(format)), buffer,
                   buffer_size);
  });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_escape(const char* bytes, size_t length,
                                                      kelto_live_syntax format, char* buffer,
                                                      size_t buffer_size) {
  if ((bytes == nullptr && length > 0) || buffer == nullptr || !KnownSyntax(format)) {
    return KELTO_LIVE_INVALID_ARGUMENT;
  }
  return Guarded([&] {
    return CopyOut(
        kelto::live::EscapeBytes(std::string_view(bytes, length), static_cast<Syntax>(format)),
        buffer, buffer_size);
  });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_parse(char type, const char* text, size_t length,
                                                     kelto_live_syntax format, void* value,
                                                     char* reason, size_t reason_size) {
  if ((text == nullptr && length > 0) || value == nullptr || !KnownSyntax(format)) {
    return KELTO_LIVE_INVALID_ARGUMENT;
  }
  return Guarded([&] {
    ValueField field;
    const kelto_live_result result =
        ParseInto(type, std::string_view(text, length), format, field, reason, reason_size);
    if (result == KELTO_LIVE_OK) std::memcpy(value, field, sizeof field);
    return result;
  });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_set(kelto_live* table, uint32_t ident,
                                                   const char* text, size_t length,
                                                   kelto_live_syntax format, char* reason,
                                                   size_t reason_size) {
  if (table == nullptr || (text == nullptr && length > 0) || !KnownSyntax(format)) {
    return KELTO_LIVE_INVALID_ARGUMENT;
  }
  return Guarded([&] {
    char type = 0;
    const kelto_live_result known = TypeOf(table->table, ident, &type);
    if (known != KELTO_LIVE_OK) return known;
    ValueField value;
    const kelto_live_result parsed =
        ParseInto(type, std::string_view(text, length), format, value, reason, reason_size);
    if (parsed != KELTO_LIVE_OK) return parsed;
    return table->table.Write(ident, type, value);
  });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_get_int(kelto_live* table, uint32_t ident,
                                                       int64_t* value) {
  if (table == nullptr || value == nullptr) return KELTO_LIVE_INVALID_ARGUMENT;
  return Guarded([&] {
    char type = 0;
    ValueField field;
    const kelto_live_result result = table->table.Read(ident, &type, field);
    if (result != KELTO_LIVE_OK) return result;
    return IntegerOf(type, field, value);
  });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_get_double(kelto_live* table, uint32_t ident,
                                                          double* value) {
  if (table == nullptr || value == nullptr) return KELTO_LIVE_INVALID_ARGUMENT;
  return Guarded([&] {
    char type = 0;
    ValueField field;
    const kelto_live_result result = table->table.Read(ident, &type, field);
    if (result != KELTO_LIVE_OK) return result;
    if (kelto::live::KindOfType(type) == ValueKind::kDouble) {
      std::memcpy(value, field, sizeof *value);
      return KELTO_LIVE_OK;
    }
    int64_t number = 0;
    const kelto_live_result integer = IntegerOf(type, field, &number);
    if (integer == KELTO_LIVE_OK) *value = static_cast<double>(number);
    return integer;
  });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_get_text(kelto_live* table, uint32_t ident,
                                                        char* buffer, size_t buffer_size) {
  if (table == nullptr || buffer == nullptr) return KELTO_LIVE_INVALID_ARGUMENT;
  return Guarded([&] {
    char type = 0;
    ValueField field;
    const kelto_live_result result = table->table.Read(ident, &type, field);
    if (result != KELTO_LIVE_OK) return result;
    if (kelto::live::KindOfType(type) != ValueKind::kText) return KELTO_LIVE_WRONG_TYPE;
    return CopyOut(std::string(field, strnlen(field, sizeof field)), buffer, buffer_size);
  });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_set_int(kelto_live* table, uint32_t ident,
                                                       int64_t value) {
  if (table == nullptr) return KELTO_LIVE_INVALID_ARGUMENT;
  return Guarded([&] {
    return table->table.Update(ident, [value](char type, ValueField& field) {
      if (kelto::live::KindOfType(type) == ValueKind::kDouble) {
        const auto as_double = static_cast<double>(value);
        // Exact only when the double converts back to the same number; 2^63
        // itself is out of int64's range and never equal.
        if (as_double >= 9223372036854775808.0 || static_cast<int64_t>(as_double) != value) {
          return KELTO_LIVE_BAD_VALUE;
        }
        std::memcpy(field, &as_double, sizeof as_double);
        return KELTO_LIVE_OK;
      }
      return EncodeWhole(type, value, field);
    });
  });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_set_double(kelto_live* table, uint32_t ident,
                                                          double value) {
  if (table == nullptr) return KELTO_LIVE_INVALID_ARGUMENT;
  return Guarded([&] {
    return table->table.Update(ident, [value](char type, ValueField& field) {
      const ValueKind kind = kelto::live::KindOfType(type);
      if (kind == ValueKind::kDouble) {
        std::memcpy(field, &value, sizeof value);
        return KELTO_LIVE_OK;
      }
      if (kind != ValueKind::kUnsigned && kind != ValueKind::kSigned32) {
        return KELTO_LIVE_WRONG_TYPE;
      }
      // Whole numbers within every integer type's range are exact in a
      // double; anything else is refused by the range check or here.
      if (!(value >= -2147483648.0 && value <= 4294967295.0) ||
          value != static_cast<double>(static_cast<int64_t>(value))) {
        return KELTO_LIVE_BAD_VALUE;
      }
      return EncodeWhole(type, static_cast<int64_t>(value), field);
    });
  });
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_set_text(kelto_live* table, uint32_t ident,
                                                        const char* text) {
  if (table == nullptr || text == nullptr) return KELTO_LIVE_INVALID_ARGUMENT;
  return Guarded([&] {
    char type = 0;
    const kelto_live_result known = TypeOf(table->table, ident, &type);
    if (known != KELTO_LIVE_OK) return known;
    if (kelto::live::KindOfType(type) != ValueKind::kText) return KELTO_LIVE_WRONG_TYPE;
    return WriteParsed(table->table, ident, type, text, KELTO_LIVE_RAW);
  });
}

KELTO_LIVE_EXPORT uint64_t kelto_live_cursor(kelto_live* table) {
  if (table == nullptr) return 0;
  try {
    return table->table.Cursor();
  } catch (...) {
    return 0;
  }
}

KELTO_LIVE_EXPORT kelto_live_result kelto_live_wait(kelto_live* table, uint64_t* cursor,
                                                    const uint32_t* idents, uint32_t ident_count,
                                                    int32_t timeout_ms, uint32_t* changed,
                                                    uint32_t capacity, uint32_t* changed_count,
                                                    int* resync) {
  if (table == nullptr || cursor == nullptr || changed_count == nullptr || resync == nullptr ||
      (idents == nullptr && ident_count > 0) || (changed == nullptr && capacity > 0) ||
      timeout_ms < KELTO_LIVE_FOREVER) {
    return KELTO_LIVE_INVALID_ARGUMENT;
  }
  *changed_count = 0;
  *resync = 0;
  return Guarded([&] {
    kelto::live::ChangeBatch batch;
    const std::vector<uint32_t> filter(idents, idents + ident_count);
    const kelto_live_result result = table->table.Wait(cursor, filter, timeout_ms, &batch);
    if (result != KELTO_LIVE_OK) return result;
    const size_t written = std::min<size_t>(batch.idents.size(), capacity);
    std::copy_n(batch.idents.begin(), written, changed);
    *changed_count = static_cast<uint32_t>(written);
    *resync = batch.resync || written < batch.idents.size() ? 1 : 0;
    return KELTO_LIVE_OK;
  });
}

}  // extern "C"
