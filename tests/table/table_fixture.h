// A fixture for tests of the table through the public header: every test
// gets its own directory and segment name, and leaves the table closed.
#ifndef KELTO_TESTS_TABLE_TABLE_FIXTURE_H_
#define KELTO_TESTS_TABLE_TABLE_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "kelto.h"
#include "support/test_environment.h"

namespace kelto::testing {

// Three iorsh and three memsh variables covering a string, the integer
// widths, a double and a size-0 letter. Idents 0 to 5 in this order.
inline constexpr const char* kIorshDefinitions = "SPEED=L\nNAME=$\nFLAG=B\n";
inline constexpr const char* kMemshDefinitions = "LEVEL=D\nCOUNT=W\nRAW=X\n";
inline constexpr int32_t kSpeed = 0;
inline constexpr int32_t kName = 1;
inline constexpr int32_t kFlag = 2;
inline constexpr int32_t kLevel = 3;
inline constexpr int32_t kCount = 4;
inline constexpr int32_t kRaw = 5;
inline constexpr int32_t kItems = 6;

class TableTest : public ::testing::Test {
 protected:
  void TearDown() override { KeltoClose(); }

  // Writes both definition files and opens the table on them.
  void OpenWith(const std::string& iorsh, const std::string& memsh);
  void OpenStandardTable() { OpenWith(kIorshDefinitions, kMemshDefinitions); }

  std::string Log() const { return env_.ReadLog(); }
  // What the log gained since `mark` (a length of Log() taken earlier).
  std::string LogSince(size_t mark) const { return Log().substr(mark); }

  TestEnvironment env_;
};

// The item `ident` of this process's raw view.
KeltoVarItem& RawItem(int32_t ident);

// Text of `length` copies of `letter`.
std::string Repeat(char letter, size_t length);

}  // namespace kelto::testing

#endif  // KELTO_TESTS_TABLE_TABLE_FIXTURE_H_
