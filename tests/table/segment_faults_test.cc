// Every system call of attach and detach failing, or interrupted, at each of
// its uses: Open reports the failure in its log, and whatever a failure
// leaves behind, no lock stays held and the next Open starts a fresh table
// that its Close removes completely.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>

#include "kelto.h"
#include "support/test_environment.h"
#include "system_call_faults.h"
#include "table/shared_memory.h"
#include "table/var_item.h"

namespace kelto::testing {
namespace {

constexpr int kItems = 3;
constexpr uint32_t kTableBytes = kItems * kItemSize;

class SegmentFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { env_.WriteDefinitions("SPEED=L\nNAME=$\n", "LEVEL=D\n"); }
  void TearDown() override { KeltoClose(); }

  // "0", or "2: " and the reason line that follows the error line.
  std::string OpenOutcome() const {
    const std::string log = env_.ReadLog();
    const std::string marker = "shared memory error is ";
    const size_t at = log.find(marker);
    if (at == std::string::npos) return "no error line";
    const size_t line_end = log.find('\n', at);
    std::string outcome = log.substr(at + marker.size(), line_end - at - marker.size());
    if (outcome != "0") {
      const size_t next_end = log.find('\n', line_end + 1);
      outcome += ": " + log.substr(line_end + 1, next_end - line_end - 1);
    }
    return outcome;
  }

  // No process holds byte 0 of the table's files: a new description asks.
  bool SomeLockHeld() const {
    for (const std::string suffix : {"", ".lock"}) {
      const int fd = shm_open(("/" + env_.segment() + suffix).c_str(), O_RDWR | O_CLOEXEC, 0);
      if (fd < 0) continue;
      struct flock probe = {};
      probe.l_type = F_WRLCK;
      probe.l_whence = SEEK_SET;
      probe.l_len = 1;
      const bool held = fcntl(fd, F_OFD_GETLK, &probe) != 0 || probe.l_type != F_UNLCK;
      close(fd);
      if (held) return true;
    }
    return false;
  }

  // After a fault: an Open without one gets a table of zeros, and the last
  // Close leaves nothing in /dev/shm.
  void ExpectFreshTableAndCleanClose(const char* where) {
    SCOPED_TRACE(where);
    EXPECT_FALSE(SomeLockHeld());
    ASSERT_EQ(KeltoOpen(), 0);
    EXPECT_EQ(OpenOutcome(), "0");
    EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 0);
    EXPECT_EQ(KeltoClose(), 0);
    EXPECT_FALSE(env_.TableFilesExist());
  }

  // Leftovers of a table whose programs were all killed: its gate and a
  // segment nobody holds, with bytes that a reused segment would show.
  void LeaveStaleTable() const {
    for (const std::string suffix : {".lock", ""}) {
      const int fd = shm_open(("/" + env_.segment() + suffix).c_str(),
                              O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      ASSERT_GE(fd, 0);
      fchmod(fd, 0600);
      if (suffix.empty()) {
        ASSERT_EQ(ftruncate(fd, kTableBytes), 0);
        const std::string junk(kTableBytes, 'x');
        ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), 0), static_cast<ssize_t>(junk.size()));
      }
      close(fd);
    }
  }

  // How often Open uses each call in the situation `prepare` sets up.
  template <typename Prepare>
  void CountOpenUses(Prepare prepare, int uses[kCallKinds]) {
    auto other_holder = prepare();
    {
      InjectedFault count;
      ASSERT_EQ(KeltoOpen(), 0);
      for (int c = 0; c < kCallKinds; ++c) uses[c] = count.uses(static_cast<Call>(c));
    }
    KeltoClose();
  }

  // Every use of every call fails in turn, with `error`, during an Open in
  // the situation `prepare` sets up.
  template <typename Prepare, typename Check>
  void FailEachUseInOpen(int error, Prepare prepare, Check check_outcome) {
    int uses[kCallKinds];
    CountOpenUses(prepare, uses);
    for (int c = 0; c < kCallKinds; ++c) {
      const Call call = static_cast<Call>(c);
      if (error == EINTR && call == Call::kMmap) continue;  // never interrupted
      for (int nth = 1; nth <= uses[c]; ++nth) {
        SCOPED_TRACE(std::string(CallName(call)) + " #" + std::to_string(nth) + ": " +
                     std::strerror(error));
        auto other_holder = prepare();
        {
          InjectedFault fault({call, nth, error});
          KeltoOpen();
          EXPECT_TRUE(fault.fired());
        }
        check_outcome(OpenOutcome());
        EXPECT_EQ(KeltoClose(), 0);
        other_holder.reset();
        ExpectFreshTableAndCleanClose("the Open after");
        if (::testing::Test::HasFailure()) return;
      }
    }
  }

  TestEnvironment env_;
};

// Nothing but this process: the usual Open.
std::unique_ptr<SharedMemory> Alone() { return nullptr; }

void ReportedOrHarmless(const std::string& outcome) {
  if (outcome == "0") return;
  EXPECT_EQ(outcome.rfind("2: ", 0), 0u) << outcome;
  EXPECT_GT(outcome.size(), 3u) << "no reason line";
}

void Harmless(const std::string& outcome) { EXPECT_EQ(outcome, "0"); }

TEST_F(SegmentFaultTest, EveryFailureOfAnOpenIsReportedAndMisleadsNoLaterOpen) {
  FailEachUseInOpen(EIO, Alone, ReportedOrHarmless);
  // A stale table is replaced, whatever fails on the way.
  FailEachUseInOpen(
      EIO,
      [this] {
        LeaveStaleTable();
        return Alone();
      },
      ReportedOrHarmless);
  // Another holder keeps the table; this Open joins it or fails.
  FailEachUseInOpen(
      EIO, [this] { return std::make_unique<SharedMemory>(kTableBytes, env_.segment().c_str()); },
      ReportedOrHarmless);
}

TEST_F(SegmentFaultTest, InterruptedCallsAreRepeatedAndTheOpenSucceeds) {
  FailEachUseInOpen(EINTR, Alone, Harmless);
  FailEachUseInOpen(
      EINTR,
      [this] {
        LeaveStaleTable();
        return Alone();
      },
      Harmless);
  FailEachUseInOpen(
      EINTR, [this] { return std::make_unique<SharedMemory>(kTableBytes, env_.segment().c_str()); },
      Harmless);
}

// A creator killed between making the segment and reserving its memory
// leaves an empty segment of ours beside the gate. The next Open takes it
// over; refusing it as a stranger's would also remove the gate, and every
// later Open would then refuse the name for good.
TEST_F(SegmentFaultTest, ACreatorKilledBeforeItReservedTheSegmentLeavesTheNameUsable) {
  EXPECT_EQ(RunInChild([] {
              g_system_calls.posix_fallocate = [](int, off_t, off_t) -> int {
                raise(SIGKILL);
                return 0;
              };
              KeltoOpen();
              return 0;
            }),
            128 + SIGKILL);
  struct stat st;
  ASSERT_EQ(stat(env_.SegmentPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  ExpectFreshTableAndCleanClose("after the killed creator");
  ExpectFreshTableAndCleanClose("once more");
}

// A Close that meets failures still drops its hold; what it could not
// remove holds no lock, and the next Open replaces it instead of reusing it.
TEST_F(SegmentFaultTest, EveryFailureOfACloseLeavesNoHoldAndNoReusedTable) {
  for (const bool last : {true, false}) {
    auto other_holder = [&]() -> std::unique_ptr<SharedMemory> {
      if (last) return nullptr;
      return std::make_unique<SharedMemory>(kTableBytes, env_.segment().c_str());
    };
    int uses[kCallKinds];
    {
      auto other = other_holder();
      ASSERT_EQ(KeltoOpen(), 0);
      InjectedFault count;
      KeltoClose();
      for (int c = 0; c < kCallKinds; ++c) uses[c] = count.uses(static_cast<Call>(c));
    }
    for (int c = 0; c < kCallKinds; ++c) {
      const Call call = static_cast<Call>(c);
      for (int nth = 1; nth <= uses[c]; ++nth) {
        SCOPED_TRACE(std::string(CallName(call)) + " #" + std::to_string(nth) +
                     (last ? " (last)" : " (not last)"));
        auto other = other_holder();
        ASSERT_EQ(KeltoOpen(), 0);
        ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 7), 0);
        {
          InjectedFault fault({call, nth, EIO});
          EXPECT_EQ(KeltoClose(), 0);
          EXPECT_TRUE(fault.fired());
        }
        if (other) {
          // The other holder still has the values.
          ASSERT_EQ(KeltoOpen(), 0);
          EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 7);
          EXPECT_EQ(KeltoClose(), 0);
          other.reset();
        }
        ExpectFreshTableAndCleanClose("the Open after");
        if (HasFailure()) return;
      }
    }
  }
}

// An observer that meets a failure holds nothing and disturbs no program.
TEST_F(SegmentFaultTest, EveryFailureOfAnObserverLeavesTheProgramsTableAlone) {
  ASSERT_EQ(KeltoOpen(), 0);
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 9), 0);
  int uses[kCallKinds];
  SegmentHold hold;
  {
    InjectedFault count;
    ASSERT_EQ(
        AttachSegment(env_.segment().c_str(), 0, SegmentAttachMode::kAttachOnly, &hold).failure,
        SegmentFailure::kNone);
    for (int c = 0; c < kCallKinds; ++c) uses[c] = count.uses(static_cast<Call>(c));
  }
  DetachSegment(env_.segment().c_str(), &hold);
  for (int c = 0; c < kCallKinds; ++c) {
    const Call call = static_cast<Call>(c);
    for (int nth = 1; nth <= uses[c]; ++nth) {
      SCOPED_TRACE(std::string(CallName(call)) + " #" + std::to_string(nth));
      SegmentResult result;
      {
        InjectedFault fault({call, nth, EIO});
        result = AttachSegment(env_.segment().c_str(), 0, SegmentAttachMode::kAttachOnly, &hold);
        EXPECT_TRUE(fault.fired());
      }
      if (result.failure == SegmentFailure::kNone) {
        EXPECT_NE(hold.view[0], 0);  // the program's items
        DetachSegment(env_.segment().c_str(), &hold);
      } else {
        EXPECT_EQ(hold.view, nullptr);
        EXPECT_EQ(hold.fd, -1);
      }
      EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 9);
    }
  }
  EXPECT_EQ(KeltoClose(), 0);
  EXPECT_FALSE(env_.TableFilesExist());
}

// What Open's log says for one failure; nullptr: the Open succeeds.
struct OpenFault {
  const char* name;
  Fault fault;
  bool over_stale_table;
  const char* reason;
};

class OpenFaultTest : public SegmentFaultTest, public ::testing::WithParamInterface<OpenFault> {};

TEST_P(OpenFaultTest, LogsTheDocumentedResult) {
  const OpenFault& param = GetParam();
  if (param.over_stale_table) LeaveStaleTable();
  {
    InjectedFault fault(param.fault);
    KeltoOpen();
    EXPECT_TRUE(fault.fired());
  }
  if (param.reason == nullptr) {
    EXPECT_EQ(OpenOutcome(), "0");
    EXPECT_EQ(KeltoGetNumberOfItems(), static_cast<uint32_t>(kItems));
  } else {
    std::string reason = param.reason;
    if (const size_t at = reason.find("LOCK"); at != std::string::npos) {
      reason.replace(at, 4, env_.SegmentPath() + ".lock");
    }
    EXPECT_EQ(OpenOutcome(), "2: shared memory \"" + env_.segment() + "\": " + reason);
    EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  }
  EXPECT_EQ(KeltoClose(), 0);
  ExpectFreshTableAndCleanClose("the Open after");
}

// The uses counted in a first Open: shm_open 1-3 the gate (open, create,
// check), 4-6 the segment (open, create, check); fcntl 1 the gate's lock,
// 2 the hold; fstat 7 the segment's size. Over a stale table the gate is
// only opened: shm_open 3 opens the segment.
const OpenFault kOpenFaults[] = {
    {"GateOpen",
     {Call::kShmOpen, 1, EMFILE},
     false,
     "cannot open the segment's lock file LOCK: Too many open files"},
    {"GateCreate",
     {Call::kShmOpen, 2, ENOSPC},
     false,
     "cannot open the segment's lock file LOCK: No space left on device"},
    {"GateStat",
     {Call::kFstat, 1, EIO},
     false,
     "cannot open the segment's lock file LOCK: Input/output error"},
    {"GateLock",
     {Call::kLock, 1, ENOLCK},
     false,
     "cannot open the segment's lock file LOCK: No locks available"},
    {"GateMoved", {Call::kShmOpen, 3, ENOENT}, false, nullptr},
    {"SegmentOpen",
     {Call::kShmOpen, 4, EACCES},
     false,
     "cannot open the segment: Permission denied"},
    {"SegmentCreate",
     {Call::kShmOpen, 5, ENOSPC},
     false,
     "cannot create the segment: No space left on device"},
    {"Reserve",
     {Call::kFallocate, 1, ENOSPC},
     false,
     "cannot reserve 984 bytes for the segment: No space left on device"},
    {"Hold",
     {Call::kLock, 2, ENOLCK},
     false,
     "cannot reserve 984 bytes for the segment: No locks available"},
    {"SegmentMoved", {Call::kShmOpen, 6, ENOENT}, false, nullptr},
    {"SegmentStat", {Call::kFstat, 7, EIO}, false, "cannot open the segment: Input/output error"},
    {"Map", {Call::kMmap, 1, ENOMEM}, false, "cannot map the segment: Cannot allocate memory"},
    {"ReserveInterrupted", {Call::kFallocate, 1, EINTR}, false, nullptr},
    {"OpenInterrupted", {Call::kShmOpen, 4, EINTR}, false, nullptr},
    // The segment keeps vanishing from its path after each hold: gives up.
    {"SegmentAlwaysMoved",
     {Call::kShmOpen, 6, ENOENT, 4, 3},
     false,
     "cannot open the segment: Stale file handle"},
    // A holder seems to let go each time just before the hold: gives up.
    {"HolderAlwaysGone",
     {Call::kLock, 2, EAGAIN, 4, 3},
     true,
     "cannot open the segment: Stale file handle"},
    {"StaleSegmentOpen",
     {Call::kShmOpen, 3, EMFILE},
     true,
     "cannot open the segment: Too many open files"},
};

INSTANTIATE_TEST_SUITE_P(Faults, OpenFaultTest, ::testing::ValuesIn(kOpenFaults),
                         [](const ::testing::TestParamInfo<OpenFault>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace kelto::testing
