#include "bridge/topics.h"

#include <vector>

namespace kelto::bridge {
namespace {

constexpr std::string_view kRoot = "kelto/v1/";

bool NeedsEscape(unsigned char byte) {
  return byte <= 0x20 || byte >= 0x7f || byte == '%' || byte == '/' || byte == '+' || byte == '#' ||
         byte == '$';
}

int HexDigit(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;  // lower case is never written, so it is never read either
}

std::vector<std::string_view> SplitLevels(std::string_view topic) {
  std::vector<std::string_view> levels;
  size_t start = 0;
  for (;;) {
    const size_t slash = topic.find('/', start);
    if (slash == std::string_view::npos) {
      levels.push_back(topic.substr(start));
      return levels;
    }
    levels.push_back(topic.substr(start, slash - start));
    start = slash + 1;
  }
}

std::string Join(std::string_view node, std::string_view segment) {
  std::string topic(kRoot);
  topic.append(node).append("/").append(EscapeLevel(segment));
  return topic;
}

}  // namespace

std::string EscapeLevel(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string level;
  level.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (NeedsEscape(byte)) {
      level.push_back('%');
      level.push_back(kHex[byte >> 4]);
      level.push_back(kHex[byte & 0x0f]);
    } else {
      level.push_back(c);
    }
  }
  return level;
}

std::optional<std::string> UnescapeLevel(std::string_view level, std::string* reason) {
  std::string ignored;
  std::string& why = reason != nullptr ? *reason : ignored;
  std::string bytes;
  bytes.reserve(level.size());
  for (size_t i = 0; i < level.size(); ++i) {
    const auto byte = static_cast<unsigned char>(level[i]);
    if (byte != '%') {
      if (NeedsEscape(byte)) {
        why = "byte " + EscapeLevel(level.substr(i, 1)) + " of the name is not escaped";
        return std::nullopt;
      }
      bytes.push_back(level[i]);
      continue;
    }
    if (i + 2 >= level.size()) {
      why = "the name ends in an incomplete escape";
      return std::nullopt;
    }
    const std::string escape(level.substr(i, 3));
    const int high = HexDigit(level[i + 1]);
    const int low = HexDigit(level[i + 2]);
    if (high < 0 || low < 0) {
      why = "escape " + escape + " is not '%' and two upper-case hex digits";
      return std::nullopt;
    }
    const auto decoded = static_cast<unsigned char>(high * 16 + low);
    if (decoded == 0) {
      why = "escape %00 stands for a byte no name holds";
      return std::nullopt;
    }
    if (!NeedsEscape(decoded)) {  // one spelling per name
      why = "escape " + escape + " stands for '" + std::string(1, static_cast<char>(decoded)) +
            "', which names write plain";
      return std::nullopt;
    }
    bytes.push_back(static_cast<char>(decoded));
    i += 2;
  }
  return bytes;
}

bool IsValidNodeName(std::string_view node) {
  if (node.empty() || node.size() > 64) return false;
  for (const char c : node) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    if (!plain) return false;
  }
  return true;
}

std::string StateTopic(std::string_view node, std::string_view segment) {
  return Join(node, segment) + "/$state";
}

std::string BirthTopic(std::string_view node, std::string_view segment) {
  return Join(node, segment) + "/$birth";
}

std::string ValueTopic(std::string_view node, std::string_view segment, std::string_view name) {
  return Join(node, segment) + "/" + EscapeLevel(name);
}

std::string SetTopic(std::string_view node, std::string_view segment, std::string_view name) {
  return ValueTopic(node, segment, name) + "/set";
}

std::string ErrorTopic(std::string_view node, std::string_view segment, std::string_view name) {
  return ValueTopic(node, segment, name) + "/error";
}

std::string NodeValuesFilter(std::string_view node) {
  std::string topic(kRoot);
  return topic.append(node).append("/+/+");
}

std::string SetRequestsFilter(std::string_view node, std::string_view segment) {
  return Join(node, segment) + "/+/set";
}

std::optional<ParsedTopic> ParseTopic(std::string_view topic) {
  if (topic.substr(0, kRoot.size()) != kRoot) return std::nullopt;
  const std::vector<std::string_view> levels = SplitLevels(topic.substr(kRoot.size()));
  ParsedTopic parsed{};
  if (levels.empty() || !IsValidNodeName(levels[0])) return std::nullopt;
  parsed.node = std::string(levels[0]);
  if (levels.size() < 3 || levels.size() > 4) return std::nullopt;
  std::optional<std::string> segment = UnescapeLevel(levels[1]);
  if (!segment || segment->empty()) return std::nullopt;
  parsed.segment = std::move(*segment);
  if (levels.size() == 3 && (levels[2] == "$birth" || levels[2] == "$state")) {
    parsed.kind = levels[2] == "$birth" ? TopicKind::kBirth : TopicKind::kState;
    return parsed;
  }
  std::optional<std::string> name = UnescapeLevel(levels[2]);
  if (!name || name->empty()) return std::nullopt;
  parsed.name = std::move(*name);
  parsed.name_level = std::string(levels[2]);
  if (levels.size() == 3) {
    parsed.kind = TopicKind::kValue;
  } else if (levels[3] == "set") {
    parsed.kind = TopicKind::kSet;
  } else if (levels[3] == "error") {
    parsed.kind = TopicKind::kError;
  } else {
    return std::nullopt;
  }
  return parsed;
}

std::optional<std::string> RefusalTopicOfBadName(std::string_view topic, std::string_view node,
                                                 std::string_view segment, std::string* reason) {
  static constexpr std::string_view kSet = "/set";
  const std::string prefix = Join(node, segment) + "/";
  if (!topic.starts_with(prefix) || !topic.ends_with(kSet) ||
      topic.size() < prefix.size() + kSet.size()) {
    return std::nullopt;
  }
  const std::string_view level =
      topic.substr(prefix.size(), topic.size() - prefix.size() - kSet.size());
  if (level.find('/') != std::string_view::npos) return std::nullopt;
  if (level.empty()) {
    *reason = "the name is empty";
  } else if (UnescapeLevel(level, reason)) {
    return std::nullopt;  // a good name: not a refusal for its spelling
  }
  return prefix + std::string(level) + "/error";
}

}  // namespace kelto::bridge
