// A plug-in host that loads and unloads the library (tests/lifetime/
// plugin_host.c), run as its own process: unloading while a thread that
// wrote lives on must not crash it, and thousands of loads must leave the
// host's thread keys, descriptors and mappings as they were.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support/sanitizers.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

// Runs the host; its output, and its exit status (128 + signal for a
// crash) in *status.
std::string RunHost(const std::string& arguments, int* status) {
  // A few objects of the core that are never freed on purpose (they may be
  // needed while the process ends) are left behind by every unload, a
  // hundred bytes or so, which LeakSanitizer would report at the host's end.
  const std::string leaks =
      kUnderAddressSanitizer ? "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" " : "";
  const std::string command =
      leaks + KELTO_PLUGIN_HOST + " " + KELTO_LIBRARY_FILE + " " + arguments;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return "";
  }
  std::string output;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return output;
}

TEST(PluginHostTest, UnloadingWhileAWriterThreadLivesNeverCrashes) {
  TestEnvironment env;
  env.WriteDefinitions("SPEED=L\n", "");
  int status = 0;
  // Each round crashed before; a few processes of many rounds each.
  for (int run = 0; run < 4; ++run) {
    RunHost("unload-while-threads-live 25", &status);
    ASSERT_EQ(status, 0) << "run " << run;
  }
  EXPECT_FALSE(env.TableFilesExist());
}

TEST(PluginHostTest, LoadCyclesLeaveKeysDescriptorsAndMappingsAsTheyWere) {
  TestEnvironment env;
  env.WriteDefinitions("SPEED=L\n", "");
  int status = 0;
  // A key was lost per load, and the host ran out after about 1,100. The
  // sanitizers' runtimes map memory of their own for every load, and take
  // far longer for one: there the mappings are not counted.
  const bool sanitized = kUnderAddressSanitizer || kUnderThreadSanitizer;
  const int cycles = sanitized ? 1500 : 10000;
  const std::string report = RunHost("cycles " + std::to_string(cycles), &status);
  ASSERT_EQ(status, 0) << report;
  int keys[2] = {}, fds[2] = {}, maps[2] = {};
  ASSERT_EQ(std::sscanf(report.c_str(), "keys %d %d fds %d %d maps %d %d", &keys[0], &keys[1],
                        &fds[0], &fds[1], &maps[0], &maps[1]),
            6)
      << report;
  EXPECT_GT(keys[0], 0);
  EXPECT_EQ(keys[1], keys[0]) << report;
  EXPECT_EQ(fds[1], fds[0]) << report;
  if (!sanitized) {
    EXPECT_EQ(maps[1], maps[0]) << report;
  }
  EXPECT_FALSE(env.TableFilesExist());
}

}  // namespace
}  // namespace kelto::testing
