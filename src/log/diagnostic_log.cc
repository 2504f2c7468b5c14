#include "log/diagnostic_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>

#include "kelto.h"

namespace kelto {
namespace {

// The log lives in a directory other users may write to. O_NOFOLLOW keeps a
// planted symbolic link from making us truncate the file it points to, and
// O_NONBLOCK keeps a planted FIFO from hanging Open; anything that is not a
// regular file is refused.
std::FILE* OpenRegularFileForWriting(const char* path) {
  const int fd =
      open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  std::FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) close(fd);
  return stream;
}

}  // namespace

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
  // Runs in a freshly forked child, where another thread of the parent may
  // have held the stream's lock at the fork: touching the FILE could hang.
  // Every line was flushed when written, so closing the child's copy of the
  // descriptor loses nothing; the FILE itself is deliberately leaked.
  close(fileno_unlocked(stream_));
  stream_ = nullptr;
}

}  // namespace kelto
