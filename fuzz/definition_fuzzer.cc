// Feeds arbitrary bytes to the library as the two definition files, then
// drives every family of exports with names, idents and buffers drawn from the
// same bytes. Besides the sanitizers, it checks the table against an
// independent reading of the files: what a hostile file may not do is overrun
// anything, and what it may not change is which variables exist.
//
// Input layout:
//   byte 0      flags (kFlag... below)
//   bytes 1-2   length of the iorsh file, little-endian (cut to what is left)
//   then        the iorsh file, then the memsh file (the rest)
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kelto.h"

namespace {

constexpr uint8_t kFlagNoIorshFile = 1 << 0;
constexpr uint8_t kFlagNoMemshFile = 1 << 1;
constexpr uint8_t kFlagOpenTwice = 1 << 2;
constexpr uint8_t kFlagCloseFirst = 1 << 3;
constexpr uint8_t kFlagFacadeOpen = 1 << 4;

// How many definitions get the full round of per-variable calls; the table
// checks still cover every item.
constexpr size_t kVariablesDrivenByName = 24;
constexpr size_t kLineBufferSize = 1024;
constexpr size_t kMaxFullName = 255;

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

std::string g_directory;
std::string g_segment;

void RemoveSharedObjects() {
  shm_unlink(("/" + g_segment).c_str());
  shm_unlink(("/" + g_segment + ".lock").c_str());
}

void RemoveEverything() {
  RemoveSharedObjects();
  std::error_code ignored;
  std::filesystem::remove_all(g_directory, ignored);
}

void WriteFile(const std::string& name, std::string_view content) {
  const std::string path = g_directory + "/" + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  if (!content.empty())
    FUZZ_CHECK(std::fwrite(content.data(), 1, content.size(), file) == content.size());
  std::fclose(file);
}

void RemoveFile(const std::string& name) { std::remove((g_directory + "/" + name).c_str()); }

int32_t ExpectedSize(char letter) {
  switch (letter) {
    case '$': return 63;
    case 'B':
    case 'H':
    case 'O': return 1;
    case 'M':
    case 'W': return 2;
    case 'L': return 4;
    case 'D': return 8;
    default: return 0;
  }
}

struct ModelVariable {
  std::string full_name;
  std::string bare_name;  // without the set prefix, as the facades take it
  char type;
  bool iorsh;
};

// An independent reading of a definition file: pieces of at most 1023 bytes
// that end after a newline, each judged as text up to its first NUL byte.
void ModelRead(std::string_view file, const char* prefix, bool iorsh,
               std::vector<ModelVariable>* variables) {
  size_t position = 0;
  while (position < file.size()) {
    size_t length = 0;
    while (position + length < file.size() && length < kLineBufferSize - 1) {
      if (file[position + length++] == '\n') break;
    }
    const std::string_view piece = file.substr(position, length);
    position += length;
    const std::string_view text = piece.substr(0, piece.find('\0'));
    if (text.empty() || text[0] == '[' || text[0] == ';' || text[0] == '/') continue;
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    ModelVariable variable;
    variable.full_name = (prefix + std::string(text.substr(0, equals))).substr(0, kMaxFullName);
    variable.bare_name = variable.full_name.substr(6);
    variable.type = equals + 1 < piece.size() ? piece[equals + 1] : '\0';
    variable.iorsh = iorsh;
    variables->push_back(variable);
  }
}

// Exactly sized heap copies, so that any byte read or written past the end is
// an AddressSanitizer report.
std::unique_ptr<char[]> HeapText(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  // Cycles through the input; zeros when it is empty.
  uint8_t Byte() { return size_ == 0 ? 0 : data_[cursor_++ % size_]; }
  int32_t Int32() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | Byte();
    return static_cast<int32_t>(value);
  }
  // A name of `length` bytes taken from the input, with no NUL inside.
  std::string Text(size_t length, uint8_t or_mask = 0) {
    std::string text(length, 'x');
    for (char& c : text) {
      const uint8_t byte = static_cast<uint8_t>(Byte() | or_mask);
      if (byte != 0) c = static_cast<char>(byte);
    }
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t cursor_ = 0;
};

struct Expectations {
  bool table_open = false;
  std::vector<ModelVariable> variables;
  std::map<std::string, int32_t> last_ident;  // full name -> ident of its last definition
};

void DriveName(const Expectations& expected, const std::string& full_name, Input& input) {
  const auto found =
      expected.table_open ? expected.last_ident.find(full_name) : expected.last_ident.end();
  const bool exists = found != expected.last_ident.end();
  const auto name = HeapText(full_name);

  const int32_t ident = KeltoGetIdentVarName(name.get());
  FUZZ_CHECK(ident == (exists ? found->second : -1));
  const char type = KeltoGetTypeVarName(name.get());
  const int32_t size = KeltoGetSizeVarName(name.get());
  if (exists) {
    const ModelVariable& variable = expected.variables[static_cast<size_t>(ident)];
    FUZZ_CHECK(type == variable.type);
    FUZZ_CHECK(size == ExpectedSize(variable.type));
  } else {
    FUZZ_CHECK(type == '#');
    FUZZ_CHECK(size == -1);
  }

  // A by-name string write measures its source, so it gets a terminated one.
  std::unique_ptr<char[]> source(new char[KELTO_VALUE_SIZE]);
  for (size_t i = 0; i < KELTO_VALUE_SIZE; ++i) source[i] = static_cast<char>(input.Byte());
  source[static_cast<size_t>(input.Byte() % KELTO_VALUE_SIZE)] = '\0';
  FUZZ_CHECK(KeltoWriteVarName(name.get(), source.get()) == (exists ? 0 : -5));
  std::unique_ptr<char[]> destination(new char[KELTO_VALUE_SIZE]);
  FUZZ_CHECK(KeltoReadVarName(name.get(), destination.get()) == (exists ? 0 : -3));
  if (exists && type == '$') {
    FUZZ_CHECK(std::strncmp(destination.get(), source.get(), KELTO_VALUE_SIZE) == 0);
  } else if (exists) {
    FUZZ_CHECK(std::memcmp(destination.get(), source.get(), static_cast<size_t>(size)) == 0);
  }

  FUZZ_CHECK(KeltoWriteInt32(name.get(), input.Int32()) == (exists ? 0 : -5));
  FUZZ_CHECK(KeltoWriteByte(name.get(), static_cast<char>(input.Byte())) == (exists ? 0 : -5));
  FUZZ_CHECK(KeltoWriteDouble(name.get(), static_cast<double>(input.Int32()) / 3.0) ==
             (exists ? 0 : -5));
  const auto text = HeapText(input.Text(input.Byte()));
  FUZZ_CHECK(KeltoWriteString(name.get(), text.get()) == (exists ? 0 : -5));
  (void)KeltoReadByte(name.get());
  (void)KeltoReadInt32(name.get());
  (void)KeltoReadDouble(name.get());
  FUZZ_CHECK(KeltoReadString(name.get(), destination.get()) == (exists ? 0 : -3));
  if (!exists) {
    FUZZ_CHECK(KeltoReadInt32(name.get()) == 0);
  }
}

// The facades add the prefix themselves and must agree with the core.
void DriveFacades(const std::string& bare_name) {
  const auto name = HeapText(bare_name);
  const std::string prefixes[2] = {"IORSH_", "MEMSH_"};
  for (int family = 0; family < 2; ++family) {
    const auto full = HeapText(prefixes[family] + bare_name);
    const bool iorsh = family == 0;
    const int32_t core_ident = KeltoGetIdentVarName(full.get());
    FUZZ_CHECK((iorsh ? IORShGetIdentVarName(name.get()) : MemShGetIdentVarName(name.get())) ==
               core_ident);
    FUZZ_CHECK((iorsh ? IORShGetTypeVarName(name.get()) : MemShGetTypeVarName(name.get())) ==
               KeltoGetTypeVarName(full.get()));
    FUZZ_CHECK((iorsh ? IORShGetSizeVarName(name.get()) : MemShGetSizeVarName(name.get())) ==
               KeltoGetSizeVarName(full.get()));
    std::unique_ptr<char[]> value(new char[KELTO_VALUE_SIZE]());
    const int32_t read = iorsh ? IORShReadVarName(name.get(), value.get())
                               : MemShReadVarName(name.get(), value.get());
    FUZZ_CHECK(read == (core_ident >= 0 ? 0 : -3));
    const int32_t written = iorsh ? IORShWriteVarName(name.get(), value.get())
                                  : MemShWriteVarName(name.get(), value.get());
    FUZZ_CHECK(written == (core_ident >= 0 ? 0 : -5));
  }
}

void DriveIdent(const Expectations& expected, int32_t ident, Input& input) {
  const uint32_t count = expected.table_open ? static_cast<uint32_t>(expected.variables.size()) : 0;
  const bool exists = ident >= 0 && static_cast<uint32_t>(ident) < count;

  // By ident a string source needs no terminator within its 64 bytes.
  std::unique_ptr<char[]> source(new char[KELTO_VALUE_SIZE]);
  for (size_t i = 0; i < KELTO_VALUE_SIZE; ++i) source[i] = static_cast<char>(input.Byte() | 1);
  std::unique_ptr<char[]> destination(new char[KELTO_VALUE_SIZE]);
  std::unique_ptr<char[]> full_name(new char[KELTO_NAME_SIZE]);
  std::unique_ptr<char[]> bare_name(new char[static_cast<size_t>(KELTO_NAME_SIZE - 6)]);
  full_name[0] = '\0';
  bare_name[0] = '\0';

  FUZZ_CHECK(KeltoWriteVar(ident, source.get()) == (exists ? 0 : -1));
  FUZZ_CHECK(KeltoReadVar(ident, destination.get()) == (exists ? 0 : -1));
  FUZZ_CHECK(IORShWriteVar(ident, source.get()) == (exists ? 0 : -1));
  FUZZ_CHECK(MemShReadVar(ident, destination.get()) == (exists ? 0 : -1));
  FUZZ_CHECK(KeltoReadNameVar(ident, full_name.get()) == 0);
  FUZZ_CHECK(IORShReadNameVar(ident, bare_name.get()) == 0);
  FUZZ_CHECK(MemShReadNameVar(ident, bare_name.get()) == 0);
  const char type = KeltoGetTypeVar(ident);
  const int32_t size = KeltoGetSizeVar(ident);
  FUZZ_CHECK(IORShGetTypeVar(ident) == type && MemShGetTypeVar(ident) == type);
  FUZZ_CHECK(IORShGetSizeVar(ident) == size && MemShGetSizeVar(ident) == size);
  if (!exists) {
    FUZZ_CHECK(type == '#' && size == 0 && full_name[0] == '\0');
    return;
  }
  const ModelVariable& variable = expected.variables[static_cast<size_t>(ident)];
  FUZZ_CHECK(type == variable.type);
  FUZZ_CHECK(size == ExpectedSize(variable.type));
  FUZZ_CHECK(variable.full_name == full_name.get());
  FUZZ_CHECK(variable.bare_name == bare_name.get());
  if (type == '$') {
    FUZZ_CHECK(std::memcmp(destination.get(), source.get(), KELTO_VALUE_SIZE - 1) == 0);
    FUZZ_CHECK(destination[KELTO_VALUE_SIZE - 1] == '\0');
  } else {
    FUZZ_CHECK(std::memcmp(destination.get(), source.get(), static_cast<size_t>(size)) == 0);
  }
}

// Walks the raw items as a caller of the raw view would.
void CheckRawView(const Expectations& expected) {
  const uint32_t count = KeltoGetNumberOfItems();
  FUZZ_CHECK(KeltoGetItemSize() == KELTO_ITEM_SIZE);
  if (!expected.table_open) {
    FUZZ_CHECK(count == 0);
    return;
  }
  FUZZ_CHECK(count == expected.variables.size());
  const auto* items = static_cast<const KeltoVarItem*>(KeltoGetPointer());
  FUZZ_CHECK(count == 0 || items != nullptr);
  for (uint32_t i = 0; i < count; ++i) {
    const KeltoVarItem& item = items[i];
    FUZZ_CHECK(strnlen(item.name, KELTO_NAME_SIZE) < KELTO_NAME_SIZE);
    FUZZ_CHECK(expected.variables[i].full_name == item.name);
    FUZZ_CHECK(item.type == expected.variables[i].type);
    FUZZ_CHECK(item.size == ExpectedSize(item.type));
  }
}

void OpenTable(uint8_t flags) {
  if (flags & kFlagFacadeOpen) {
    FUZZ_CHECK(IORShOpen(0) == 1);
  } else {
    FUZZ_CHECK(KeltoOpen() == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/kelto-fuzz-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  g_directory = pattern;
  g_segment = "kelto-fuzz-" + std::to_string(getpid());
  setenv("KELTO_DIR", g_directory.c_str(), 1);
  setenv("KELTO_SEGMENT", g_segment.c_str(), 1);
  std::atexit(RemoveEverything);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t header[3] = {};
  std::memcpy(header, data, size < 3 ? size : 3);
  const std::string_view rest =
      size > 3 ? std::string_view(reinterpret_cast<const char*>(data) + 3, size - 3)
               : std::string_view();
  const uint8_t flags = header[0];
  const size_t iorsh_length =
      std::min<size_t>(static_cast<size_t>(header[1] | (header[2] << 8)), rest.size());
  const std::string_view iorsh = rest.substr(0, iorsh_length);
  const std::string_view memsh = rest.substr(iorsh_length);

  RemoveSharedObjects();
  WriteFile("iorsh.mem", iorsh);
  WriteFile("memsh.mem", memsh);
  if (flags & kFlagNoIorshFile) RemoveFile("iorsh.mem");
  if (flags & kFlagNoMemshFile) RemoveFile("memsh.mem");
  const bool files_present = !(flags & (kFlagNoIorshFile | kFlagNoMemshFile));

  Expectations expected;
  ModelRead(iorsh, "IORSH_", true, &expected.variables);
  ModelRead(memsh, "MEMSH_", false, &expected.variables);
  for (size_t i = 0; i < expected.variables.size(); ++i) {
    expected.last_ident[expected.variables[i].full_name] = static_cast<int32_t>(i);
  }
  // No definitions means no segment: the table is then open but empty.
  expected.table_open = files_present && !(flags & kFlagCloseFirst);
  if (expected.variables.empty()) expected.table_open = false;

  OpenTable(flags);
  if ((flags & kFlagOpenTwice) && files_present) OpenTable(flags ^ kFlagFacadeOpen);
  if (flags & kFlagCloseFirst) FUZZ_CHECK(KeltoClose() == 0);

  Input input(data, size);
  CheckRawView(expected);

  const size_t count = expected.variables.size();
  for (size_t i = 0; i < count && i < kVariablesDrivenByName; ++i) {
    DriveName(expected, expected.variables[i].full_name, input);
    DriveFacades(expected.variables[i].bare_name);
  }
  // Names no file can define the same way: empty, long, high bytes, boundary
  // lengths around the 255 bytes of a full name and the 249 of a facade name.
  const std::string hostile_names[] = {
      "",
      input.Text(10000),
      input.Text(1 + input.Byte() % 300, 0x80),
      "IORSH_" + input.Text(249),
      "IORSH_" + input.Text(250),
      "MEMSH_" + input.Text(input.Byte()),
  };
  for (const std::string& name : hostile_names) {
    DriveName(expected, name, input);
    DriveFacades(name);
    DriveFacades(name.size() > 6 ? name.substr(6) : name);
  }

  const int32_t n = static_cast<int32_t>(count);
  const int32_t idents[] = {-1,
                            0,
                            n - 1,
                            n,
                            n + 1,
                            INT32_MIN,
                            INT32_MAX,
                            input.Int32(),
                            count > 0 ? static_cast<int32_t>(input.Int32() & 0x7fffffff) % n : 0};
  for (const int32_t ident : idents) DriveIdent(expected, ident, input);

  FUZZ_CHECK(KeltoClose() == 0);
  FUZZ_CHECK(KeltoClose() == 0);
  FUZZ_CHECK(KeltoGetPointer() == nullptr && KeltoGetNumberOfItems() == 0);
  RemoveSharedObjects();
  return 0;
}
