// Reading the variable definition files ("NAME=T..." lines).
#ifndef KELTO_TABLE_DEFINITION_FILE_H_
#define KELTO_TABLE_DEFINITION_FILE_H_

#include <string>
#include <vector>

namespace kelto {

// Lines are read in pieces of at most 1023 bytes, each judged on its own.
inline constexpr int kLineBufferSize = 1024;

struct Definition {
  std::string name;  // everything before the first '=', untrimmed
  char type;         // the byte after it: may be '\n' or '\0'
};

// True for a piece that is neither empty, nor a [section], nor a ; or /
// comment, and that contains '='.
bool IsDefinitionLine(const char* line);

// Splits a definition line at its first '='.
Definition ParseDefinitionLine(const char* line);

// Reads every definition of the file in order. The file is read once, so
// the count and the items always agree even if the file changes meanwhile.
// False when the file cannot be opened.
bool ReadDefinitionFile(const char* path, std::vector<Definition>* definitions);

}  // namespace kelto

#endif  // KELTO_TABLE_DEFINITION_FILE_H_
