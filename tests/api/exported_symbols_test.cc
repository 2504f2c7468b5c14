// The shared library exports exactly the 49 functions of its three families,
// as plain C symbols, and nothing else: no C++ symbol, no template
// instantiation, no helper. Read from the dynamic symbol table of the built
// file itself, so a change to the linker script, to visibility or to the
// header shows up here.
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::set<std::string> kExpectedExports = {
    // Kelto: Open and Close, access by ident and by name.
    "KeltoOpen", "KeltoClose", "KeltoWriteVar", "KeltoReadVar", "KeltoGetTypeVar",
    "KeltoGetSizeVar", "KeltoReadNameVar", "KeltoGetIdentVarName", "KeltoGetTypeVarName",
    "KeltoGetSizeVarName", "KeltoWriteVarName", "KeltoReadVarName",
    // Kelto: typed accessors and raw view.
    "KeltoReadByte", "KeltoReadInt32", "KeltoReadDouble", "KeltoReadString", "KeltoWriteByte",
    "KeltoWriteInt32", "KeltoWriteDouble", "KeltoWriteString", "KeltoGetPointer",
    "KeltoGetNumberOfItems", "KeltoGetItemSize",
    // IORSh.
    "IORShOpen", "IORShClose", "IORShReadApplicationCount", "IORShWriteVar", "IORShReadVar",
    "IORShGetTypeVar", "IORShGetSizeVar", "IORShGetIdentVarName", "IORShGetTypeVarName",
    "IORShGetSizeVarName", "IORShWriteVarName", "IORShReadVarName", "IORShReadNameVar",
    // MemSh.
    "MemShOpen", "MemShClose", "MemShReadApplicationCount", "MemShWriteVar", "MemShReadVar",
    "MemShGetTypeVar", "MemShGetSizeVar", "MemShGetIdentVarName", "MemShGetTypeVarName",
    "MemShGetSizeVarName", "MemShWriteVarName", "MemShReadVarName", "MemShReadNameVar"};

struct DynamicSymbol {
  unsigned char type;
  unsigned char binding;
  unsigned char visibility;
  Elf64_Half section;
};

std::vector<char> ReadWholeFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename T>
bool ReadAt(const std::vector<char>& file, uint64_t offset, T* out) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
  std::memcpy(out, file.data() + offset, sizeof(T));
  return true;
}

// Every symbol that the file defines in its dynamic symbol table, by name.
// Fails the calling test (and returns what it has) on a malformed file.
std::map<std::string, DynamicSymbol> DefinedDynamicSymbols(const std::vector<char>& file) {
  std::map<std::string, DynamicSymbol> symbols;
  Elf64_Ehdr header;
  EXPECT_TRUE(ReadAt(file, 0, &header));
  EXPECT_EQ(std::memcmp(header.e_ident, ELFMAG, SELFMAG), 0) << "not an ELF file";
  EXPECT_EQ(header.e_ident[EI_CLASS], ELFCLASS64) << "only 64-bit builds are checked";
  EXPECT_EQ(header.e_type, ET_DYN);
  EXPECT_EQ(header.e_shentsize, sizeof(Elf64_Shdr));
  if (::testing::Test::HasFailure()) return symbols;

  std::vector<Elf64_Shdr> sections(header.e_shnum);
  for (size_t i = 0; i < sections.size(); ++i) {
    if (!ReadAt(file, header.e_shoff + i * sizeof(Elf64_Shdr), &sections[i])) {
      ADD_FAILURE() << "section header " << i << " outside the file";
      return symbols;
    }
  }
  const auto dynsym = std::find_if(sections.begin(), sections.end(),
                                   [](const Elf64_Shdr& s) { return s.sh_type == SHT_DYNSYM; });
  if (dynsym == sections.end() || dynsym->sh_link >= sections.size()) {
    ADD_FAILURE() << "no dynamic symbol table";
    return symbols;
  }
  const Elf64_Shdr& strings = sections[dynsym->sh_link];
  const uint64_t count = dynsym->sh_size / sizeof(Elf64_Sym);
  for (uint64_t i = 1; i < count; ++i) {  // entry 0 is the null symbol
    Elf64_Sym symbol;
    if (!ReadAt(file, dynsym->sh_offset + i * sizeof(Elf64_Sym), &symbol) ||
        symbol.st_name >= strings.sh_size || strings.sh_offset + strings.sh_size > file.size()) {
      ADD_FAILURE() << "symbol " << i << " outside the file";
      return symbols;
    }
    if (symbol.st_shndx == SHN_UNDEF) continue;  // imported, not ours
    const char* name = file.data() + strings.sh_offset + symbol.st_name;
    const std::string text(name, strnlen(name, strings.sh_size - symbol.st_name));
    // The <elf.h> macros compute in int; each result fits in the byte it names.
    symbols[text] = {static_cast<unsigned char>(ELF64_ST_TYPE(symbol.st_info)),
                     static_cast<unsigned char>(ELF64_ST_BIND(symbol.st_info)),
                     static_cast<unsigned char>(ELF64_ST_VISIBILITY(symbol.st_other)),
                     symbol.st_shndx};
  }
  return symbols;
}

// Markers some linkers define in every shared library; they are neither
// functions nor data of ours. A named version node, should the linker script
// ever get one, appears as an absolute symbol of that name.
bool IsLinkerDefined(const std::string& name, const DynamicSymbol& symbol) {
  static const std::set<std::string> kMarkers = {"_edata", "_end", "__bss_start"};
  if (symbol.type == STT_FUNC) return false;
  return kMarkers.count(name) != 0 || (symbol.section == SHN_ABS && symbol.type == STT_OBJECT);
}

std::set<std::string> FunctionsDeclaredInHeader() {
  std::ifstream in(KELTO_PUBLIC_HEADER);
  std::stringstream text;
  text << in.rdbuf();
  const std::string header = text.str();
  // Declarations start a line; the macro's own definition does not.
  const std::regex declaration(R"((?:^|\n)KELTO_EXPORT\s+[^;(]*?\b([A-Za-z_]\w*)\s*\()");
  std::set<std::string> names;
  for (auto it = std::sregex_iterator(header.begin(), header.end(), declaration);
       it != std::sregex_iterator(); ++it) {
    names.insert((*it)[1].str());
  }
  return names;
}

TEST(ExportedSymbols, ExpectedListHasFortyNineNames) { EXPECT_EQ(kExpectedExports.size(), 49u); }

TEST(ExportedSymbols, LibraryExportsExactlyTheThreeFamilies) {
  const std::vector<char> file = ReadWholeFile(KELTO_LIBRARY_FILE);
  ASSERT_FALSE(file.empty()) << "cannot read " << KELTO_LIBRARY_FILE;
  const auto symbols = DefinedDynamicSymbols(file);

  std::set<std::string> missing = kExpectedExports;
  std::vector<std::string> extra;
  for (const auto& [name, symbol] : symbols) {
    if (kExpectedExports.count(name) != 0) {
      missing.erase(name);
      EXPECT_EQ(symbol.type, STT_FUNC) << name << " is not a function";
      EXPECT_EQ(symbol.binding, STB_GLOBAL) << name << " is not a global symbol";
      EXPECT_EQ(symbol.visibility, STV_DEFAULT) << name << " is not visible";
    } else if (!IsLinkerDefined(name, symbol)) {
      extra.push_back(name);
    }
  }
  EXPECT_TRUE(missing.empty()) << "missing: " << ::testing::PrintToString(missing);
  EXPECT_TRUE(extra.empty()) << "exported but not ours to export: "
                             << ::testing::PrintToString(extra);
}

TEST(ExportedSymbols, HeaderDeclaresExactlyTheExports) {
  const std::set<std::string> declared = FunctionsDeclaredInHeader();
  ASSERT_FALSE(declared.empty()) << "cannot read " << KELTO_PUBLIC_HEADER;
  std::vector<std::string> not_exported;
  std::vector<std::string> not_declared;
  std::set_difference(declared.begin(), declared.end(), kExpectedExports.begin(),
                      kExpectedExports.end(), std::back_inserter(not_exported));
  std::set_difference(kExpectedExports.begin(), kExpectedExports.end(), declared.begin(),
                      declared.end(), std::back_inserter(not_declared));
  EXPECT_TRUE(not_exported.empty())
      << "declared but not one of the 49: " << ::testing::PrintToString(not_exported);
  EXPECT_TRUE(not_declared.empty()) << "not declared: " << ::testing::PrintToString(not_declared);
}

}  // namespace
