// A /dev/shm without room for the segment must make Open fail cleanly, with
// error 2 and the reason in the log, never with SIGBUS on a later access.
// The test mounts a tiny tmpfs of its own over /dev/shm in a private mount
// namespace of a child process, so nothing else on the machine notices.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <string>

#include "hostile/hostile_support.h"
#include "kelto.h"

namespace kelto::testing {
namespace {

constexpr int kNotPermitted = 77;

// 64 KiB hold 199 items of 328 bytes; 1000 variables need 328,000 bytes.
std::string ManyDefinitions(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text.append("V").append(std::to_string(i)).append("=D\n");
  return text;
}

// In the calling (child) process only: a fresh 64 KiB tmpfs at /dev/shm.
bool MountTinySharedMemory() {
  return unshare(CLONE_NEWNS) == 0 &&
         mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("kelto-tiny-shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=1777") ==
             0;
}

using FullSharedMemoryTest = HostileTest;

TEST_F(FullSharedMemoryTest, ASegmentThatDoesNotFitFailsAtOpenWithoutSigbus) {
  env_.WriteDefinitions(ManyDefinitions(500), "LAST=$\n" + ManyDefinitions(500));

  const int status = RunInChild([] {
    if (!MountTinySharedMemory()) return kNotPermitted;
    KeltoOpen();
    char value[KELTO_VALUE_SIZE] = {};
    if (KeltoGetNumberOfItems() != 0 || KeltoGetPointer() != nullptr) return 1;
    if (KeltoReadVar(0, value) != -1 || KeltoWriteVar(1000, value) != -1) return 2;
    if (KeltoWriteString("MEMSH_LAST", "x") != -5 || KeltoReadDouble("IORSH_V0") != 0.0) return 3;
    KeltoClose();
    return 0;
  });
  if (status == kNotPermitted) {
    GTEST_SKIP() << "cannot mount a private tmpfs over /dev/shm here (needs CAP_SYS_ADMIN)";
  }

  ASSERT_EQ(status, 0);
  EXPECT_TRUE(LogContains("1001 variables total\n"));
  EXPECT_TRUE(LogContains("shared memory error is 2\nshared memory \"" + env_.segment() + "\": "));
  EXPECT_TRUE(LogContains("No space left on device")) << env_.ReadLog();
}

TEST_F(FullSharedMemoryTest, ASmallTableStillFitsOnTheSameTinyFileSystem) {
  env_.WriteDefinitions(ManyDefinitions(100), "LAST=$\n");

  const int status = RunInChild([] {
    if (!MountTinySharedMemory()) return kNotPermitted;
    KeltoOpen();
    if (KeltoGetNumberOfItems() != 101) return 1;
    if (KeltoWriteString("MEMSH_LAST", "fits") != 0) return 2;
    char value[KELTO_VALUE_SIZE] = {};
    if (KeltoReadVar(100, value) != 0 || std::string(value) != "fits") return 3;
    KeltoClose();
    return 0;
  });
  if (status == kNotPermitted) {
    GTEST_SKIP() << "cannot mount a private tmpfs over /dev/shm here (needs CAP_SYS_ADMIN)";
  }
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(LogContains("shared memory error is 0\n"));
}

}  // namespace
}  // namespace kelto::testing
