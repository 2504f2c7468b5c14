#include "table/file_streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelto {

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

// Runs in a freshly forked child, where another thread of the parent may
// have held the stream's lock at the fork: touching the FILE could hang.
// Every line was flushed when written, so closing the child's copy of the
// descriptor loses nothing; the FILE itself is deliberately leaked.
void DropInheritedStream(std::FILE* stream) { close(fileno_unlocked(stream)); }

}  // namespace kelto
