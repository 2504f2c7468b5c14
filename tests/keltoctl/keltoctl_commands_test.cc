// list, get and set of the real keltoctl binary against a table that a
// separate process holds. Every run also checks that the log is untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kelto.h"
#include "keltoctl/keltoctl_runner.h"
#include "keltoctl/live_table_holder.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

// Idents 0 to 8 from the iorsh file, 9 to 11 from the memsh file. The last
// name holds byte 0xC4, which is not ASCII.
constexpr const char* kIorsh = "B=B\nH=H\nO=O\nM=M\nW=W\nL=L\nD=D\nTEXT=$\nNOTHING=x\n";
constexpr const char* kMemsh = "SPEED=L\nLABEL=$\n\xC4T=B\n";
// A double from the start: <cmath>'s INFINITY is a float.
constexpr double kInfinity = std::numeric_limits<double>::infinity();

template <typename Number>
std::string Bytes(Number number) {
  return std::string(reinterpret_cast<const char*>(&number), sizeof number);
}

template <typename Number>
void WriteNumber(const char* name, Number number) {
  KeltoWriteVarName(name, reinterpret_cast<const char*>(&number));
}

void WriteStartingValues() {
  WriteNumber<uint8_t>("IORSH_B", 7);
  WriteNumber<uint8_t>("IORSH_H", 128);
  WriteNumber<uint8_t>("IORSH_O", 255);
  WriteNumber<uint16_t>("IORSH_M", 513);
  WriteNumber<uint16_t>("IORSH_W", 65535);
  KeltoWriteInt32("IORSH_L", -42);
  KeltoWriteDouble("IORSH_D", 0.1);
  KeltoWriteString("IORSH_TEXT", "tab\there");
  KeltoWriteInt32("MEMSH_SPEED", 1500);
  KeltoWriteString("MEMSH_LABEL", "a,\"b\"");
  WriteNumber<uint8_t>("MEMSH_\xC4T", 1);
}

int LineCount(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

class KeltoctlCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_.WriteDefinitions(kIorsh, kMemsh);
    holder_ = std::make_unique<LiveTableHolder>(WriteStartingValues);
    ASSERT_TRUE(holder_->ready());
    ASSERT_FALSE(environment_.ReadLog().empty());
  }

  // Runs keltoctl; a person looking at a live system must never lose its
  // log, so every command has to leave it byte for byte as it was.
  ToolResult Ctl(const std::vector<std::string>& arguments) {
    const std::string log_before = environment_.ReadLog();
    ToolResult result = RunKeltoctl(arguments);
    EXPECT_EQ(environment_.ReadLog(), log_before) << "keltoctl changed kelto_log.txt";
    return result;
  }

  // A failure: the given status, nothing on standard output, and one line
  // on standard error that names `culprit`.
  void ExpectFailure(const std::vector<std::string>& arguments, int status,
                     const std::string& culprit) {
    const ToolResult result = Ctl(arguments);
    const std::string call = ::testing::PrintToString(arguments);
    EXPECT_EQ(result.status, status) << call << "\n" << result.err;
    EXPECT_EQ(result.out, "") << call;
    EXPECT_EQ(LineCount(result.err), 1) << call << "\n" << result.err;
    EXPECT_EQ(result.err.rfind("keltoctl: ", 0), 0u) << call << "\n" << result.err;
    EXPECT_NE(result.err.find(culprit), std::string::npos) << call << "\n" << result.err;
  }

  TestEnvironment environment_;
  std::unique_ptr<LiveTableHolder> holder_;
};

TEST_F(KeltoctlCommandsTest, ListShowsEveryItemInIdentOrderTabSeparatedWhenNotOnATerminal) {
  const ToolResult result = Ctl({"list"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            "0\tIORSH_B\tB\t1\t7\n"
            "1\tIORSH_H\tH\t1\t128\n"
            "2\tIORSH_O\tO\t1\t255\n"
            "3\tIORSH_M\tM\t2\t513\n"
            "4\tIORSH_W\tW\t2\t65535\n"
            "5\tIORSH_L\tL\t4\t-42\n"
            "6\tIORSH_D\tD\t8\t0.1\n"
            "7\tIORSH_TEXT\t$\t63\ttab\\there\n"
            "8\tIORSH_NOTHING\tx\t0\t-\n"
            "9\tMEMSH_SPEED\tL\t4\t1500\n"
            "10\tMEMSH_LABEL\t$\t63\ta,\"b\"\n"
            "11\tMEMSH_\\xc4T\tB\t1\t1\n");
}

TEST_F(KeltoctlCommandsTest, ListTableAlignsColumnsUnderAHeader) {
  const ToolResult result = Ctl({"list", "--table", "IORSH_[LDT]*"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "IDENT  NAME        TYPE  SIZE  VALUE\n"
            "    5  IORSH_L     L        4  -42\n"
            "    6  IORSH_D     D        8  0.1\n"
            "    7  IORSH_TEXT  $       63  tab\\there\n");
}

TEST_F(KeltoctlCommandsTest, ListPatternIsAShellGlobOnTheWholeName) {
  EXPECT_EQ(Ctl({"list", "MEMSH_*"}).out,
            "9\tMEMSH_SPEED\tL\t4\t1500\n"
            "10\tMEMSH_LABEL\t$\t63\ta,\"b\"\n"
            "11\tMEMSH_\\xc4T\tB\t1\t1\n");
  EXPECT_EQ(Ctl({"list", "IORSH_?"}).out.substr(0, 16), "0\tIORSH_B\tB\t1\t7\n");
  EXPECT_EQ(LineCount(Ctl({"list", "IORSH_?"}).out), 7);
  EXPECT_EQ(Ctl({"list", "*SPEED"}).out, "9\tMEMSH_SPEED\tL\t4\t1500\n");
  // The whole name must match, not a part of it.
  ExpectFailure({"list", "SPEED"}, 1, "SPEED");
  ExpectFailure({"list", "IORSH_Q*"}, 1, "IORSH_Q*");
}

TEST_F(KeltoctlCommandsTest, GetPrintsOneBareValuePerNameInTheGivenOrder) {
  const ToolResult result =
      Ctl({"get", "IORSH_D", "IORSH_B", "IORSH_H", "IORSH_O", "IORSH_M", "IORSH_W", "IORSH_L",
           "IORSH_TEXT", "IORSH_NOTHING", "MEMSH_LABEL", "MEMSH_\xC4T", "IORSH_L"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "0.1\n7\n128\n255\n513\n65535\n-42\ntab\\there\n-\na,\"b\"\n1\n-42\n");
}

TEST_F(KeltoctlCommandsTest, GetOfUnknownNamesReportsEachAndPrintsNoValue) {
  const ToolResult result = Ctl({"get", "IORSH_B", "SPEED", "IORSH_NOPE", "iorsh_b"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "") << "a partial list of values would shift a script's fields";
  EXPECT_EQ(result.err,
            "keltoctl: unknown variable 'SPEED'\n"
            "keltoctl: unknown variable 'IORSH_NOPE'\n"
            "keltoctl: unknown variable 'iorsh_b'\n");
  ExpectFailure({"get", "IORSH_\n"}, 1, "IORSH_\\n");
  ExpectFailure({"set", "MEMSH_NOPE", "1"}, 1, "MEMSH_NOPE");
}

TEST_F(KeltoctlCommandsTest, JsonOutputIsEscapedAndTyped) {
  EXPECT_EQ(Ctl({"list", "--json", "MEMSH_*"}).out,
            "[\n"
            "  {\"ident\": 9, \"name\": \"MEMSH_SPEED\", \"type\": \"L\", \"size\": 4, "
            "\"value\": 1500},\n"
            "  {\"ident\": 10, \"name\": \"MEMSH_LABEL\", \"type\": \"$\", \"size\": 63, "
            "\"value\": \"a,\\\"b\\\"\"},\n"
            "  {\"ident\": 11, \"name\": \"MEMSH_\\udcc4T\", \"type\": \"B\", \"size\": 1, "
            "\"value\": 1}\n"
            "]\n");
  EXPECT_EQ(Ctl({"get", "--json", "IORSH_TEXT", "IORSH_NOTHING", "IORSH_D"}).out,
            "[\n"
            "  {\"ident\": 7, \"name\": \"IORSH_TEXT\", \"type\": \"$\", \"size\": 63, "
            "\"value\": \"tab\\there\"},\n"
            "  {\"ident\": 8, \"name\": \"IORSH_NOTHING\", \"type\": \"x\", \"size\": 0, "
            "\"value\": null},\n"
            "  {\"ident\": 6, \"name\": \"IORSH_D\", \"type\": \"D\", \"size\": 8, "
            "\"value\": 0.1}\n"
            "]\n");
  // JSON has no infinity or NaN.
  ASSERT_EQ(Ctl({"set", "IORSH_D", "-inf"}).status, 0);
  EXPECT_NE(Ctl({"get", "--json", "IORSH_D"}).out.find("\"value\": null}"), std::string::npos);
}

TEST_F(KeltoctlCommandsTest, CsvOutputHasAHeaderAndQuotesWhereNeeded) {
  EXPECT_EQ(Ctl({"list", "--csv", "MEMSH_*"}).out,
            "ident,name,type,size,value\n"
            "9,MEMSH_SPEED,L,4,1500\n"
            "10,MEMSH_LABEL,$,63,\"a,\"\"b\"\"\"\n"
            "11,MEMSH_\xC4T,B,1,1\n");
  EXPECT_EQ(Ctl({"get", "--csv", "IORSH_TEXT", "IORSH_NOTHING"}).out,
            "ident,name,type,size,value\n"
            "7,IORSH_TEXT,$,63,tab\there\n"
            "8,IORSH_NOTHING,x,0,\n");
}

struct SetCase {
  const char* name;
  const char* input;
  std::string bytes;  // what the library then reads
  const char* shown;  // what get then prints
};

TEST_F(KeltoctlCommandsTest, SetWritesEveryTypeSoThatTheLibraryReadsIt) {
  const SetCase cases[] = {
      {"IORSH_B", "0", Bytes<uint8_t>(0), "0"},
      {"IORSH_H", "0xff", Bytes<uint8_t>(255), "255"},
      {"IORSH_O", "+17", Bytes<uint8_t>(17), "17"},
      {"IORSH_M", "65535", Bytes<uint16_t>(65535), "65535"},
      {"IORSH_W", "0x0102", Bytes<uint16_t>(258), "258"},
      {"IORSH_L", "-2147483648", Bytes<int32_t>(INT32_MIN), "-2147483648"},
      {"MEMSH_SPEED", "2147483647", Bytes<int32_t>(INT32_MAX), "2147483647"},
      {"IORSH_L", "-0x10", Bytes<int32_t>(-16), "-16"},
      {"IORSH_D", "-0.1", Bytes<double>(-0.1), "-0.1"},
      {"IORSH_D", "0.30000000000000004", Bytes<double>(0.1 + 0.2), "0.30000000000000004"},
      {"IORSH_D", "4.9406564584124654e-324", Bytes<double>(4.9406564584124654e-324), "5e-324"},
      {"IORSH_D", "1.7976931348623157e308", Bytes<double>(1.7976931348623157e308),
       "1.7976931348623157e+308"},
      {"IORSH_D", "inf", Bytes<double>(kInfinity), "inf"},
      {"IORSH_D", "-inf", Bytes<double>(-kInfinity), "-inf"},
      {"IORSH_TEXT", "hello world", std::string("hello world\0", 12), "hello world"},
      {"IORSH_TEXT", "", std::string("\0", 1), ""},
  };
  for (const SetCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.input);
    const ToolResult set = Ctl({"set", c.name, c.input});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "");
    EXPECT_EQ(set.err, "");
    EXPECT_EQ(ValueFieldSeenByLibrary(c.name).substr(0, c.bytes.size()), c.bytes);
    EXPECT_EQ(Ctl({"get", c.name}).out, std::string(c.shown) + "\n");
  }
  ASSERT_EQ(Ctl({"set", "IORSH_D", "nan"}).status, 0);
  double number = 0;
  std::memcpy(&number, ValueFieldSeenByLibrary("IORSH_D").data(), sizeof number);
  EXPECT_TRUE(std::isnan(number));
  EXPECT_EQ(Ctl({"get", "IORSH_D"}).out, "nan\n");
}

TEST_F(KeltoctlCommandsTest, SetOfTextWritesAsTheLibraryWritesByName) {
  // A shorter text keeps the bytes after its terminator, as
  // KeltoWriteVarName does; the starting value is "tab\there".
  ASSERT_EQ(Ctl({"set", "IORSH_TEXT", "ab"}).status, 0);
  EXPECT_EQ(ValueFieldSeenByLibrary("IORSH_TEXT").substr(0, 9), std::string("ab\0\there\0", 9));
  EXPECT_EQ(Ctl({"get", "IORSH_TEXT"}).out, "ab\n");

  const std::string longest(63, 'z');
  ASSERT_EQ(Ctl({"set", "IORSH_TEXT", longest}).status, 0);
  EXPECT_EQ(Ctl({"get", "IORSH_TEXT"}).out, longest + "\n");
  ExpectFailure({"set", "IORSH_TEXT", longest + "z"}, 3, "IORSH_TEXT");
  EXPECT_EQ(Ctl({"get", "IORSH_TEXT"}).out, longest + "\n");

  // A value that starts with '-' but is no number needs "--" before it.
  ASSERT_EQ(Ctl({"set", "IORSH_TEXT", "--", "--dash"}).status, 0);
  EXPECT_EQ(Ctl({"get", "IORSH_TEXT"}).out, "--dash\n");
}

TEST_F(KeltoctlCommandsTest, EscapedSetWritesBackWhatGetPrints) {
  ASSERT_EQ(Ctl({"set", "--escaped", "IORSH_TEXT", "a\\x01\\\\b\\n\\xc4\\t"}).status, 0);
  EXPECT_EQ(ValueFieldSeenByLibrary("IORSH_TEXT").substr(0, 8),
            std::string("a\x01\\b\n\xC4\t\0", 8));
  const std::string shown = Ctl({"get", "IORSH_TEXT"}).out;
  EXPECT_EQ(shown, "a\\x01\\\\b\\n\\xc4\\t\n");
  // Without --escaped the text is taken as it is.
  ASSERT_EQ(Ctl({"set", "IORSH_TEXT", "a\\n"}).status, 0);
  EXPECT_EQ(ValueFieldSeenByLibrary("IORSH_TEXT").substr(0, 4), std::string("a\\n\0", 4));

  ExpectFailure({"set", "-e", "IORSH_TEXT", "bad\\q"}, 3, "IORSH_TEXT");
  ExpectFailure({"set", "-e", "IORSH_TEXT", "\\x0"}, 3, "IORSH_TEXT");
  ExpectFailure({"set", "-e", "IORSH_TEXT", "\\x00"}, 3, "IORSH_TEXT");
  ExpectFailure({"set", "-e", "IORSH_TEXT", "end\\"}, 3, "IORSH_TEXT");
  EXPECT_EQ(ValueFieldSeenByLibrary("IORSH_TEXT").substr(0, 4), std::string("a\\n\0", 4));
}

// Valid UTF-8 is shown as its characters by get (plain, table, JSON), a
// byte outside it as \xHH in text and U+DC80 + byte in JSON, and what get
// prints sets the same bytes again. The limit counts bytes, not characters.
TEST_F(KeltoctlCommandsTest, TextShowsItsCharactersAndKeepsEveryByte) {
  ASSERT_EQ(Ctl({"set", "IORSH_TEXT",
                 "25 \xc2\xb0"
                 "C"})
                .status,
            0);
  EXPECT_EQ(ValueFieldSeenByLibrary("IORSH_TEXT").substr(0, 7), std::string("25 \xc2\xb0"
                                                                            "C\0",
                                                                            7));
  EXPECT_EQ(Ctl({"get", "IORSH_TEXT"}).out,
            "25 \xc2\xb0"
            "C\n");
  EXPECT_EQ(Ctl({"list", "--table", "IORSH_TEXT"}).out,
            "IDENT  NAME        TYPE  SIZE  VALUE\n"
            "    7  IORSH_TEXT  $       63  25 \xc2\xb0"
            "C\n");

  ASSERT_EQ(Ctl({"set", "-e", "IORSH_TEXT", "\\xb0 \xe2\x82\xac"}).status, 0);
  EXPECT_EQ(ValueFieldSeenByLibrary("IORSH_TEXT").substr(0, 6),
            std::string("\xb0 \xe2\x82\xac\0", 6));
  const std::string shown = Ctl({"get", "IORSH_TEXT"}).out;
  EXPECT_EQ(shown, "\\xb0 \xe2\x82\xac\n");
  EXPECT_NE(Ctl({"get", "--json", "IORSH_TEXT"}).out.find("\"value\": \"\\udcb0 \xe2\x82\xac\""),
            std::string::npos);
  ASSERT_EQ(Ctl({"set", "IORSH_TEXT", "x"}).status, 0);
  ASSERT_EQ(Ctl({"set", "-e", "IORSH_TEXT", shown.substr(0, shown.size() - 1)}).status, 0);
  EXPECT_EQ(ValueFieldSeenByLibrary("IORSH_TEXT").substr(0, 6),
            std::string("\xb0 \xe2\x82\xac\0", 6));

  std::string euros;
  for (int i = 0; i < 21; ++i) euros += "\xe2\x82\xac";
  ASSERT_EQ(Ctl({"set", "IORSH_TEXT", euros}).status, 0);
  EXPECT_EQ(Ctl({"get", "IORSH_TEXT"}).out, euros + "\n");
  ExpectFailure({"set", "IORSH_TEXT", euros + "x"}, 3, "64 bytes");
}

TEST_F(KeltoctlCommandsTest, RefusedValuesReportWhyAndWriteNothing) {
  const char* names[] = {"IORSH_B", "IORSH_H", "IORSH_M", "IORSH_L", "IORSH_D", "IORSH_TEXT"};
  std::vector<std::string> before;
  for (const char* name : names) before.push_back(ValueFieldSeenByLibrary(name));

  const std::pair<const char*, std::string> refused[] = {
      {"IORSH_B", "256"},
      {"IORSH_B", "-1"},
      {"IORSH_B", "0x100"},
      {"IORSH_B", ""},
      {"IORSH_B", "1.5"},
      {"IORSH_B", "seven"},
      {"IORSH_B", " 7"},
      {"IORSH_B", "7 "},
      {"IORSH_H", "-128"},
      {"IORSH_M", "65536"},
      {"IORSH_M", "0x"},
      {"IORSH_L", "2147483648"},
      {"IORSH_L", "-2147483649"},
      {"IORSH_L", "0x80000000"},
      {"IORSH_L", "12abc"},
      {"IORSH_L", "+-1"},
      {"IORSH_L", "99999999999999999999999"},
      {"IORSH_D", "1e999"},
      {"IORSH_D", "1.5x"},
      {"IORSH_D", ""},
      {"IORSH_D", "0x1p3"},
      {"IORSH_D", "1,5"},
      {"IORSH_TEXT", std::string(64, 'a')},
  };
  for (const auto& [name, input] : refused) ExpectFailure({"set", name, input}, 3, name);

  for (size_t i = 0; i < std::size(names); ++i) {
    EXPECT_EQ(ValueFieldSeenByLibrary(names[i]), before[i]) << names[i];
  }
}

TEST_F(KeltoctlCommandsTest, VariablesWhoseTypeHasNoValueCannotBeSet) {
  ExpectFailure({"set", "IORSH_NOTHING", "1"}, 3, "IORSH_NOTHING");
  ExpectFailure({"set", "IORSH_NOTHING", ""}, 3, "IORSH_NOTHING");
}

TEST_F(KeltoctlCommandsTest, WrongCallsAreUsageErrors) {
  const std::vector<std::vector<std::string>> calls = {
      {},
      {"frobnicate"},
      {"--frob"},
      {"list", "--frob"},
      {"list", "a", "b"},
      {"list", "--json", "--csv"},
      {"list", "--json=1"},
      {"get"},
      {"get", "--escaped", "IORSH_B"},
      {"set", "IORSH_L"},
      {"set", "IORSH_L", "1", "2"},
      {"set", "IORSH_L", "--json", "1"},
      {"watch", "--interval", "0"},
      {"watch", "--interval", "abc"},
      {"watch", "-n", "100000"},
      {"watch", "--count", "0"},
      {"watch", "--count=2x"},
      {"watch", "--interval"},
      {"help", "frobnicate"},
  };
  for (const auto& call : calls) {
    const ToolResult result = Ctl(call);
    const std::string printed = ::testing::PrintToString(call);
    EXPECT_EQ(result.status, 2) << printed << "\n" << result.err;
    EXPECT_EQ(result.out, "") << printed;
    EXPECT_EQ(LineCount(result.err), 1) << printed << "\n" << result.err;
    EXPECT_EQ(result.err.rfind("keltoctl: ", 0), 0u) << printed << "\n" << result.err;
  }
  ExpectFailure({"list", "--frob"}, 2, "'--frob'");
  ExpectFailure({"frobnicate"}, 2, "'frobnicate'");
}

// The library's lookup by name finds the later of two items with one name;
// keltoctl must address the same item.
TEST(KeltoctlDuplicateNames, TheLaterItemOfARepeatedNameIsTheOneUsed) {
  TestEnvironment environment;
  environment.WriteDefinitions("DUP=B\nDUP=L\n", "");
  LiveTableHolder holder([] {});
  ASSERT_TRUE(holder.ready());
  ASSERT_EQ(RunKeltoctl({"set", "IORSH_DUP", "100000"}).status, 0);
  EXPECT_EQ(ValueFieldSeenByLibrary("IORSH_DUP").substr(0, 4), Bytes<int32_t>(100000));
  EXPECT_EQ(RunKeltoctl({"get", "--tsv", "IORSH_DUP"}).out, "1\tIORSH_DUP\tL\t4\t100000\n");
  EXPECT_EQ(RunKeltoctl({"list"}).out, "0\tIORSH_DUP\tB\t1\t0\n1\tIORSH_DUP\tL\t4\t100000\n");
}

}  // namespace
}  // namespace kelto::testing
