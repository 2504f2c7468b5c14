#include "keltoctl/value_parse.h"

namespace keltoctl {

bool UnescapeText(std::string_view text, std::string* bytes, std::string* reason) {
  return kelto::live::UnescapeText(text, bytes, reason);
}

bool ParseValue(char type, std::string_view text, char (&value)[kelto::kValueSize],
                std::string* reason) {
  return kelto::live::ParseValue(type, text, kelto::live::Syntax::kRaw, value, reason) ==
         kelto::live::ParseOutcome::kOk;
}

}  // namespace keltoctl
