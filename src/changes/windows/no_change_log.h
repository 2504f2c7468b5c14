// The change marks of the Windows build: none yet. The segment layer maps no
// change log there, so every write is handed a null log, as a Linux table
// without one would be.
#ifndef KELTO_CHANGES_WINDOWS_NO_CHANGE_LOG_H_
#define KELTO_CHANGES_WINDOWS_NO_CHANGE_LOG_H_

#include <cstdint>

namespace kelto {

inline int32_t MarkChange(void* /*change_log*/, uint32_t /*ident*/) { return 0; }

}  // namespace kelto

#endif  // KELTO_CHANGES_WINDOWS_NO_CHANGE_LOG_H_
