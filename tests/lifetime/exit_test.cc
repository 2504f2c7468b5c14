// A program that ends without KeltoClose while its threads still use the
// table: the end never pulls memory from under them, yet the hold is given
// up as at a Close, and the last one out still leaves nothing behind.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "kelto.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

// Runs the ending program once; its exit status, or 128 + signal.
int RunEndingProgram() {
  const pid_t pid = fork();
  if (pid == 0) {
    execl(KELTO_ENDING_PROGRAM, KELTO_ENDING_PROGRAM, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Counts the runs of `runs` that did not end with status 0.
int FailedRuns(int runs, std::string* first_failure) {
  int failed = 0;
  for (int run = 0; run < runs; ++run) {
    const int status = RunEndingProgram();
    if (status == 0) continue;
    if (failed++ == 0)
      *first_failure = "run " + std::to_string(run) + ": status " + std::to_string(status);
  }
  return failed;
}

// The crash this guards against came in about one run of five; 150 runs of
// each kind would catch even one in a hundred with high probability.
TEST(ExitTest, EndingWithoutCloseWhileAThreadUsesTheTableNeverCrashes) {
  TestEnvironment env;
  env.WriteDefinitions("SPEED=L\nROUNDS=L\nLABEL=$\n", "");
  const std::string gate = env.SegmentPath() + ".lock";
  std::string failure;

  // Each program is the table's only holder: it removes everything at exit.
  EXPECT_EQ(FailedRuns(150, &failure), 0) << failure;
  EXPECT_FALSE(env.SegmentExists());
  EXPECT_FALSE(std::filesystem::exists(gate));

  // With this process holding the table too, each program's end only lets
  // go: the table and the programs' last writes stay.
  KeltoOpen();
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 4321), 0);
  EXPECT_EQ(FailedRuns(150, &failure), 0) << failure;
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 4321);
  EXPECT_GT(KeltoReadInt32("IORSH_ROUNDS"), 0);
  EXPECT_TRUE(env.SegmentExists());
  KeltoClose();
  EXPECT_FALSE(env.SegmentExists());
  EXPECT_FALSE(std::filesystem::exists(gate));
}

}  // namespace
}  // namespace kelto::testing
