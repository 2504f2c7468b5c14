// JSON texts of names and values, made by the live API's one codec.
#ifndef KELTOCTL_SERVE_JSON_TEXT_H_
#define KELTOCTL_SERVE_JSON_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "kelto_live.h"

namespace keltoctl::serve {

// A quoted JSON string of any bytes (the live codec's text rule).
std::string JsonEscape(const char* bytes, size_t length);

// The value of `ident` as a JSON value; "null" when it cannot be read.
std::string FormatJsonValue(kelto_live* table, uint32_t ident);

// {"ident": .., "name": .., "type": .., "size": .., "value": ..}, the fields
// of `keltoctl list --json`; empty when the variable cannot be read, with
// the live API's result in *result.
std::string VariableJson(kelto_live* table, uint32_t ident, kelto_live_result* result);

// {"error": "..."} for a one-line reason.
std::string ErrorJson(const std::string& reason);

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_JSON_TEXT_H_
