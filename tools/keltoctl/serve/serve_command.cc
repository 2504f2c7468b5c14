#include "keltoctl/serve/serve_command.h"

namespace keltoctl::serve {

void AddServeOptions(CLI::App& command, ServeOptions* options) {
  command.description(
      "Serves the live table to a browser, and as JSON over HTTP, until interrupted.\n"
      "The table is watched as by every keltoctl command (segment from KELTO_SEGMENT);\n"
      "the server never keeps it alive and follows the next one by itself.");
  command.add_option("--listen", options->listen, "ADDRESS:PORT to listen on")
      ->capture_default_str();
  command.add_flag("--allow-set", options->allow_set,
                   "let the page and PUT /api/vars/NAME set values");
  command.add_flag(
      "--allow-remote", options->allow_remote,
      "allow an address other machines can reach; every API request then needs the token");
  command.add_option("--token-file", options->token_file,
                     "read the token from the first line of this file instead of generating one");
  command.add_option("--public-host", options->public_hosts,
                     "also accept this Host header (HOST or HOST:PORT), the name a proxy in front "
                     "forwards requests under; may be repeated");
}

}  // namespace keltoctl::serve
