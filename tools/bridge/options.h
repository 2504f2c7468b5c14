// The command line of kelto-bridge.
#ifndef KELTO_TOOLS_BRIDGE_OPTIONS_H_
#define KELTO_TOOLS_BRIDGE_OPTIONS_H_

#include <optional>
#include <string>
#include <vector>

namespace kelto::bridge {

struct ImportRule {
  std::string node;
  std::string pattern;
};

struct DeadbandRule {
  std::string pattern;
  double delta = 0;
};

struct BridgeOptions {
  std::string host;
  int port = 1883;
  std::string node;
  std::vector<std::string> exports;
  std::vector<ImportRule> imports;
  std::vector<std::string> allow_set;
  double max_rate_hz = 100;
  std::vector<DeadbandRule> deadbands;
  std::string username;
  std::string password_file;
  std::string ca_file;
  std::string cert_file;
  std::string key_file;
  int keepalive_s = 10;
};

// Parses the command line. On --help, --version or an error, prints what
// CLI11 prints and returns nullopt with *exit_code set.
std::optional<BridgeOptions> ParseOptions(int argc, const char* const* argv, int* exit_code);

// The broker address "HOST", "HOST:PORT" or "[V6ADDRESS]:PORT"; false when
// it is none of these.
bool SplitBrokerAddress(const std::string& address, std::string* host, int* port);

}  // namespace kelto::bridge

#endif  // KELTO_TOOLS_BRIDGE_OPTIONS_H_
