// Helpers shared by the hostile-input tests.
#ifndef KELTO_TESTS_HOSTILE_HOSTILE_SUPPORT_H_
#define KELTO_TESTS_HOSTILE_HOSTILE_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "kelto.h"
#include "support/test_environment.h"

namespace kelto::testing {

// Every test gets its own directory and segment, and leaves the table closed.
class HostileTest : public ::testing::Test {
 protected:
  void TearDown() override { KeltoClose(); }
  void OpenWith(const std::string& iorsh, const std::string& memsh) {
    env_.WriteDefinitions(iorsh, memsh);
    KeltoOpen();
  }
  bool LogContains(const std::string& text) const {
    return env_.ReadLog().find(text) != std::string::npos;
  }

  TestEnvironment env_;
};

// Two pages of memory of which the second is inaccessible: a buffer placed
// with End() ends exactly at the guard, so reading or writing one byte past
// it kills the process.
class GuardedPage {
 public:
  GuardedPage();
  ~GuardedPage();
  GuardedPage(const GuardedPage&) = delete;
  GuardedPage& operator=(const GuardedPage&) = delete;
  // The last `size` bytes before the guard.
  char* End(size_t size) const { return page_ + page_size_ - size; }
  // `text` with its terminator, placed so the terminator is the last byte.
  const char* TextAtEnd(const std::string& text) const;

 private:
  char* page_;
  size_t page_size_;
};

std::string Repeat(char letter, size_t length);

// The whole segment of this process's view, byte for byte.
std::string SnapshotOfSegment();

}  // namespace kelto::testing

#endif  // KELTO_TESTS_HOSTILE_HOSTILE_SUPPORT_H_
