// kelto-bridge: mirrors variables of the live table between machines over
// an MQTT broker. See the README's section on it.
#include <signal.h>

#include <atomic>
#include <cstdio>

#include "bridge/bridge.h"
#include "bridge/options.h"

namespace {

std::atomic<bool> stop_requested{false};

void RequestStop(int) { stop_requested.store(true); }

}  // namespace

int main(int argc, char** argv) {
  int exit_code = 0;
  std::optional<kelto::bridge::BridgeOptions> options =
      kelto::bridge::ParseOptions(argc, argv, &exit_code);
  if (!options) return exit_code;

  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  kelto::bridge::Bridge bridge(std::move(*options));
  return bridge.Run(stop_requested);
}
