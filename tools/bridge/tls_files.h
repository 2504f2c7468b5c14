// The TLS files of the command line, checked before anything connects: a
// file that cannot be read, is not PEM, or a key that does not belong to
// its certificate is the operator's to mend, and no retry would.
#ifndef KELTO_TOOLS_BRIDGE_TLS_FILES_H_
#define KELTO_TOOLS_BRIDGE_TLS_FILES_H_

#include <optional>
#include <string>

namespace kelto::bridge {

// Why the files cannot work, or nullopt. `cert_file` and `key_file` may be
// empty (no client certificate).
std::optional<std::string> CheckTlsFiles(const std::string& ca_file, const std::string& cert_file,
                                         const std::string& key_file);

}  // namespace kelto::bridge

#endif  // KELTO_TOOLS_BRIDGE_TLS_FILES_H_
