#include "table/definition_file.h"

#include <cstdio>
#include <cstring>

namespace kelto {

bool IsDefinitionLine(const char* line) {
  const char first = line[0];
  if (first == '\0' || first == '[' || first == ';' || first == '/') return false;
  return std::strchr(line, '=') != nullptr;
}

Definition ParseDefinitionLine(const char* line) {
  const char* equals = std::strchr(line, '=');
  return Definition{std::string(line, static_cast<size_t>(equals - line)), equals[1]};
}

bool ReadDefinitionFile(const char* path, std::vector<Definition>* definitions) {
  // "e": the descriptor must not leak into programs the host process runs.
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr) return false;
  char line[kLineBufferSize];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (IsDefinitionLine(line)) definitions->push_back(ParseDefinitionLine(line));
  }
  std::fclose(file);
  return true;
}

}  // namespace kelto
