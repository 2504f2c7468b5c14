// The public header as a C++ client sees it: it must compile first and alone
// under our warnings, declare the functions with C linkage and the exact
// types of the interface, and describe the item the library really lays out.
#include <kelto.h>
// Nothing above this line: the header must stand on its own.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace {

#define KELTO_EXPECT_SIGNATURE(function, ...) \
  static_assert(std::is_same_v<decltype(&function), __VA_ARGS__>, #function)

using OpenFn = int32_t (*)();
using FacadeOpenFn = int32_t (*)(int32_t);
using WriteByIdentFn = int32_t (*)(int32_t, const char*);
using ReadByIdentFn = int32_t (*)(int32_t, char*);
using TypeByIdentFn = char (*)(int32_t);
using SizeByIdentFn = int32_t (*)(int32_t);
using IdentByNameFn = int32_t (*)(const char*);
using TypeByNameFn = char (*)(const char*);
using WriteByNameFn = int32_t (*)(const char*, const char*);
using ReadByNameFn = int32_t (*)(const char*, char*);

KELTO_EXPECT_SIGNATURE(KeltoOpen, OpenFn);
KELTO_EXPECT_SIGNATURE(KeltoClose, OpenFn);
KELTO_EXPECT_SIGNATURE(KeltoWriteVar, WriteByIdentFn);
KELTO_EXPECT_SIGNATURE(KeltoReadVar, ReadByIdentFn);
KELTO_EXPECT_SIGNATURE(KeltoGetTypeVar, TypeByIdentFn);
KELTO_EXPECT_SIGNATURE(KeltoGetSizeVar, SizeByIdentFn);
KELTO_EXPECT_SIGNATURE(KeltoReadNameVar, ReadByIdentFn);
KELTO_EXPECT_SIGNATURE(KeltoGetIdentVarName, IdentByNameFn);
KELTO_EXPECT_SIGNATURE(KeltoGetTypeVarName, TypeByNameFn);
KELTO_EXPECT_SIGNATURE(KeltoGetSizeVarName, IdentByNameFn);
KELTO_EXPECT_SIGNATURE(KeltoWriteVarName, WriteByNameFn);
KELTO_EXPECT_SIGNATURE(KeltoReadVarName, ReadByNameFn);
KELTO_EXPECT_SIGNATURE(KeltoReadByte, char (*)(const char*));
KELTO_EXPECT_SIGNATURE(KeltoReadInt32, int32_t (*)(const char*));
KELTO_EXPECT_SIGNATURE(KeltoReadDouble, double (*)(const char*));
KELTO_EXPECT_SIGNATURE(KeltoReadString, ReadByNameFn);
KELTO_EXPECT_SIGNATURE(KeltoWriteByte, int32_t (*)(const char*, char));
KELTO_EXPECT_SIGNATURE(KeltoWriteInt32, int32_t (*)(const char*, int32_t));
KELTO_EXPECT_SIGNATURE(KeltoWriteDouble, int32_t (*)(const char*, double));
KELTO_EXPECT_SIGNATURE(KeltoWriteString, WriteByNameFn);
KELTO_EXPECT_SIGNATURE(KeltoGetPointer, void* (*)());
KELTO_EXPECT_SIGNATURE(KeltoGetNumberOfItems, uint32_t (*)());
KELTO_EXPECT_SIGNATURE(KeltoGetItemSize, uint32_t (*)());

// The two facade families, one signature list for both.
#define KELTO_EXPECT_FACADE_FAMILY(Family)                        \
  KELTO_EXPECT_SIGNATURE(Family##Open, FacadeOpenFn);             \
  KELTO_EXPECT_SIGNATURE(Family##Close, OpenFn);                  \
  KELTO_EXPECT_SIGNATURE(Family##ReadApplicationCount, OpenFn);   \
  KELTO_EXPECT_SIGNATURE(Family##WriteVar, WriteByIdentFn);       \
  KELTO_EXPECT_SIGNATURE(Family##ReadVar, ReadByIdentFn);         \
  KELTO_EXPECT_SIGNATURE(Family##GetTypeVar, TypeByIdentFn);      \
  KELTO_EXPECT_SIGNATURE(Family##GetSizeVar, SizeByIdentFn);      \
  KELTO_EXPECT_SIGNATURE(Family##GetIdentVarName, IdentByNameFn); \
  KELTO_EXPECT_SIGNATURE(Family##GetTypeVarName, TypeByNameFn);   \
  KELTO_EXPECT_SIGNATURE(Family##GetSizeVarName, IdentByNameFn);  \
  KELTO_EXPECT_SIGNATURE(Family##WriteVarName, WriteByNameFn);    \
  KELTO_EXPECT_SIGNATURE(Family##ReadVarName, ReadByNameFn);      \
  KELTO_EXPECT_SIGNATURE(Family##ReadNameVar, ReadByIdentFn)

KELTO_EXPECT_FACADE_FAMILY(IORSh);
KELTO_EXPECT_FACADE_FAMILY(MemSh);

// Building the library is what gives KELTO_EXPORT a meaning; a client must
// see it empty, or its own declarations would be marked for export.
#ifdef KELTO_BUILDING_LIBRARY
#error "KELTO_BUILDING_LIBRARY leaked into a client build"
#endif

static_assert(std::is_standard_layout_v<KeltoVarItem> && std::is_trivially_copyable_v<KeltoVarItem>,
              "the item is read straight out of shared memory");

TEST(HeaderAsCxx, ConstantsMatchWhatTheLibraryReports) {
  EXPECT_EQ(std::string(KELTO_VERSION), "2.0.0");
  EXPECT_EQ(KeltoGetItemSize(), sizeof(KeltoVarItem));
  EXPECT_EQ(KeltoGetItemSize(), static_cast<uint32_t>(KELTO_ITEM_SIZE));
  EXPECT_EQ(sizeof(KeltoVarItem::name), static_cast<size_t>(KELTO_NAME_SIZE));
  EXPECT_EQ(sizeof(KeltoVarItem::value), static_cast<size_t>(KELTO_VALUE_SIZE));
}

}  // namespace
