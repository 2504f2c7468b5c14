#include "log/diagnostic_log.h"

#include <cstdarg>

#include "kelto.h"
#include "table/file_streams.h"

namespace kelto {

DiagnosticLog::~DiagnosticLog() {
  if (stream_ != nullptr) std::fclose(stream_);
}

void DiagnosticLog::Open(const char* path) {
  if (stream_ != nullptr) std::fclose(stream_);  // a repeated Open starts afresh
  stream_ = path != nullptr ? OpenRegularFileForWriting(path) : nullptr;
  Write("kelto v%s\n", KELTO_VERSION);
}

void DiagnosticLog::Write(const char* format, ...) {
  if (stream_ == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stream_, format, args);
  va_end(args);
  std::fflush(stream_);
}

void DiagnosticLog::WriteLine(const char* line, size_t length) {
  if (stream_ == nullptr) return;
  std::fwrite(line, 1, length, stream_);
  std::fflush(stream_);
}

void DiagnosticLog::Close() {
  if (stream_ == nullptr) return;
  Write("quitting\n");
  std::fclose(stream_);
  stream_ = nullptr;
}

void DiagnosticLog::Abandon() {
  if (stream_ == nullptr) return;
  DropInheritedStream(stream_);
  stream_ = nullptr;
}

}  // namespace kelto
