#include "table_fixture.h"

namespace kelto::testing {

void TableTest::OpenWith(const std::string& iorsh, const std::string& memsh) {
  env_.WriteDefinitions(iorsh, memsh);
  ASSERT_EQ(KeltoOpen(), 0);
}

KeltoVarItem& RawItem(int32_t ident) {
  return static_cast<KeltoVarItem*>(KeltoGetPointer())[ident];
}

std::string Repeat(char letter, size_t length) { return std::string(length, letter); }

}  // namespace kelto::testing
