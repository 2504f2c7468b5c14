// A process stopped while it holds the gate (SIGSTOP, a debugger) makes
// other Opens fail after a bounded wait, with a log line naming the lock,
// and never hangs them. Once it is gone, Open works again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kelto.h"
#include "lifetime_support.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

// Takes the gate exactly as the library does: an open-file-description
// write lock on byte 0 of "<segment>.lock".
bool TakeGate(const std::string& segment) {
  const int fd = shm_open(("/" + segment + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
  if (fd < 0) return false;
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool WaitUntilStopped(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status);
}

// A fresh process opens the table and gets a view.
bool ChildOpensTheTable() {
  return RunInChild([] {
           KeltoOpen();
           const bool open = KeltoGetPointer() != nullptr;
           KeltoClose();
           return open ? 0 : 1;
         }) == 0;
}

TEST(GateTest, StoppedGateHolderMakesOpenFailWithErrorTwoNotHang) {
  TestEnvironment env;
  env.WriteDefinitions("SPEED=L\n", "");
  ChildProcess stopped([&env] {
    if (!TakeGate(env.segment())) return 1;
    raise(SIGSTOP);
    return 0;
  });
  ASSERT_TRUE(WaitUntilStopped(stopped.pid()));

  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              const bool failed = KeltoGetPointer() == nullptr && KeltoGetNumberOfItems() == 0;
              char buffer[8];
              const bool access_fails = KeltoReadVar(0, buffer) == -1;
              KeltoClose();
              return failed && access_fails ? 0 : 1;
            }),
            0);
  const std::string log = env.ReadLog();
  EXPECT_NE(log.find("shared memory error is 2\n"), std::string::npos) << log;
  EXPECT_NE(log.find("/dev/shm/" + env.segment() + ".lock"), std::string::npos) << log;
  EXPECT_NE(log.find("timed out"), std::string::npos) << log;

  // The stopped holder dies: the kernel drops its lock and Open works again.
  stopped.Kill(SIGKILL);
  EXPECT_EQ(stopped.Wait(), 128 + SIGKILL);
  EXPECT_TRUE(ChildOpensTheTable());
  EXPECT_NE(env.ReadLog().find("shared memory error is 0\n"), std::string::npos);
}

TEST(GateTest, CloseUnderAStoppedGateHolderStillLetsGo) {
  TestEnvironment env;
  env.WriteDefinitions("SPEED=L\n", "");
  ProcessLatch opened, gate_taken;
  ChildProcess holder([&] {
    KeltoOpen();
    if (KeltoWriteInt32("IORSH_SPEED", 31) != 0) return 1;
    opened.Notify();
    if (!gate_taken.Wait(20000)) return 2;
    KeltoClose();  // waits for the gate, gives up, drops the hold anyway
    return KeltoGetPointer() == nullptr ? 0 : 3;
  });
  ASSERT_TRUE(opened.Wait());
  ChildProcess stopped([&] {
    if (!TakeGate(env.segment())) return 1;
    raise(SIGSTOP);
    return 0;
  });
  ASSERT_TRUE(WaitUntilStopped(stopped.pid()));
  gate_taken.Notify();
  EXPECT_EQ(holder.Wait(), 0);
  stopped.Kill(SIGKILL);
  stopped.Wait();

  // The hold is gone though nobody could unlink: the next opener replaces
  // the stale segment and reads zeros.
  EXPECT_EQ(RunInChild([] {
              KeltoOpen();
              const int value = KeltoReadInt32("IORSH_SPEED");
              const bool open = KeltoGetPointer() != nullptr;
              KeltoClose();
              return open && value == 0 ? 0 : 1;
            }),
            0);
  EXPECT_FALSE(env.SegmentExists());
}

TEST(GateTest, KilledGateHolderLeavesNoGateShut) {
  TestEnvironment env;
  env.WriteDefinitions("SPEED=L\n", "");
  ProcessLatch taken;
  ChildProcess holder([&] {
    if (!TakeGate(env.segment())) return 1;
    taken.Notify();
    pause();
    return 0;
  });
  ASSERT_TRUE(taken.Wait());
  holder.Kill(SIGKILL);
  EXPECT_EQ(holder.Wait(), 128 + SIGKILL);
  EXPECT_TRUE(ChildOpensTheTable());
  EXPECT_EQ(env.ReadLog().find("timed out"), std::string::npos);
}

TEST(GateTest, KilledLastHolderLeavesZerosForTheNextOpener) {
  TestEnvironment env;
  env.WriteDefinitions("SPEED=L\n", "");
  ProcessLatch written;
  ChildProcess holder([&] {
    KeltoOpen();
    KeltoWriteInt32("IORSH_SPEED", 1234);
    written.Notify();
    pause();
    return 0;
  });
  ASSERT_TRUE(written.Wait());
  holder.Kill(SIGKILL);
  holder.Wait();
  // The dead holder's segment is still in the file system, but it is stale.
  EXPECT_TRUE(env.SegmentExists());
  const ino_t stale = SegmentInode(env.segment());
  EXPECT_EQ(RunInChild([&env, stale] {
              KeltoOpen();
              const int value = KeltoReadInt32("IORSH_SPEED");
              const bool replaced = SegmentInode(env.segment()) != stale;
              KeltoClose();
              return value == 0 && replaced ? 0 : 1;
            }),
            0);
  EXPECT_FALSE(env.SegmentExists());
}

}  // namespace
}  // namespace kelto::testing
