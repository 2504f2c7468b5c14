// Reading the variable definition files ("NAME=T..." lines).
#ifndef KELTO_TABLE_DEFINITION_FILE_H_
#define KELTO_TABLE_DEFINITION_FILE_H_

#include <string>
#include <string_view>
#include <vector>

namespace kelto {

// Lines are read in pieces of at most 1023 bytes, each judged on its own.
inline constexpr int kLineBufferSize = 1024;

// A definition as read: its name is a view into the line or the list it
// came from.
struct Definition {
  std::string_view name;  // everything before the first '=', untrimmed
  char type;              // the byte after it: may be '\n' or '\0'
};

// True for a piece that is neither empty, nor a [section], nor a ; or /
// comment, and that contains '='.
bool IsDefinitionLine(const char* line);

// Splits a definition line at its first '='; the name views `line`.
Definition ParseDefinitionLine(const char* line);

// The definitions of a file in order, their names kept in one buffer: a
// table of 100,000 variables is read without an allocation per name.
class DefinitionList {
 public:
  void Add(Definition definition);
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // The bytes of all names together.
  size_t TextSize() const { return text_.size(); }
  Definition operator[](size_t at) const {
    const Entry& entry = entries_[at];
    return Definition{std::string_view(text_).substr(entry.start, entry.length), entry.type};
  }

 private:
  struct Entry {
    size_t start;
    size_t length;
    char type;
  };
  std::string text_;
  std::vector<Entry> entries_;
};

// Reads every definition of the file in order. The file is read once, so
// the count and the items always agree even if the file changes meanwhile.
// False when the file cannot be opened.
bool ReadDefinitionFile(const char* path, DefinitionList* definitions);

}  // namespace kelto

#endif  // KELTO_TABLE_DEFINITION_FILE_H_
