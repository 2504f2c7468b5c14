// The facades across processes: what one process writes through a family is
// what another reads through the core by ident, and the other way round.
// Every child opens the table itself (a forked child starts with it closed).
#include <string>

#include "facade_fixture.h"

namespace kelto::testing {
namespace {

class FacadeAcrossProcesses : public ::testing::Test {
 protected:
  void SetUp() override { env_.WriteDefinitions(kIorshDefinitions, kMemshDefinitions); }
  void TearDown() override { KeltoClose(); }
  TestEnvironment env_;
};

TEST_F(FacadeAcrossProcesses, WrittenThroughIorshReadByIdentElsewhere) {
  ProcessLatch written;
  ProcessLatch read;
  ChildProcess writer([&] {
    if (IORShOpen(0) != 1) return 1;
    const int32_t speed = 4711;
    if (IORShWriteVarName("SPEED", reinterpret_cast<const char*>(&speed)) != 0) return 2;
    if (IORShWriteVarName("STATE", "written by the writer") != 0) return 3;
    written.Notify();
    read.Wait();  // hold the table until the reader is done
    IORShClose();
    return 0;
  });
  ChildProcess reader([&] {
    if (!written.Wait()) return 10;
    KeltoOpen();
    const int32_t speed_ident = KeltoGetIdentVarName("IORSH_SPEED");
    const int32_t state_ident = KeltoGetIdentVarName("IORSH_STATE");
    int32_t speed = 0;
    char state[64] = {};
    const bool ok = speed_ident == kIorshSpeed && state_ident == kIorshState &&
                    KeltoReadVar(speed_ident, reinterpret_cast<char*>(&speed)) == 0 &&
                    KeltoReadVar(state_ident, state) == 0 && speed == 4711 &&
                    std::string(state) == "written by the writer";
    read.Notify();
    KeltoClose();
    return ok ? 0 : 11;
  });
  EXPECT_EQ(writer.Wait(), 0);
  EXPECT_EQ(reader.Wait(), 0);
}

TEST_F(FacadeAcrossProcesses, WrittenByIdentHereReadThroughMemshInAChild) {
  ASSERT_EQ(KeltoOpen(), 0);
  const uint16_t level = 0x1234;
  ASSERT_EQ(KeltoWriteVar(kMemshLevel, reinterpret_cast<const char*>(&level)), 0);
  ASSERT_EQ(KeltoWriteString("MEMSH_NOTE", "from the parent"), 0);

  const int status = RunInChild([] {
    if (MemShOpen(0) != 1) return 1;
    uint16_t by_name = 0;
    uint16_t by_ident = 0;
    char note[64] = {};
    char name[256] = {};
    const bool ok = MemShReadVarName("LEVEL", reinterpret_cast<char*>(&by_name)) == 0 &&
                    MemShReadVar(kMemshLevel, reinterpret_cast<char*>(&by_ident)) == 0 &&
                    MemShReadVarName("NOTE", note) == 0 &&
                    MemShReadNameVar(kMemshLevel, name) == 0 && by_name == 0x1234 &&
                    by_ident == 0x1234 && std::string(note) == "from the parent" &&
                    std::string(name) == "LEVEL";
    // Answer through the table: the parent reads it by ident.
    const int32_t answer = ok ? 1 : -1;
    MemShWriteVarName("SPEED", reinterpret_cast<const char*>(&answer));
    MemShClose();
    return ok ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
  int32_t answer = 0;
  EXPECT_EQ(KeltoReadVar(kMemshSpeed, reinterpret_cast<char*>(&answer)), 0);
  EXPECT_EQ(answer, 1);
}

TEST_F(FacadeAcrossProcesses, BothFamiliesInTwoProcessesShareOneTable) {
  ASSERT_EQ(IORShOpen(0), 1);
  ASSERT_EQ(MemShOpen(0), 1);
  const int status = RunInChild([] {
    if (MemShOpen(0) != 1) return 1;
    const double temperature = 21.5;
    const int rc = MemShWriteVar(1, reinterpret_cast<const char*>(&temperature));
    MemShClose();
    return rc == 0 ? 0 : 2;
  });
  ASSERT_EQ(status, 0);
  double temperature = 0.0;
  EXPECT_EQ(IORShReadVarName("TEMPERATURE", reinterpret_cast<char*>(&temperature)), 0);
  EXPECT_EQ(temperature, 21.5);
}

}  // namespace
}  // namespace kelto::testing
