#include <string>

#include "keltoctl/commands.h"
#include "keltoctl/value_format.h"

namespace keltoctl {

ExitStatus RunSet(const Arguments& arguments, LiveTable& table) {
  const std::string& name = arguments.operands[0];
  const std::string& input = arguments.operands[1];
  const int64_t ident = table.FindByName(name);
  kelto_live_info info;
  if (ident < 0 ||
      kelto_live_info_of(table.Handle(), static_cast<uint32_t>(ident), &info) != KELTO_LIVE_OK) {
    return ReportError(kUnknownVariable, "unknown variable '%s'", EscapeText(name).c_str());
  }
  const std::string type_text = EscapeText(std::string_view(&info.type, 1));
  if (KindOfType(info.type) == ValueKind::kNone) {
    return ReportError(kBadValue, "'%s' has type '%s', which holds no value to set",
                       EscapeText(name).c_str(), type_text.c_str());
  }
  // The live API writes as the library's write by name does, so a string
  // shorter than the old one leaves the bytes after its terminator as they
  // were, and marks the change for every waiter.
  char reason[256] = "";
  const kelto_live_result result =
      kelto_live_set(table.Handle(), info.ident, input.data(), input.size(),
                     arguments.escaped ? KELTO_LIVE_TEXT : KELTO_LIVE_RAW, reason, sizeof reason);
  switch (result) {
    case KELTO_LIVE_OK: return kOk;
    case KELTO_LIVE_BAD_VALUE:
    case KELTO_LIVE_WRONG_TYPE:
      return ReportError(kBadValue, "bad value '%s' for '%s' (type %s): %s",
                         EscapeText(input).c_str(), EscapeText(name).c_str(), type_text.c_str(),
                         reason);
    default: return ReportLiveFailure(result, "setting the value");
  }
}

}  // namespace keltoctl
