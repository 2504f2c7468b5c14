// Topic names of the bridge, and the escape that keeps any variable or
// segment name inside one topic level.
//
//   kelto/v1/<node>/<segment>/$state           online / offline (retained)
//   kelto/v1/<node>/<segment>/$birth           what the node exports (retained)
//   kelto/v1/<node>/<segment>/<name>           a value (retained)
//   kelto/v1/<node>/<segment>/<name>/set       a request to write
//   kelto/v1/<node>/<segment>/<name>/error     why a request was refused
//
// Names are percent-escaped: '%', '/', '+', '#', '$', and every byte outside
// the printable ASCII range become %XX (two upper-case hex digits), so a
// level never holds a wildcard, a separator or a leading '$' that could be
// taken for $birth, and the escape reads back to the same bytes.
#ifndef KELTO_TOOLS_BRIDGE_TOPICS_H_
#define KELTO_TOOLS_BRIDGE_TOPICS_H_

#include <optional>
#include <string>
#include <string_view>

namespace kelto::bridge {

std::string EscapeLevel(std::string_view bytes);
// nullopt for a level that no EscapeLevel could have written, with the
// reason in `*reason` when one is asked for.
std::optional<std::string> UnescapeLevel(std::string_view level, std::string* reason = nullptr);

// Node names are plain: letters, digits, '-', '_' and '.', at most 64.
bool IsValidNodeName(std::string_view node);

std::string StateTopic(std::string_view node, std::string_view segment);
std::string BirthTopic(std::string_view node, std::string_view segment);
std::string ValueTopic(std::string_view node, std::string_view segment, std::string_view name);
std::string SetTopic(std::string_view node, std::string_view segment, std::string_view name);
std::string ErrorTopic(std::string_view node, std::string_view segment, std::string_view name);

// Subscriptions: every value and birth of `node`, and the write requests
// addressed to one node's segment.
std::string NodeValuesFilter(std::string_view node);
std::string SetRequestsFilter(std::string_view node, std::string_view segment);

enum class TopicKind { kValue, kBirth, kSet, kError, kState };

struct ParsedTopic {
  TopicKind kind;
  std::string node;
  std::string segment;     // unescaped
  std::string name;        // unescaped; empty for kBirth and kState
  std::string name_level;  // the name as it stands in the topic
};

// nullopt for a topic outside the bridge's tree or with a bad escape.
std::optional<ParsedTopic> ParseTopic(std::string_view topic);

// For a write request to `node`'s `segment` whose name level is badly
// escaped: the topic its refusal goes to, and why in `*reason`. nullopt for
// any other topic.
std::optional<std::string> RefusalTopicOfBadName(std::string_view topic, std::string_view node,
                                                 std::string_view segment, std::string* reason);

}  // namespace kelto::bridge

#endif  // KELTO_TOOLS_BRIDGE_TOPICS_H_
