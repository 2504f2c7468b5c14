#include "hostile/hostile_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace kelto::testing {

GuardedPage::GuardedPage() : page_size_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
  void* memory =
      mmap(nullptr, 2 * page_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::runtime_error("mmap failed");
  page_ = static_cast<char*>(memory);
  if (mprotect(page_ + page_size_, page_size_, PROT_NONE) != 0) {
    throw std::runtime_error("mprotect failed");
  }
}

GuardedPage::~GuardedPage() { munmap(page_, 2 * page_size_); }

const char* GuardedPage::TextAtEnd(const std::string& text) const {
  char* start = End(text.size() + 1);
  std::memcpy(start, text.c_str(), text.size() + 1);
  return start;
}

std::string Repeat(char letter, size_t length) { return std::string(length, letter); }

std::string SnapshotOfSegment() {
  const char* view = static_cast<const char*>(KeltoGetPointer());
  if (view == nullptr) return {};
  return std::string(view, static_cast<size_t>(KeltoGetNumberOfItems()) * KeltoGetItemSize());
}

}  // namespace kelto::testing
