// The commands of keltoctl, each run on an attached table.
#ifndef KELTOCTL_COMMANDS_H_
#define KELTOCTL_COMMANDS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "keltoctl/arguments.h"
#include "keltoctl/exit_status.h"
#include "keltoctl/live_table.h"

namespace keltoctl {

ExitStatus RunList(const Arguments& arguments, const LiveTable& table);
ExitStatus RunGet(const Arguments& arguments, const LiveTable& table);
ExitStatus RunSet(const Arguments& arguments, LiveTable& table);
ExitStatus RunWatch(const Arguments& arguments, const LiveTable& table);
ExitStatus RunWait(const Arguments& arguments, const LiveTable& table);

// The idents of `names`, in their order. Every unknown name is reported
// (one line each) before false is returned, so that a script sees them all.
bool FindAll(const std::vector<std::string>& names, const LiveTable& table,
             std::vector<uint32_t>* idents);

// Writes and flushes `text` on standard output; kSystemError (reported)
// when the output cannot take it.
ExitStatus WriteOutput(const std::string& text);

}  // namespace keltoctl

#endif  // KELTOCTL_COMMANDS_H_
