#include "table/definition_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

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

namespace {

// The files sit in a directory others may write to. Only a regular file is
// read: a planted FIFO would block Open, a link to a device such as /dev/zero
// would never end. O_NONBLOCK keeps the open itself from waiting on a FIFO;
// it changes nothing for a regular file. O_CLOEXEC: the descriptor must not
// leak into programs the host process runs.
std::FILE* OpenRegularFileForReading(const char* path) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "r");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

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
