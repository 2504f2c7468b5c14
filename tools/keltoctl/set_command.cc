#include <string>

#include "keltoctl/commands.h"
#include "keltoctl/value_format.h"
#include "keltoctl/value_parse.h"
#include "table/value_copy.h"

namespace keltoctl {

ExitStatus RunSet(const Arguments& arguments, LiveTable& table) {
  const std::string& name = arguments.operands[0];
  const std::string& input = arguments.operands[1];
  const int64_t ident = table.FindByName(name);
  if (ident < 0) {
    return ReportError(kUnknownVariable, "unknown variable '%s'", EscapeText(name).c_str());
  }
  kelto::VarItem& item = table.Item(static_cast<uint32_t>(ident));
  const char type = item.type;
  const std::string type_text = EscapeText(std::string_view(&type, 1));
  if (KindOfType(type) == ValueKind::kNone) {
    return ReportError(kBadValue, "'%s' has type '%s', which holds no value to set",
                       EscapeText(name).c_str(), type_text.c_str());
  }
  std::string reason;
  std::string text = input;
  if (arguments.escaped && KindOfType(type) == ValueKind::kText &&
      !UnescapeText(input, &text, &reason)) {
    return ReportError(kBadValue, "bad value '%s' for '%s': %s", EscapeText(input).c_str(),
                       EscapeText(name).c_str(), reason.c_str());
  }
  char value[kelto::kValueSize];
  if (!ParseValue(type, text, value, &reason)) {
    return ReportError(kBadValue, "bad value '%s' for '%s' (type %s): %s",
                       EscapeText(input).c_str(), EscapeText(name).c_str(), type_text.c_str(),
                       reason.c_str());
  }
  // The same write as the library's write by name, so a string shorter than
  // the old one leaves the bytes after its terminator as they were.
  kelto::WriteValueByName(item, value);
  return kOk;
}

}  // namespace keltoctl
