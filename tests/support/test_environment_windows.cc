// The test environment on Windows: a fresh directory under the temporary
// directory and a fresh mapping name per test. Processes are started as
// programs of their own (see tests/windows/), never as copies of this one.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "support/test_environment.h"

namespace kelto::testing {
namespace {

std::string UniqueName(const char* stem) {
  static std::atomic<int> counter{0};
  char name[96];
  std::snprintf(name, sizeof name, "%s-%lu-%d-%u", stem,
                static_cast<unsigned long>(GetCurrentProcessId()), counter.fetch_add(1),
                static_cast<unsigned>(GetTickCount()));
  return name;
}

}  // namespace

TestEnvironment::TestEnvironment() {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  directory_ = (base / UniqueName("kelto-test")).generic_string();
  std::filesystem::create_directories(directory_);
  segment_ = UniqueName("kelto-test");
  _putenv_s("KELTO_DIR", directory_.c_str());
  _putenv_s("KELTO_SEGMENT", segment_.c_str());
}

TestEnvironment::~TestEnvironment() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
  _putenv_s("KELTO_DIR", "");
  _putenv_s("KELTO_SEGMENT", "");
}

bool TestEnvironment::SegmentExists() const {
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, segment_.c_str());
  if (mapping == nullptr) return false;
  CloseHandle(mapping);
  return true;
}

bool TestEnvironment::TableFilesExist() const { return SegmentExists(); }

}  // namespace kelto::testing
