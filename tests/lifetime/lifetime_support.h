// Helpers shared by the lifetime tests: memory that forked processes share
// outside the library, and what the file system says about the segment.
#ifndef KELTO_TESTS_LIFETIME_LIFETIME_SUPPORT_H_
#define KELTO_TESTS_LIFETIME_LIFETIME_SUPPORT_H_

#include <sys/mman.h>
#include <sys/types.h>

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>

namespace kelto::testing {

// A T placed in an anonymous shared mapping, made before forking, so that
// parent and children see the same object. T must be trivially destructible
// and usable with std::atomic members.
template <typename T>
class SharedBoard {
 public:
  SharedBoard() {
    void* memory =
        mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::runtime_error("mmap failed");
    board_ = new (memory) T();
  }
  ~SharedBoard() { munmap(board_, sizeof(T)); }
  SharedBoard(const SharedBoard&) = delete;
  SharedBoard& operator=(const SharedBoard&) = delete;
  T* operator->() const { return board_; }
  T& operator*() const { return *board_; }

 private:
  T* board_;
};

// Inode of the object at /dev/shm/<segment>, or 0 when there is none.
ino_t SegmentInode(const std::string& segment);

// Inode of this process's mapping of /dev/shm/<segment> as /proc/self/maps
// shows it; 0 when there is no mapping. *deleted tells whether the kernel
// marks the mapped object as unlinked.
ino_t MappedSegmentInode(const std::string& segment, bool* deleted);

// Definitions of `count` variables named W0, W1, ... of type `type` in the
// iorsh file, and none in the memsh file.
std::string NumberedDefinitions(int count, char type);

// Sleeps for the given number of microseconds.
void PauseMicroseconds(long microseconds);

}  // namespace kelto::testing

#endif  // KELTO_TESTS_LIFETIME_LIFETIME_SUPPORT_H_
