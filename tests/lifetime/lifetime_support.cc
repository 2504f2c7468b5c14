#include "lifetime_support.h"

#include <sys/stat.h>
#include <time.h>

#include <fstream>
#include <sstream>

namespace kelto::testing {

ino_t SegmentInode(const std::string& segment) {
  struct stat st;
  if (stat(("/dev/shm/" + segment).c_str(), &st) != 0) return 0;
  return st.st_ino;
}

ino_t MappedSegmentInode(const std::string& segment, bool* deleted) {
  std::ifstream maps("/proc/self/maps");
  const std::string path = "/dev/shm/" + segment;
  std::string line;
  while (std::getline(maps, line)) {
    // address perms offset device inode path [(deleted)]
    std::istringstream fields(line);
    std::string address, perms, offset, device, mapped_path;
    unsigned long inode = 0;
    fields >> address >> perms >> offset >> device >> inode >> mapped_path;
    if (mapped_path != path) continue;
    *deleted = line.find("(deleted)") != std::string::npos;
    return static_cast<ino_t>(inode);
  }
  *deleted = false;
  return 0;
}

std::string NumberedDefinitions(int count, char type) {
  std::string text = "[numbered]\n";
  for (int i = 0; i < count; ++i) {
    text.append("W").append(std::to_string(i)).append("=").append(1, type).append("\n");
  }
  return text;
}

void PauseMicroseconds(long microseconds) {
  struct timespec pause = {microseconds / 1000000L, (microseconds % 1000000L) * 1000L};
  nanosleep(&pause, nullptr);
}

}  // namespace kelto::testing
