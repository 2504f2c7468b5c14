// A small table shared by the facade tests: four iorsh variables, then three
// memsh ones, with SPEED defined in both sets so that the prefix alone tells
// them apart.
#ifndef KELTO_TESTS_API_FACADE_FIXTURE_H_
#define KELTO_TESTS_API_FACADE_FIXTURE_H_

#include <gtest/gtest.h>
#include <kelto.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "support/test_environment.h"

namespace kelto::testing {

inline constexpr char kIorshDefinitions[] =
    "[IORSH]\n"
    "SPEED=L\n"        // ident 0
    "TEMPERATURE=D\n"  // ident 1
    "STATE=$\n"        // ident 2
    "FLAG=B\n";        // ident 3
inline constexpr char kMemshDefinitions[] =
    "; memsh set\n"
    "LEVEL=W\n"  // ident 4, the first memsh-only name
    "SPEED=L\n"  // ident 5
    "NOTE=$\n";  // ident 6

inline constexpr int32_t kIorshCount = 4;
inline constexpr int32_t kIorshSpeed = 0;
inline constexpr int32_t kIorshState = 2;
inline constexpr int32_t kMemshLevel = 4;
inline constexpr int32_t kMemshSpeed = 5;
inline constexpr int32_t kItemCount = 7;

inline std::string NotFoundLine(const std::string& full_name) {
  return "tried to access non-existing variable " + full_name + "\n";
}

inline int32_t ReadInt32ByName(int32_t (*read)(const char*, char*), const char* name,
                               int32_t* status = nullptr) {
  int32_t value = 0;
  const int32_t result = read(name, reinterpret_cast<char*>(&value));
  if (status != nullptr) *status = result;
  return value;
}

// The table of the constants above, opened through the IORSh family.
class FacadeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
    ASSERT_EQ(IORShOpen(0), 1);
    ASSERT_EQ(KeltoGetNumberOfItems(), static_cast<uint32_t>(kItemCount));
  }
  void TearDown() override { KeltoClose(); }

  // Log lines written after Open, in order.
  std::string LogAfterOpen() const {
    const std::string log = env_.ReadLog();
    const std::string last_variable = "6 MEMSH_NOTE $ 63\n";
    const size_t at = log.find(last_variable);
    return at == std::string::npos ? log : log.substr(at + last_variable.size());
  }

  TestEnvironment env_;
};

}  // namespace kelto::testing

#endif  // KELTO_TESTS_API_FACADE_FIXTURE_H_
