#include "table/definition_file.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "table/file_streams.h"

namespace kelto {

bool IsDefinitionLine(const char* line) {
  const char first = line[0];
  if (first == '\0' || first == '[' || first == ';' || first == '/') return false;
  return std::strchr(line, '=') != nullptr;
}

Definition ParseDefinitionLine(const char* line) {
  const char* equals = std::strchr(line, '=');
  return Definition{std::string_view(line, static_cast<size_t>(equals - line)), equals[1]};
}

void DefinitionList::Add(Definition definition) {
  entries_.push_back(Entry{text_.size(), definition.name.size(), definition.type});
  text_.append(definition.name);
}

bool ReadDefinitionFile(const char* path, DefinitionList* definitions) {
  // Closed however the loop ends: running out of memory throws from it.
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(OpenRegularFileForReading(path),
                                                             &std::fclose);
  if (file == nullptr) return false;
  char line[kLineBufferSize];
  while (std::fgets(line, sizeof line, file.get()) != nullptr) {
    if (IsDefinitionLine(line)) definitions->Add(ParseDefinitionLine(line));
  }
  return true;
}

}  // namespace kelto
