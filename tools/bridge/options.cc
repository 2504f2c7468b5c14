#include "bridge/options.h"

#include <CLI/CLI.hpp>
#include <charconv>

#include "bridge/topics.h"

namespace kelto::bridge {
namespace {

constexpr const char* kDescription =
    "kelto-bridge: mirrors variables of the live kelto table (segment from KELTO_SEGMENT) to\n"
    "and from other machines through an MQTT broker (MQTT v5).\n"
    "Values: kelto/v1/<node>/<segment>/<name> (retained JSON {\"v\",\"ts\",\"seq\"}); write\n"
    "requests: .../<name>/set, refusals on .../<name>/error; names are percent-escaped.";

bool ParsePort(std::string_view text, int* port) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535) {
    return false;
  }
  *port = value;
  return true;
}

std::optional<ImportRule> ParseImportRule(const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return std::nullopt;
  ImportRule rule{text.substr(0, slash), text.substr(slash + 1)};
  if (!IsValidNodeName(rule.node) || rule.pattern.empty()) return std::nullopt;
  return rule;
}

std::optional<DeadbandRule> ParseDeadbandRule(const std::string& text) {
  const size_t equals = text.rfind('=');
  if (equals == std::string::npos || equals == 0) return std::nullopt;
  DeadbandRule rule{text.substr(0, equals), 0};
  try {
    size_t used = 0;
    rule.delta = std::stod(text.substr(equals + 1), &used);
    if (used != text.size() - equals - 1 || !(rule.delta >= 0)) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return rule;
}

}  // namespace

bool SplitBrokerAddress(const std::string& address, std::string* host, int* port) {
  *port = 1883;
  if (address.empty()) return false;
  if (address.front() == '[') {
    const size_t close = address.find(']');
    if (close == std::string::npos || close == 1) return false;
    *host = address.substr(1, close - 1);
    if (close + 1 == address.size()) return true;
    return address[close + 1] == ':' &&
           ParsePort(std::string_view(address).substr(close + 2), port);
  }
  const size_t colon = address.find(':');
  if (colon == std::string::npos) {
    *host = address;
    return true;
  }
  if (colon == 0 || address.find(':', colon + 1) != std::string::npos) return false;
  *host = address.substr(0, colon);
  return ParsePort(std::string_view(address).substr(colon + 1), port);
}

std::optional<BridgeOptions> ParseOptions(int argc, const char* const* argv, int* exit_code) {
  BridgeOptions options;
  std::string broker;
  std::vector<std::string> imports;
  std::vector<std::string> deadbands;

  CLI::App app{kDescription, "kelto-bridge"};
  app.set_version_flag("--version", std::string("kelto-bridge ") + KELTO_BRIDGE_VERSION);
  app.add_option("--broker", broker, "Broker address HOST[:PORT] (port 1883 by default)")
      ->required();
  app.add_option("--node", options.node, "This machine's node name (letters, digits, - _ .)")
      ->required();
  app.add_option("--export", options.exports,
                 "Publish the variables whose names match PATTERN (shell wildcard; repeatable)");
  app.add_option("--import", imports,
                 "Mirror NODE/PATTERN: write the values that node publishes into the local "
                 "variables of the same name (repeatable)");
  app.add_option("--allow-set", options.allow_set,
                 "Accept write requests for exported variables matching PATTERN (repeatable)");
  app.add_option("--max-rate", options.max_rate_hz,
                 "Publish each variable at most HZ times a second; 0: no limit")
      ->capture_default_str();
  app.add_option("--deadband", deadbands,
                 "PATTERN=DELTA: publish a number only when it moved by DELTA or more since "
                 "the last value published (repeatable)");
  CLI::Option* username =
      app.add_option("--username", options.username, "User name for the broker");
  app.add_option("--password-file", options.password_file,
                 "File whose first line is the broker password (with --username)")
      ->check(CLI::ExistingFile)
      ->needs(username);
  app.add_option("--cafile", options.ca_file, "CA certificates (PEM) to verify the broker: TLS")
      ->check(CLI::ExistingFile);
  app.add_option("--cert", options.cert_file, "Client certificate (PEM) for TLS")
      ->check(CLI::ExistingFile);
  app.add_option("--key", options.key_file, "Client key (PEM) for TLS")->check(CLI::ExistingFile);
  app.add_option("--keepalive", options.keepalive_s, "Seconds between keep-alive pings")
      ->check(CLI::Range(5, 3600))
      ->capture_default_str();

  try {
    app.parse(argc, argv);
    if (!SplitBrokerAddress(broker, &options.host, &options.port)) {
      throw CLI::ValidationError("--broker", "not HOST[:PORT]: " + broker);
    }
    if (!IsValidNodeName(options.node)) {
      throw CLI::ValidationError("--node",
                                 "only letters, digits, '-', '_' and '.': " + options.node);
    }
    for (const std::string& text : imports) {
      std::optional<ImportRule> rule = ParseImportRule(text);
      if (!rule) throw CLI::ValidationError("--import", "not NODE/PATTERN: " + text);
      if (rule->node == options.node) {
        throw CLI::ValidationError("--import", "a node does not import from itself: " + text);
      }
      options.imports.push_back(std::move(*rule));
    }
    for (const std::string& text : deadbands) {
      std::optional<DeadbandRule> rule = ParseDeadbandRule(text);
      if (!rule) throw CLI::ValidationError("--deadband", "not NAME=DELTA (DELTA >= 0): " + text);
      options.deadbands.push_back(std::move(*rule));
    }
    if (!(options.max_rate_hz >= 0)) throw CLI::ValidationError("--max-rate", "must be 0 or more");
    if (options.cert_file.empty() != options.key_file.empty()) {
      throw CLI::ValidationError("--cert", "--cert and --key go together");
    }
    if (!options.cert_file.empty() && options.ca_file.empty()) {
      throw CLI::ValidationError("--cert", "a client certificate needs --cafile");
    }
  } catch (const CLI::ParseError& error) {
    // --help and --version give 0; every mistake gives 2, which a service
    // manager can be told not to restart on.
    *exit_code = app.exit(error) == 0 ? 0 : 2;
    return std::nullopt;
  }
  return options;
}

}  // namespace kelto::bridge
