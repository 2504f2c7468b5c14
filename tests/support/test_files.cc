// The test directory's files, the same on every platform.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/test_environment.h"

namespace kelto::testing {
namespace {

#if defined(_WIN32)
// Lines the C runtime wrote in text mode end in CRLF; the tests compare
// lines as the library wrote them.
std::string AsWritten(std::string text) {
  std::string lines;
  lines.reserve(text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') continue;
    lines.push_back(text[at]);
  }
  return lines;
}
#else
std::string AsWritten(std::string text) { return text; }
#endif

}  // namespace

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
  return AsWritten(content.str());
}

}  // namespace kelto::testing
