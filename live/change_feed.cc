#include "live/change_feed.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "changes/change_log.h"

namespace kelto::live {

ChangeFeed OpenChangeFeed(const char* segment_name) {
  ChangeFeed feed;
  char path[300];
  if (std::snprintf(path, sizeof path, "/%s.changes", segment_name) >=
      static_cast<int>(sizeof path)) {
    return feed;
  }
  const int fd = shm_open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
  if (fd < 0) return feed;
  struct stat status;
  const size_t length = ChangeLogBytes();
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
      static_cast<size_t>(status.st_size) < length) {
    close(fd);
    return feed;
  }
  void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (mapped == MAP_FAILED) return feed;
  if (!IsChangeLog(mapped, length)) {
    munmap(mapped, length);
    return feed;
  }
  feed.log = mapped;
  feed.length = length;
  return feed;
}

void CloseChangeFeed(ChangeFeed* feed) {
  if (feed->log != nullptr) munmap(feed->log, feed->length);
  *feed = ChangeFeed{};
}

}  // namespace kelto::live
