// The segment and its lock belong to the user who made them: a process of
// another user neither attaches to them nor lets its own table be joined.
// The cross-user cases need root, to play the other user in a child.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "hostile/hostile_support.h"
#include "kelto.h"

namespace kelto::testing {
namespace {

const std::string kIorsh = "SPEED=L\nNAME=$\n";
const std::string kMemsh = "LEVEL=D\n";

struct User {
  uid_t uid;
  gid_t gid;
};

std::optional<User> Nobody() {
  const struct passwd* entry = getpwnam("nobody");
  if (entry == nullptr || entry->pw_uid == 0) return std::nullopt;
  return User{entry->pw_uid, entry->pw_gid};
}

bool BecomeUser(const User& user) {
  return setgroups(0, nullptr) == 0 && setgid(user.gid) == 0 && setuid(user.uid) == 0;
}

// A directory of the other user's own, with the same definitions: that user
// could not write a log into ours.
class DirectoryOf {
 public:
  explicit DirectoryOf(const User& user) {
    char pattern[] = "/tmp/kelto-foreign-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    path_ = pattern;
    for (const auto& [name, content] : {std::pair{"iorsh.mem", kIorsh}, {"memsh.mem", kMemsh}}) {
      std::ofstream(path_ + "/" + name) << content;
      chmod((path_ + "/" + name).c_str(), 0644);
    }
    if (chown(path_.c_str(), user.uid, user.gid) != 0) std::abort();
  }
  ~DirectoryOf() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string ReadLog() const {
    std::ifstream in(path_ + "/kelto_log.txt");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string path_;
};

#define SKIP_UNLESS_ROOT_WITH_NOBODY()                                                \
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user in a child"; \
  if (!Nobody()) GTEST_SKIP() << "no unprivileged user \"nobody\" on this machine"

using ForeignUserTest = HostileTest;

TEST_F(ForeignUserTest, TheSegmentAndItsLockAreTheOwnersOnlyWhateverTheUmask) {
  const mode_t old_umask = umask(0);
  OpenWith(kIorsh, kMemsh);
  umask(old_umask);
  ASSERT_EQ(KeltoGetNumberOfItems(), 3u);

  for (const std::string& path : {env_.SegmentPath(), env_.SegmentPath() + ".lock"}) {
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << path;
    EXPECT_EQ(st.st_uid, geteuid()) << path;
  }
}

TEST_F(ForeignUserTest, AProcessOfAnotherUserCannotAttach) {
  SKIP_UNLESS_ROOT_WITH_NOBODY();
  OpenWith(kIorsh, kMemsh);
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 1234), 0);
  const User nobody = *Nobody();
  const DirectoryOf theirs(nobody);

  const int status = RunInChild([&] {
    if (!BecomeUser(nobody)) return 90;
    setenv("KELTO_DIR", theirs.path().c_str(), 1);
    // Not even the objects themselves open for them.
    if (shm_open(("/" + env_.segment()).c_str(), O_RDONLY, 0) >= 0 || errno != EACCES) return 1;
    KeltoOpen();
    char value[KELTO_VALUE_SIZE];
    if (KeltoGetNumberOfItems() != 0 || KeltoGetPointer() != nullptr) return 2;
    if (KeltoReadVar(0, value) != -1) return 3;
    if (KeltoWriteInt32("IORSH_SPEED", 1) != -5) return 4;
    if (IORShReadVarName("SPEED", value) != -3) return 5;
    KeltoClose();
    return 0;
  });

  EXPECT_EQ(status, 0);
  const std::string log = theirs.ReadLog();
  EXPECT_NE(log.find("shared memory error is 2\n"), std::string::npos) << log;
  EXPECT_NE(log.find("shared memory \"" + env_.segment() + "\": "), std::string::npos) << log;
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 1234);
  EXPECT_TRUE(env_.SegmentExists());
}

TEST_F(ForeignUserTest, ATableOfAnotherUserIsNotJoined) {
  SKIP_UNLESS_ROOT_WITH_NOBODY();
  const User nobody = *Nobody();
  const DirectoryOf theirs(nobody);
  ProcessLatch holding;
  ProcessLatch done;

  ChildProcess other([&] {
    if (!BecomeUser(nobody)) return 90;
    setenv("KELTO_DIR", theirs.path().c_str(), 1);
    KeltoOpen();
    if (KeltoWriteInt32("IORSH_SPEED", 777) != 0) return 1;
    holding.Notify();
    done.Wait(30000);
    KeltoClose();
    return 0;
  });
  ASSERT_TRUE(holding.Wait(30000));

  OpenWith(kIorsh, kMemsh);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 0);
  EXPECT_EQ(KeltoWriteInt32("IORSH_SPEED", 1), -5);
  EXPECT_TRUE(LogContains("shared memory error is 2\n"));
  EXPECT_TRUE(LogContains("shared memory \"" + env_.segment() + "\": "));
  KeltoClose();

  done.Notify();
  EXPECT_EQ(other.Wait(), 0);
}

// One user's table leaves nothing in /dev/shm once its last program has
// closed it, so another user can then use the name. A killed last program's
// leftovers are that user's to clean up, which their next Open does; to
// anyone else they are refused with a reason that names their owner.
TEST_F(ForeignUserTest, AUsersTableLeavesNothingForOthersAndItsLeftoversNameTheOwner) {
  SKIP_UNLESS_ROOT_WITH_NOBODY();
  const User nobody = *Nobody();
  const DirectoryOf theirs(nobody);
  const auto as_nobody = [&](const std::function<int()>& body) {
    return [&nobody, &theirs, body] {
      if (!BecomeUser(nobody)) return 90;
      setenv("KELTO_DIR", theirs.path().c_str(), 1);
      return body();
    };
  };

  EXPECT_EQ(RunInChild(as_nobody([] {
              KeltoOpen();
              if (KeltoWriteInt32("IORSH_SPEED", 5) != 0) return 1;
              KeltoClose();
              return 0;
            })),
            0);
  EXPECT_FALSE(env_.TableFilesExist()) << "the lock file included";
  OpenWith(kIorsh, kMemsh);
  EXPECT_EQ(KeltoGetNumberOfItems(), 3u);
  KeltoClose();
  EXPECT_FALSE(env_.TableFilesExist());

  ProcessLatch holding;
  ChildProcess killed(as_nobody([&holding] {
    KeltoOpen();
    holding.Notify();
    pause();
    return 0;
  }));
  ASSERT_TRUE(holding.Wait(30000));
  killed.Kill(SIGKILL);
  killed.Wait();
  ASSERT_TRUE(env_.TableFilesExist());
  OpenWith(kIorsh, kMemsh);
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  EXPECT_TRUE(LogContains("shared memory error is 2\nshared memory \"" + env_.segment() +
                          "\": " + env_.SegmentPath() + ".lock belongs to user nobody (uid " +
                          std::to_string(nobody.uid) + ")"))
      << env_.ReadLog();
  KeltoClose();

  EXPECT_EQ(RunInChild(as_nobody([] {
              KeltoOpen();
              const bool fresh = KeltoGetNumberOfItems() == 3 && KeltoReadInt32("IORSH_SPEED") == 0;
              KeltoClose();
              return fresh ? 0 : 1;
            })),
            0);
  EXPECT_FALSE(env_.TableFilesExist());
  OpenWith(kIorsh, kMemsh);
  EXPECT_EQ(KeltoGetNumberOfItems(), 3u);
}

}  // namespace
}  // namespace kelto::testing
