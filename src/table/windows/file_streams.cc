#include "table/file_streams.h"

#include <cstdio>

namespace kelto {

// Text mode: a definition file with CRLF line ends reads as one with LF, and
// the log's lines end as every other text file of the system does.
std::FILE* OpenRegularFileForReading(const char* path) { return std::fopen(path, "r"); }

std::FILE* OpenRegularFileForWriting(const char* path) { return std::fopen(path, "w"); }

// No process here starts as a copy of another.
void DropInheritedStream(std::FILE* /*stream*/) {}

}  // namespace kelto
