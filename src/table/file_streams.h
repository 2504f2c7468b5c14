// How the library opens the files of its directory: the definition files to
// read and the log to write. Each platform decides what it guards against.
#ifndef KELTO_TABLE_FILE_STREAMS_H_
#define KELTO_TABLE_FILE_STREAMS_H_

#include <cstdio>

namespace kelto {

// The file at `path` for reading as text, or null.
std::FILE* OpenRegularFileForReading(const char* path);
// The file at `path`, created or truncated, for writing as text, or null.
std::FILE* OpenRegularFileForWriting(const char* path);
// In a forked child: lets go of a stream inherited from the parent without
// touching the stream itself.
void DropInheritedStream(std::FILE* stream);

}  // namespace kelto

#endif  // KELTO_TABLE_FILE_STREAMS_H_
