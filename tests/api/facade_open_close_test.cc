// Open, Close and the application count of both families: they act on the
// one table of the process and always report 1.
#include <string>

#include "facade_fixture.h"

namespace kelto::testing {
namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(FacadeOpen, ReportsOneWhenTheTableOpens) {
  TestEnvironment env;
  env.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  EXPECT_EQ(MemShOpen(0), 1);
  EXPECT_EQ(KeltoGetNumberOfItems(), static_cast<uint32_t>(kItemCount));
  EXPECT_EQ(MemShClose(), 1);
}

TEST(FacadeOpen, ReportsOneWhenADefinitionFileIsMissing) {
  TestEnvironment env;
  env.WriteFile("iorsh.mem", kIorshDefinitions);
  EXPECT_EQ(IORShOpen(0), 1);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  char buffer[8] = {};
  EXPECT_EQ(IORShReadVarName("SPEED", buffer), -3);
  EXPECT_TRUE(EndsWith(env.ReadLog(), "failed to open memsh file at " + env.Path("memsh.mem") +
                                          "\ntried to access not-initialized memory\n"))
      << env.ReadLog();
  EXPECT_EQ(IORShClose(), 1);

  env.RemoveFile("iorsh.mem");
  EXPECT_EQ(MemShOpen(12345), 1);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  EXPECT_EQ(MemShClose(), 1);
}

TEST(FacadeOpen, ReportsOneWhenTheDirectoryIsMissing) {
  TestEnvironment env;
  const std::string missing = env.Path("does-not-exist");
  setenv("KELTO_DIR", missing.c_str(), 1);
  EXPECT_EQ(IORShOpen(-1), 1);
  EXPECT_EQ(MemShOpen(0), 1);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  EXPECT_EQ(IORShClose(), 1);
}

TEST(FacadeOpen, TheIgnoredArgumentChangesNothing) {
  TestEnvironment env;
  env.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  for (const int32_t argument : {INT32_MIN, -1, 0, 1, INT32_MAX}) {
    EXPECT_EQ(IORShOpen(argument), 1);
    EXPECT_EQ(KeltoGetNumberOfItems(), static_cast<uint32_t>(kItemCount));
    EXPECT_EQ(IORShClose(), 1);
  }
}

TEST(FacadeClose, ReportsOneWithoutAnOpenTableAndWhenRepeated) {
  TestEnvironment env;
  EXPECT_EQ(IORShClose(), 1);
  EXPECT_EQ(MemShClose(), 1);
  env.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  ASSERT_EQ(IORShOpen(0), 1);
  EXPECT_EQ(IORShClose(), 1);
  EXPECT_EQ(IORShClose(), 1);
  EXPECT_EQ(MemShClose(), 1);
}

TEST(FacadeClose, ClosingThroughOneFamilyClosesTheTableForBoth) {
  TestEnvironment env;
  env.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  ASSERT_EQ(IORShOpen(0), 1);
  ASSERT_EQ(IORShGetIdentVarName("SPEED"), kIorshSpeed);

  EXPECT_EQ(MemShClose(), 1);
  EXPECT_TRUE(EndsWith(env.ReadLog(), "quitting\n"));
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
  EXPECT_EQ(KeltoGetPointer(), nullptr);
  char buffer[8] = {};
  EXPECT_EQ(IORShReadVarName("SPEED", buffer), -3);
  EXPECT_EQ(MemShReadVarName("SPEED", buffer), -3);
  EXPECT_EQ(IORShReadVar(kIorshSpeed, buffer), -1);
}

TEST(FacadeOpen, OpeningThroughBothFamiliesReopensTheOneTableAndKeepsValues) {
  TestEnvironment env;
  env.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  ASSERT_EQ(IORShOpen(0), 1);
  const int32_t speed = 99;
  ASSERT_EQ(IORShWriteVarName("SPEED", reinterpret_cast<const char*>(&speed)), 0);

  ASSERT_EQ(MemShOpen(0), 1);
  // The repeated Open restarted the log: one banner, one set of lines.
  const std::string log = env.ReadLog();
  EXPECT_EQ(log.rfind("kelto v2.0.0\n", 0), 0u) << log;
  EXPECT_EQ(log.find("kelto v", 1), std::string::npos) << log;
  EXPECT_EQ(ReadInt32ByName(IORShReadVarName, "SPEED"), speed);

  // One Close is enough for both Opens.
  EXPECT_EQ(IORShClose(), 1);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
}

TEST(FacadeOpen, CoreAndFacadeOpenAndCloseAreInterchangeable) {
  TestEnvironment env;
  env.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  ASSERT_EQ(KeltoOpen(), 0);
  EXPECT_EQ(MemShGetIdentVarName("LEVEL"), kMemshLevel);
  EXPECT_EQ(IORShClose(), 1);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);

  ASSERT_EQ(MemShOpen(0), 1);
  EXPECT_EQ(KeltoGetIdentVarName("MEMSH_LEVEL"), kMemshLevel);
  EXPECT_EQ(KeltoClose(), 0);
  EXPECT_EQ(KeltoGetNumberOfItems(), 0u);
}

TEST(FacadeApplicationCount, IsAlwaysOne) {
  TestEnvironment env;
  EXPECT_EQ(IORShReadApplicationCount(), 1);
  EXPECT_EQ(MemShReadApplicationCount(), 1);
  env.WriteDefinitions(kIorshDefinitions, kMemshDefinitions);
  ASSERT_EQ(IORShOpen(0), 1);
  // A second process holding the table does not change the count.
  ProcessLatch opened;
  ProcessLatch counted;
  ChildProcess other([&] {
    const int result = MemShOpen(0) == 1 ? 0 : 1;
    opened.Notify();
    counted.Wait();
    MemShClose();
    return result;
  });
  ASSERT_TRUE(opened.Wait());
  EXPECT_EQ(IORShReadApplicationCount(), 1);
  EXPECT_EQ(MemShReadApplicationCount(), 1);
  counted.Notify();
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_EQ(IORShClose(), 1);
  EXPECT_EQ(MemShReadApplicationCount(), 1);
}

}  // namespace
}  // namespace kelto::testing
