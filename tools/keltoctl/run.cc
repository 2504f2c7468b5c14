#include "keltoctl/run.h"

#include "kelto.h"
#include "keltoctl/arguments.h"
#include "keltoctl/commands.h"
#include "keltoctl/help_text.h"
#include "keltoctl/live_table.h"

namespace keltoctl {

ExitStatus Run(int argc, const char* const* argv) {
  Arguments arguments;
  const ExitStatus parsed = ParseArguments(argc, argv, &arguments);
  if (parsed != kOk) return parsed;
  if (arguments.help) return WriteOutput(HelpText(arguments.command));
  if (arguments.command == Command::kVersion) return WriteOutput(KELTO_VERSION "\n");

  LiveTable table;
  const ExitStatus attached = table.Attach();
  if (attached != kOk) return attached;
  switch (arguments.command) {
    case Command::kList: return RunList(arguments, table);
    case Command::kGet: return RunGet(arguments, table);
    case Command::kSet: return RunSet(arguments, table);
    case Command::kWatch: return RunWatch(arguments, table);
    case Command::kWait: return RunWait(arguments, table);
    default: return ReportError(kUsage, "no command given (see 'keltoctl --help')");
  }
}

}  // namespace keltoctl
