// The test environment on Windows: a fresh directory under the temporary
// directory and a fresh mapping name per test. Processes are started as
// programs of their own (see tests/windows/), never as copies of this one.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

// Lines the C runtime wrote in text mode end in CRLF; the tests compare
// lines as the library wrote them.
std::string WithoutCarriageReturns(std::string text) {
  std::string lines;
  lines.reserve(text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') continue;
    lines.push_back(text[at]);
  }
  return lines;
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

void TestEnvironment::WriteDefinitions(const std::string& iorsh, const std::string& memsh) const {
  WriteFile("iorsh.mem", iorsh);
  WriteFile("memsh.mem", memsh);
}

void TestEnvironment::WriteFile(const std::string& name, const std::string& content) const {
  std::ofstream out(Path(name), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void TestEnvironment::RemoveFile(const std::string& name) const {
  std::error_code ignored;
  std::filesystem::remove(Path(name), ignored);
}

std::string TestEnvironment::ReadFile(const std::string& name) const {
  std::ifstream in(Path(name), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return WithoutCarriageReturns(content.str());
}

bool TestEnvironment::SegmentExists() const {
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, segment_.c_str());
  if (mapping == nullptr) return false;
  CloseHandle(mapping);
  return true;
}

bool TestEnvironment::TableFilesExist() const { return SegmentExists(); }

}  // namespace kelto::testing
