// The bridge's pure parts, where edge cases are cheap: the topic escape
// must read back exactly, payloads must refuse what is not theirs, and the
// schedule must merge bursts without ever losing the last change.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "bridge/options.h"
#include "bridge/payloads.h"
#include "bridge/publish_schedule.h"
#include "bridge/topics.h"

namespace kelto::bridge {
namespace {

TEST(BridgeTopics, EscapeReadsBackAndKeepsOneLevel) {
  const std::string every_byte = [] {
    std::string bytes;
    for (int byte = 1; byte < 256; ++byte) bytes.push_back(static_cast<char>(byte));
    return bytes;
  }();
  for (const std::string& name : {std::string("IORSH_SPEED"), std::string("a/b+c#d$e%f"),
                                  std::string("$birth"), every_byte}) {
    const std::string level = EscapeLevel(name);
    EXPECT_EQ(level.find_first_of("/+#$"), std::string::npos) << level;
    EXPECT_EQ(UnescapeLevel(level), name);
    const auto parsed = ParseTopic(ValueTopic("rigA", "seg/x", name) + "/set");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->kind, TopicKind::kSet);
    EXPECT_EQ(parsed->segment, "seg/x");
    EXPECT_EQ(parsed->name, name);
  }
  // One spelling per name: unescaped specials, lower-case or needless
  // escapes, cut escapes and NUL are not names.
  for (const char* level : {"a+b", "%2f", "%41", "%2", "%", "%00", "a b"}) {
    EXPECT_FALSE(UnescapeLevel(level)) << level;
  }
  EXPECT_EQ(ParseTopic(BirthTopic("rigA", "s"))->kind, TopicKind::kBirth);
  EXPECT_EQ(ParseTopic(StateTopic("rigA", "a/b"))->kind, TopicKind::kState);
  EXPECT_EQ(ParseTopic(StateTopic("rigA", "a/b"))->segment, "a/b");
  EXPECT_FALSE(ParseTopic("kelto/v1/rigA/s/X/other"));
  EXPECT_FALSE(ParseTopic("kelto/v2/rigA/s/X"));
  EXPECT_FALSE(IsValidNodeName("rig/A"));

  // A badly escaped name in a write request is refused on its own /error
  // topic, with the reason.
  const std::string requests = "kelto/v1/rigA/s%2F1/";
  for (const std::string name : {"A%2f", "%zz", "A%00", "A%", "%", "A%41", "$x", "A B", ""}) {
    std::string reason;
    const auto refusal = RefusalTopicOfBadName(requests + name + "/set", "rigA", "s/1", &reason);
    ASSERT_TRUE(refusal) << name;
    EXPECT_EQ(*refusal, requests + name + "/error");
    EXPECT_FALSE(reason.empty()) << name;
  }
  std::string reason;
  EXPECT_FALSE(RefusalTopicOfBadName(requests + "A%2F/set", "rigA", "s/1", &reason));
  EXPECT_FALSE(RefusalTopicOfBadName(requests + "A%2f/set", "rigB", "s/1", &reason));
  EXPECT_FALSE(RefusalTopicOfBadName(requests + "A%2f/x/set", "rigA", "s/1", &reason));
  RefusalTopicOfBadName(requests + "A%2f/set", "rigA", "s/1", &reason);
  EXPECT_EQ(reason, "escape %2f is not '%' and two upper-case hex digits");
  EXPECT_FALSE(IsValidNodeName("+"));
}

TEST(BridgePayloads, ValuesAndRequests) {
  // A character escaped or not, and a byte outside UTF-8 as Python's
  // json.dumps writes it: the codec's own form comes out.
  const std::string payload = ValuePayload("\"a\\u00e9\\udcff\\ud83d\\ude00\"", 17, 99, "1700-ab");
  const auto value = ParseValuePayload(payload);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->seq, 99u);
  EXPECT_EQ(value->run, "1700-ab");
  EXPECT_EQ(ParseValuePayload("{\"v\":1,\"seq\":2}")->run, "");  // a bridge without runs
  EXPECT_EQ(value->json_value, "\"a\xc3\xa9\\udcff\xf0\x9f\x98\x80\"");
  for (const char* bad : {"12", "{\"v\":1}", "{\"v\":1,\"seq\":-1}", "{\"v\":1,\"seq\":", "[]",
                          "{\"v\":1,\"seq\":2,\"run\":3}"}) {
    EXPECT_FALSE(ParseValuePayload(bad)) << bad;
  }

  std::string reason;
  auto request = ParseSetRequest("{\"v\": 42}", &reason);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->text, "42");
  EXPECT_EQ(request->syntax, KELTO_LIVE_JSON);
  request = ParseSetRequest("\"text\"", &reason);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->syntax, KELTO_LIVE_JSON);
  request = ParseSetRequest("left\\tfront", &reason);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->syntax, KELTO_LIVE_TEXT);
  EXPECT_EQ(request->text, "left\\tfront");
  // -0 keeps its sign on the way in, and a mirror reads it back signed.
  EXPECT_EQ(ParseSetRequest(" -0 ", &reason)->text, "-0");
  EXPECT_EQ(ParseSetRequest("-0.0", &reason)->text, "-0.0");
  EXPECT_EQ(ParseValuePayload("{\"v\":-0.0,\"seq\":1}")->json_value, "-0.0");
  for (const std::string& bad :
       {std::string("{\"v\": 1"), std::string("[1,"), std::string("{\"w\": 1}"),
        std::string(kMaxPayloadBytes + 1, '1'), std::string("52\0junk", 7),
        std::string("\"q\xffq\""), std::string(" \"open")}) {
    reason.clear();
    EXPECT_FALSE(ParseSetRequest(bad, &reason)) << bad.substr(0, 20);
    EXPECT_FALSE(reason.empty());
  }

  const std::string birth = BirthPayload(
      "rigA", "s", "r1", {{"A/B", 'L', 4, true}, {std::string("\xe9"), '$', 63, false}});
  EXPECT_NE(birth.find("{\"name\":\"\\udce9\",\"topic\":\"%E9\""), std::string::npos) << birth;
  // nlohmann refuses the lone surrogate that stands for 0xE9; the bridge's
  // own reader takes it.
  EXPECT_TRUE(nlohmann::json::parse(birth, nullptr, false).is_discarded());
  const auto received = ParseBirth(birth);
  ASSERT_TRUE(received);
  EXPECT_EQ(received->run, "r1");
  EXPECT_EQ(received->types.at("A%2FB"), 'L');
  EXPECT_EQ(received->types.at("%E9"), '$');
  EXPECT_EQ(ParseBirth("{\"variables\":[{\"topic\":\"X\",\"type\":\"L\",\"more\":{\"type\":\"D\"}},"
                       "{\"topic\":\"Y\"},7]}")
                ->types,
            (std::map<std::string, char>{{"X", 'L'}}));
  for (const char* bad : {"[]", "\"x\"", "{}", "{\"variables\":{}}", "{\"run\":1,\"variables\":[]}",
                          "{\"variables\":[]", "{\"variables\":[]}x"}) {
    EXPECT_FALSE(ParseBirth(bad)) << bad;
  }
}

TEST(BridgeOptions, CommandLine) {
  int exit_code = -1;
  const char* argv[] = {
      "kelto-bridge", "--broker",   "[::1]:1884",   "--node",     "rigA", "--import",
      "rigB/IORSH_*", "--deadband", "IORSH_T*=0.5", "--max-rate", "20"};
  const auto options = ParseOptions(11, argv, &exit_code);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->host, "::1");
  EXPECT_EQ(options->port, 1884);
  EXPECT_EQ(options->imports.at(0).node, "rigB");
  EXPECT_EQ(options->imports.at(0).pattern, "IORSH_*");
  EXPECT_EQ(options->deadbands.at(0).delta, 0.5);
  EXPECT_EQ(options->max_rate_hz, 20);
  for (const std::vector<const char*>& bad :
       {std::vector<const char*>{"b", "--broker", "h:0", "--node", "n"},
        {"b", "--broker", "h", "--node", "a/b"},
        {"b", "--broker", "h", "--node", "n", "--import", "n/X"},
        {"b", "--broker", "h", "--node", "n", "--import", "X"},
        {"b", "--broker", "h", "--node", "n", "--deadband", "X=-1"}}) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ParseOptions(static_cast<int>(bad.size()), bad.data(), &exit_code));
    testing::internal::GetCapturedStderr();
    EXPECT_NE(exit_code, 0);
  }
}

TEST(BridgeSchedule, MergesBurstsAndKeepsTheLastChange) {
  using Clock = PublishSchedule::Clock;
  PublishSchedule schedule(3, 10);  // at most every 100 ms
  const Clock::time_point start = Clock::now();
  schedule.MarkChanged(1);
  schedule.MarkChanged(1);
  EXPECT_EQ(schedule.TakeDue(start), std::vector<uint32_t>{1});
  // Changes within the interval merge into one publication at its end.
  schedule.MarkChanged(1);
  schedule.MarkChanged(2);
  schedule.MarkChanged(1);
  EXPECT_EQ(schedule.TakeDue(start + std::chrono::milliseconds(1)), std::vector<uint32_t>{2});
  EXPECT_EQ(schedule.NextDue(), start + std::chrono::milliseconds(100));
  EXPECT_TRUE(schedule.TakeDue(start + std::chrono::milliseconds(99)).empty());
  EXPECT_EQ(schedule.TakeDue(start + std::chrono::milliseconds(100)), std::vector<uint32_t>{1});
  EXPECT_EQ(schedule.NextDue(), Clock::time_point::max());

  PublishSchedule unlimited(2, 0);
  unlimited.MarkChanged(0);
  EXPECT_EQ(unlimited.TakeDue(start).size(), 1u);
  unlimited.MarkChanged(0);
  EXPECT_EQ(unlimited.TakeDue(start).size(), 1u);
}

}  // namespace
}  // namespace kelto::bridge
