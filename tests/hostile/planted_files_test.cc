// The definition files and the log live in a directory that others may write
// to. Whatever is planted under the library's file names (a symbolic link, a
// FIFO, a directory, a device) must neither be written through nor hang Open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "hostile/hostile_support.h"
#include "kelto.h"

namespace kelto::testing {
namespace {

const std::string kIorsh = "SPEED=L\n";
const std::string kMemsh = "LEVEL=D\n";

bool IsSymbolicLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool IsFifo(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

class PlantedFilesTest : public HostileTest {
 protected:
  void SetUp() override { env_.WriteDefinitions(kIorsh, kMemsh); }

  // Opens the table in a child process, uses it and closes it. A planted FIFO
  // could block Open forever, so the child reports through a latch and the
  // test fails, instead of hanging, if that report never comes.
  // Returns the child's status: 0 when the table had `expected_items`.
  int OpenUseAndCloseInChild(uint32_t expected_items) {
    ProcessLatch opened;
    ChildProcess child([&opened, expected_items] {
      KeltoOpen();
      opened.Notify();
      if (KeltoGetNumberOfItems() != expected_items) return 1;
      if (expected_items > 0 && KeltoWriteInt32("IORSH_SPEED", 5) != 0) return 2;
      KeltoGetSizeVarName("NOT_THERE");  // a line for the log, if there is one
      KeltoClose();
      return 0;
    });
    if (!opened.Wait(30000)) {
      child.Kill(SIGKILL);
      child.Wait();
      ADD_FAILURE() << "Open did not return";
      return -1;
    }
    return child.Wait();
  }
};

TEST_F(PlantedFilesTest, ALinkAtTheLogDoesNotTruncateOrWriteItsTarget) {
  env_.WriteFile("victim.txt", "precious content\n");
  ASSERT_EQ(symlink(env_.Path("victim.txt").c_str(), env_.Path("kelto_log.txt").c_str()), 0);

  EXPECT_EQ(OpenUseAndCloseInChild(2), 0);
  // The same in this process, which keeps the table open meanwhile.
  KeltoOpen();
  EXPECT_EQ(KeltoGetNumberOfItems(), 2u);
  EXPECT_EQ(KeltoReadInt32("MEMSH_NOT_THERE"), 0);
  KeltoClose();

  EXPECT_EQ(env_.ReadFile("victim.txt"), "precious content\n");
  EXPECT_TRUE(IsSymbolicLink(env_.Path("kelto_log.txt")));
}

TEST_F(PlantedFilesTest, ADanglingLinkAtTheLogCreatesNothing) {
  ASSERT_EQ(symlink(env_.Path("planted-target").c_str(), env_.Path("kelto_log.txt").c_str()), 0);

  EXPECT_EQ(OpenUseAndCloseInChild(2), 0);

  EXPECT_FALSE(Exists(env_.Path("planted-target")));
}

TEST_F(PlantedFilesTest, AFifoAtTheLogDoesNotHangOpen) {
  ASSERT_EQ(mkfifo(env_.Path("kelto_log.txt").c_str(), 0600), 0);

  EXPECT_EQ(OpenUseAndCloseInChild(2), 0);

  EXPECT_TRUE(IsFifo(env_.Path("kelto_log.txt")));
}

// With a reader at the other end the FIFO opens at once; it is still no log.
TEST_F(PlantedFilesTest, AFifoWithAReaderAtTheLogIsNotWrittenTo) {
  ASSERT_EQ(mkfifo(env_.Path("kelto_log.txt").c_str(), 0600), 0);
  const int reader = open(env_.Path("kelto_log.txt").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);

  KeltoOpen();
  EXPECT_EQ(KeltoGetNumberOfItems(), 2u);
  EXPECT_EQ(KeltoGetSizeVarName("NOT_THERE"), -1);
  KeltoClose();

  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0) << "something was written into the FIFO";
  close(reader);
}

TEST_F(PlantedFilesTest, ADeviceAtTheLogIsNotWrittenTo) {
  if (mknod(env_.Path("kelto_log.txt").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "cannot create a device node here (needs CAP_MKNOD)";
  }
  KeltoOpen();
  EXPECT_EQ(KeltoGetNumberOfItems(), 2u);
  EXPECT_EQ(KeltoWriteInt32("IORSH_SPEED", 3), 0);
  KeltoClose();
}

TEST_F(PlantedFilesTest, ADirectoryAtTheLogLeavesTheTableWorking) {
  ASSERT_EQ(mkdir(env_.Path("kelto_log.txt").c_str(), 0700), 0);

  EXPECT_EQ(OpenUseAndCloseInChild(2), 0);
}

TEST_F(PlantedFilesTest, DefinitionFilesAreOnlyRead) {
  ASSERT_EQ(chmod(env_.Path("iorsh.mem").c_str(), 0444), 0);
  ASSERT_EQ(chmod(env_.Path("memsh.mem").c_str(), 0444), 0);
  struct stat iorsh_before, memsh_before;
  ASSERT_EQ(stat(env_.Path("iorsh.mem").c_str(), &iorsh_before), 0);
  ASSERT_EQ(stat(env_.Path("memsh.mem").c_str(), &memsh_before), 0);

  EXPECT_EQ(OpenUseAndCloseInChild(2), 0);
  KeltoOpen();
  EXPECT_EQ(KeltoWriteDouble("MEMSH_LEVEL", 1.5), 0);
  KeltoClose();

  struct stat iorsh_after, memsh_after;
  ASSERT_EQ(stat(env_.Path("iorsh.mem").c_str(), &iorsh_after), 0);
  ASSERT_EQ(stat(env_.Path("memsh.mem").c_str(), &memsh_after), 0);
  EXPECT_EQ(env_.ReadFile("iorsh.mem"), kIorsh);
  EXPECT_EQ(env_.ReadFile("memsh.mem"), kMemsh);
  for (const auto& [before, after] :
       {std::pair{iorsh_before, iorsh_after}, std::pair{memsh_before, memsh_after}}) {
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
  }
}

TEST_F(PlantedFilesTest, ADefinitionFileMayBeALinkToARegularFile) {
  env_.WriteFile("real-iorsh", "A=B\nC=D\n");
  env_.RemoveFile("iorsh.mem");
  ASSERT_EQ(symlink(env_.Path("real-iorsh").c_str(), env_.Path("iorsh.mem").c_str()), 0);

  KeltoOpen();
  EXPECT_EQ(KeltoGetNumberOfItems(), 3u);
  EXPECT_EQ(KeltoGetIdentVarName("IORSH_C"), 1);
}

// A FIFO would block the read, a device such as /dev/zero would never end and
// a directory is no text: each is refused as a file that cannot be opened.
TEST_F(PlantedFilesTest, ADefinitionFileThatIsNoRegularFileIsRefused) {
  env_.RemoveFile("memsh.mem");
  ASSERT_EQ(mkfifo(env_.Path("memsh.mem").c_str(), 0600), 0);
  EXPECT_EQ(OpenUseAndCloseInChild(0), 0);
  EXPECT_TRUE(LogContains("failed to open memsh file at " + env_.Path("memsh.mem") + "\n"));

  env_.RemoveFile("memsh.mem");
  ASSERT_EQ(symlink("/dev/zero", env_.Path("memsh.mem").c_str()), 0);
  EXPECT_EQ(OpenUseAndCloseInChild(0), 0);
  EXPECT_TRUE(LogContains("failed to open memsh file at " + env_.Path("memsh.mem") + "\n"));

  // A directory cannot block, so this one runs in this process.
  env_.RemoveFile("iorsh.mem");
  ASSERT_EQ(mkdir(env_.Path("iorsh.mem").c_str(), 0700), 0);
  KeltoOpen();
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  EXPECT_TRUE(LogContains("failed to open iorsh file at " + env_.Path("iorsh.mem") + "\n"));
}

// Plants an object of another program under a shared-memory name.
void PlantObject(const std::string& name, const std::string& content, mode_t mode) {
  const int fd = shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
  ASSERT_GE(fd, 0) << name;
  fchmod(fd, mode);
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
}

std::string ContentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// A segment name may be another program's object: nobody holds a lock on
// it, yet it is not a stale table. Open refuses the name, removes and
// reuses nothing, and leaves no lock file of its own beside it.
TEST_F(PlantedFilesTest, AnObjectKeltoDidNotMakeIsNeverRemovedOrReused) {
  const std::string segment = env_.SegmentPath();
  const std::string gate = segment + ".lock";
  struct Planted {
    std::string content;
    mode_t mode;
    bool with_gate;
    const char* reason;
  };
  const std::string table_sized(2 * KELTO_ITEM_SIZE, 'p');
  for (const Planted& planted : {
           Planted{"precious\n", 0644, false, "no lock file was beside it"},
           Planted{table_sized, 0600, false, "no lock file was beside it"},
           Planted{"precious\n", 0600, true, "its size is not a whole number of 328-byte items"},
           Planted{table_sized, 0644, true, "its mode is not 0600"},
       }) {
    SCOPED_TRACE(planted.reason);
    PlantObject(env_.segment(), planted.content, planted.mode);
    if (planted.with_gate) PlantObject(env_.segment() + ".lock", "", 0600);
    // The first Open also removes the planted lock file: from then on the
    // object has none beside it.
    for (const char* reason : {planted.reason, "no lock file was beside it"}) {
      KeltoOpen();
      EXPECT_EQ(KeltoGetPointer(), nullptr);
      EXPECT_EQ(KeltoWriteInt32("IORSH_SPEED", 1), -5);
      EXPECT_TRUE(LogContains("shared memory error is 2\nshared memory \"" + env_.segment() +
                              "\": " + segment + " was not made by kelto (" + reason +
                              ") and is left untouched\n"))
          << env_.ReadLog();
      KeltoClose();
      EXPECT_EQ(ContentOf(segment), planted.content);
      struct stat st;
      ASSERT_EQ(stat(segment.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, planted.mode);
      EXPECT_FALSE(Exists(gate)) << "a refused name keeps no lock file";
    }
    shm_unlink(("/" + env_.segment()).c_str());
  }

  // A lock file with content is not one of ours either.
  PlantObject(env_.segment() + ".lock", "mine", 0600);
  KeltoOpen();
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  EXPECT_TRUE(LogContains(gate + " was not made by kelto (it is not empty)")) << env_.ReadLog();
  KeltoClose();
  EXPECT_EQ(ContentOf(gate), "mine");
  EXPECT_FALSE(Exists(segment));
}

}  // namespace
}  // namespace kelto::testing
