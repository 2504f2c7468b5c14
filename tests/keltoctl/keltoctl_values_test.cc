// Value text in both directions: what get prints must read back exactly
// through set, and every refusal must be a refusal, not a quiet change.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "keltoctl/value_format.h"
#include "keltoctl/value_parse.h"

namespace keltoctl {
namespace {

ItemSnapshot ItemOfType(char type) {
  ItemSnapshot item;
  item.type = type;
  item.size = kelto::SizeOfTypeLetter(type);
  return item;
}

// Parses `text` for `type` and shows it again as get would.
std::string RoundTrip(char type, const std::string& text) {
  ItemSnapshot item = ItemOfType(type);
  std::string reason;
  if (!ParseValue(type, text, item.value, &reason)) return "refused: " + reason;
  return FormatValue(item);
}

TEST(KeltoctlValues, EveryByteSurvivesEscapingAndUnescaping) {
  std::string all;
  for (int byte = 1; byte < 256; ++byte) all += static_cast<char>(byte);
  const std::string escaped = EscapeText(all);
  for (const char c : escaped) {
    EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "escaped text holds byte " << int{c};
  }
  std::string back, reason;
  ASSERT_TRUE(UnescapeText(escaped, &back, &reason)) << reason;
  EXPECT_EQ(back, all);
  EXPECT_EQ(EscapeText("a\\b\n\t\r\x1b\x7f\xff"), "a\\\\b\\n\\t\\r\\x1b\\x7f\\xff");
}

TEST(KeltoctlValues, UnescapingRefusesWhatItCannotRepresent) {
  std::string bytes, reason;
  for (const char* bad : {"\\", "a\\q", "\\x", "\\x4", "\\xg0", "\\x00", "\\0"}) {
    EXPECT_FALSE(UnescapeText(bad, &bytes, &reason)) << bad;
    EXPECT_FALSE(reason.empty()) << bad;
  }
  ASSERT_TRUE(UnescapeText("\\x4A\\x4a", &bytes, &reason));
  EXPECT_EQ(bytes, "JJ");
}

TEST(KeltoctlValues, DoublesAreShownShortestAndReadBackBitForBit) {
  std::mt19937_64 random(20261208);
  std::vector<double> values = {0.0,
                                -0.0,
                                0.1,
                                1.0 / 3.0,
                                1e23,
                                std::numeric_limits<double>::min(),
                                std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::max(),
                                -std::numeric_limits<double>::max(),
                                std::numeric_limits<double>::epsilon()};
  for (int i = 0; i < 2000; ++i) {
    const uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (std::isfinite(value)) values.push_back(value);
  }
  for (const double value : values) {
    const std::string text = FormatDouble(value);
    ItemSnapshot item = ItemOfType('D');
    std::string reason;
    ASSERT_TRUE(ParseValue('D', text, item.value, &reason)) << text << ": " << reason;
    EXPECT_EQ(std::memcmp(item.value, &value, sizeof value), 0) << text;
  }
  EXPECT_EQ(FormatDouble(0.1), "0.1");
  EXPECT_EQ(FormatDouble(-0.0), "-0");
  EXPECT_EQ(FormatDouble(1e23), "1e+23");
  EXPECT_EQ(RoundTrip('D', "inf"), "inf");
  EXPECT_EQ(RoundTrip('D', "-inf"), "-inf");
  EXPECT_EQ(RoundTrip('D', "nan"), "nan");
  EXPECT_EQ(RoundTrip('D', "+2.5"), "2.5");
}

TEST(KeltoctlValues, IntegersAcceptExactlyTheirTypesRange) {
  struct Case {
    char type;
    const char* text;
    const char* shown;  // nullptr: refused
  };
  const Case cases[] = {
      {'B', "0", "0"},
      {'B', "255", "255"},
      {'B', "256", nullptr},
      {'B', "-0", "0"},
      {'B', "-1", nullptr},
      {'H', "0xFF", "255"},
      {'O', "0x1ff", nullptr},
      {'O', "007", "7"},
      {'M', "65535", "65535"},
      {'W', "65536", nullptr},
      {'W', "0x10000", nullptr},
      {'L', "2147483647", "2147483647"},
      {'L', "-2147483648", "-2147483648"},
      {'L', "2147483648", nullptr},
      {'L', "-2147483649", nullptr},
      {'L', "18446744073709551616", nullptr},
      {'L', "-0x80000000", "-2147483648"},
      {'L', "0x", nullptr},
      {'L', "1e3", nullptr},
      {'L', "--1", nullptr},
      {'L', "+", nullptr},
      {'L', "", nullptr},
      {'L', "1 ", nullptr},
      {'L', "\t1", nullptr},
  };
  for (const Case& c : cases) {
    const std::string result = RoundTrip(c.type, c.text);
    if (c.shown == nullptr) {
      EXPECT_EQ(result.rfind("refused: ", 0), 0u) << c.type << " " << c.text << " -> " << result;
    } else {
      EXPECT_EQ(result, c.shown) << c.type << " " << c.text;
    }
  }
}

TEST(KeltoctlValues, OnlyTheTypesBytesAreFilled) {
  ItemSnapshot item = ItemOfType('M');
  std::string reason;
  std::memset(item.value, 0x55, sizeof item.value);
  ASSERT_TRUE(ParseValue('M', "0x0102", item.value, &reason));
  EXPECT_EQ(item.value[0], 0x02);
  EXPECT_EQ(item.value[1], 0x01);
  for (size_t i = 2; i < sizeof item.value; ++i) EXPECT_EQ(item.value[i], 0) << i;
}

TEST(KeltoctlValues, TextFitsUpToSixtyThreeBytes) {
  EXPECT_EQ(RoundTrip('$', std::string(63, 'x')), std::string(63, 'x'));
  EXPECT_EQ(RoundTrip('$', std::string(64, 'x')).rfind("refused: ", 0), 0u);
  EXPECT_EQ(RoundTrip('$', "say \"hi\"\n"), "say \"hi\"\\n");
  EXPECT_EQ(RoundTrip('x', "1").rfind("refused: ", 0), 0u);
  EXPECT_EQ(FormatValue(ItemOfType('x')), "-");
}

TEST(KeltoctlValues, JsonStringsAreValidForAnyBytes) {
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("\n\t\r\x01\x1f\x7f"), "\"\\n\\t\\r\\u0001\\u001f\\u007f\"");
  EXPECT_EQ(JsonString("\xC4\xFF"), "\"\\udcc4\\udcff\"");
  EXPECT_EQ(JsonString(std::string_view("\0", 1)), "\"\\u0000\"");
}

// Bytes that mix characters of every UTF-8 length, controls, marks that
// reorder a line, and bytes outside UTF-8 (stray, cut, overlong, surrogate,
// beyond U+10FFFF): text and JSON show the characters as themselves, the
// rest escaped, and both read back as the very same bytes.
TEST(KeltoctlValues, TextIsShownAsItsCharactersAndAnyBytesReadBack) {
  EXPECT_EQ(EscapeText("25 \xc2\xb0"
                       "C \xe2\x82\xac\xf0\x9f\x98\x80 \xb0"),
            "25 \xc2\xb0"
            "C \xe2\x82\xac\xf0\x9f\x98\x80 \\xb0");
  EXPECT_EQ(JsonString("25 \xc2\xb0"
                       "C \xb0\xed\xa0\x80"),
            "\"25 \xc2\xb0"
            "C \\udcb0\\udced\\udca0\\udc80\"");
  // C1 controls, the line separator and a right-to-left override.
  EXPECT_EQ(EscapeText("a\xc2\x85\xe2\x80\xa8\xe2\x80\xae"),
            "a\\xc2\\x85\\xe2\\x80\\xa8\\xe2\\x80\\xae");
  EXPECT_EQ(JsonString("a\xc2\x85\xe2\x80\xa8\xe2\x80\xae"), "\"a\\u0085\\u2028\\u202e\"");

  const std::vector<std::string> pieces = {"a",
                                           " ",
                                           "\\",
                                           "\"",
                                           "\n",
                                           "\x01",
                                           "\x7f",
                                           "\xc3\xa9",
                                           "\xc2\x85",
                                           "\xe2\x82\xac",
                                           "\xe2\x80\xae",
                                           "\xf0\x9f\x98\x80",
                                           "\x80",
                                           "\xbf",
                                           "\xc0\xaf",
                                           "\xc3",
                                           "\xe2\x82",
                                           "\xed\xa0\x80",
                                           "\xf4\x90\x80\x80",
                                           "\xf8",
                                           "\xff"};
  std::mt19937 random(20261209);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes;
    const size_t count = random() % 24;
    for (size_t i = 0; i < count; ++i) bytes += pieces[random() % pieces.size()];
    if (bytes.size() > 63) bytes.resize(63);
    std::string back, reason;
    ASSERT_TRUE(UnescapeText(EscapeText(bytes), &back, &reason)) << reason;
    EXPECT_EQ(back, bytes);
    ItemSnapshot item = ItemOfType('$');
    const std::string json = JsonString(bytes);
    ASSERT_EQ(kelto::live::ParseValue('$', json, kelto::live::Syntax::kJson, item.value, &reason),
              kelto::live::ParseOutcome::kOk)
        << json << ": " << reason;
    EXPECT_EQ(std::string(item.value), bytes) << json;
  }
}

TEST(KeltoctlValues, CsvFieldsAreQuotedOnlyWhenTheyMustBe) {
  EXPECT_EQ(CsvField("plain text"), "plain text");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(CsvField("cr\r"), "\"cr\r\"");
}

}  // namespace
}  // namespace keltoctl
