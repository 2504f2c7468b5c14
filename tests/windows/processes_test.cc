// The table between real Windows processes: values shared both ways, the
// kernel's lifetime of the mapping (last Close, a killed holder), and the
// two refusals with their reason lines. The other programs are
// table_holder.exe, found beside this test.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "kelto.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

constexpr DWORD kProcessTimeoutMs = 60000;

// A program built beside this test.
std::wstring ProgramPath(const wchar_t* program) {
  wchar_t own[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
  return (std::filesystem::path(std::wstring(own, length)).parent_path() / program).wstring();
}

// A table_holder.exe started with `arguments`; killed if still running at
// the end of the test.
class Holder {
 public:
  explicit Holder(const std::wstring& arguments, const wchar_t* program = L"table_holder.exe") {
    std::wstring command = L"\"" + ProgramPath(program) + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process_)) {
      ADD_FAILURE() << "cannot start a program: error " << GetLastError();
      return;
    }
    CloseHandle(process_.hThread);
  }
  ~Holder() {
    if (process_.hProcess == nullptr) return;
    TerminateProcess(process_.hProcess, 99);
    WaitForSingleObject(process_.hProcess, kProcessTimeoutMs);
    CloseHandle(process_.hProcess);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  // The exit status, or -1 when it did not end in time.
  int Wait() {
    if (process_.hProcess == nullptr) return -1;
    if (WaitForSingleObject(process_.hProcess, kProcessTimeoutMs) != WAIT_OBJECT_0) return -1;
    DWORD status = 0;
    GetExitCodeProcess(process_.hProcess, &status);
    return static_cast<int>(status);
  }
  void Kill() {
    TerminateProcess(process_.hProcess, 9);
    WaitForSingleObject(process_.hProcess, kProcessTimeoutMs);
  }

 private:
  PROCESS_INFORMATION process_{};
};

int RunHolder(const std::wstring& arguments) { return Holder(arguments).Wait(); }

class ProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override { env_.WriteDefinitions("SPEED=L\nNAME=$\n", "LEVEL=D\n"); }
  void TearDown() override { KeltoClose(); }

  bool WaitForFile(const std::string& name) {
    for (int waited = 0; waited < 6000; ++waited) {
      if (std::filesystem::exists(env_.Path(name))) return true;
      Sleep(10);
    }
    return false;
  }

  TestEnvironment env_;
};

TEST_F(ProcessesTest, TwoProgramsShareValuesBothWays) {
  KeltoOpen();
  ASSERT_EQ(KeltoWriteInt32("IORSH_SPEED", 1234), 0);
  EXPECT_EQ(RunHolder(L"expect 1234"), 0);
  EXPECT_EQ(RunHolder(L"write 5678"), 0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 5678);
  // The other program's Close left the table to this one.
  EXPECT_TRUE(env_.SegmentExists());
}

TEST_F(ProcessesTest, TheLastCloseGivesZerosAtTheNextOpen) {
  Holder holder(L"hold 4711");
  ASSERT_TRUE(WaitForFile("ready"));
  KeltoOpen();
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 4711);
  env_.WriteFile("release", "");
  EXPECT_EQ(holder.Wait(), 0);
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 4711) << "this process still holds the table";
  KeltoClose();
  EXPECT_FALSE(env_.SegmentExists());
  KeltoOpen();
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 0);
  EXPECT_EQ(RunHolder(L"expect 0"), 0);
}

TEST_F(ProcessesTest, AKilledHolderLeavesNothingBehind) {
  Holder holder(L"hold 99");
  ASSERT_TRUE(WaitForFile("ready"));
  EXPECT_TRUE(env_.SegmentExists());
  holder.Kill();
  EXPECT_FALSE(env_.SegmentExists());
  EXPECT_EQ(RunHolder(L"expect 0"), 0);
  // Nothing but the definition files, the log and the markers: no gate file.
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(env_.directory())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "iorsh.mem" || name == "memsh.mem" || name == "kelto_log.txt" ||
                name == "ready")
        << name;
    ++files;
  }
  EXPECT_EQ(files, 4u);
}

TEST_F(ProcessesTest, ASmallerExistingMappingIsRefusedWithItsSize) {
  // Twenty variables need 6560 bytes; the mapping made first has one page.
  std::string many;
  for (int i = 0; i < 20; ++i) many += "V" + std::to_string(i) + "=L\n";
  env_.WriteDefinitions(many, "");
  HANDLE smaller = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      KELTO_ITEM_SIZE, env_.segment().c_str());
  ASSERT_NE(smaller, nullptr);
  KeltoOpen();
  const std::string log = env_.ReadLog();
  EXPECT_NE(log.find("shared memory error is 2\n"), std::string::npos) << log;
  EXPECT_NE(log.find("shared memory \"" + env_.segment() +
                     "\": existing segment has 4096 bytes, fewer than the 6560 bytes needed\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  CloseHandle(smaller);
}

TEST_F(ProcessesTest, OtherDefinitionsAreRefusedWithTheFirstDifference) {
  Holder holder(L"hold 7");
  ASSERT_TRUE(WaitForFile("ready"));
  env_.WriteDefinitions("SPEED=D\nNAME=$\n", "LEVEL=D\n");
  KeltoOpen();
  const std::string log = env_.ReadLog();
  EXPECT_NE(log.find("shared memory error is 2\n"), std::string::npos) << log;
  EXPECT_NE(log.find("shared memory \"" + env_.segment() +
                     "\": the live segment was made with other definitions: ident 0 is "
                     "IORSH_SPEED (type D) here but IORSH_SPEED (type L) in the segment\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(KeltoReadInt32("IORSH_SPEED"), 0);
  env_.WriteFile("release", "");
  EXPECT_EQ(holder.Wait(), 0);
}

TEST_F(ProcessesTest, AProgramEndsCleanlyWhileItsThreadsStillWrite) {
  EXPECT_EQ(RunHolder(L"busy"), 0);
  EXPECT_FALSE(env_.SegmentExists());
}

TEST_F(ProcessesTest, AHostLoadsTheDllByNameAndUnloadsItWhileItsThreadLives) {
  EXPECT_EQ(Holder(L"", L"dynamic_consumer.exe").Wait(), 0);
  // Nothing of the host outlived it.
  EXPECT_EQ(RunHolder(L"expect 0"), 0);
}

TEST_F(ProcessesTest, TheLogEndsItsLinesAsTextFilesDoHere) {
  KeltoOpen();
  KeltoClose();
  std::ifstream in(env_.Path("kelto_log.txt"), std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(raw.rfind("kelto v" KELTO_VERSION "\r\n", 0), 0u) << raw;
  EXPECT_EQ(raw.substr(raw.size() - 10), "quitting\r\n");
}

TEST_F(ProcessesTest, DefinitionFilesWithCrlfReadAsWithLf) {
  env_.WriteDefinitions("SPEED=L\r\nNAME=$\r\n", "LEVEL=D\r\n");
  KeltoOpen();
  EXPECT_EQ(KeltoGetNumberOfItems(), 3u);
  EXPECT_EQ(KeltoGetTypeVarName("IORSH_NAME"), '$');
  EXPECT_EQ(KeltoGetSizeVarName("MEMSH_LEVEL"), 8);
}

}  // namespace
}  // namespace kelto::testing
