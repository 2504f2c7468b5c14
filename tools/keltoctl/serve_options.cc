// The command line of serve: the web view declares its own options.
#include <memory>

#include "keltoctl/command.h"
#include "keltoctl/serve/serve_command.h"

namespace keltoctl {

Command AddServeCommand(CLI::App& tool) {
  auto options = std::make_shared<serve::ServeOptions>();
  CLI::App* command = tool.add_subcommand("serve");
  serve::AddServeOptions(*command, options.get());
  // The server watches the table itself and waits for the next one, so it
  // does not attach here.
  return {command, "serve", "the live table in a browser and as JSON over HTTP", "",
          [options] { return static_cast<ExitStatus>(serve::RunServe(*options)); }};
}

}  // namespace keltoctl
