// setenv for the tests built for Windows, whose C runtime spells it
// _putenv_s: the shared test sources set KELTO_DIR and KELTO_SEGMENT with it.
#ifndef KELTO_TESTS_SUPPORT_WINDOWS_SETENV_H_
#define KELTO_TESTS_SUPPORT_WINDOWS_SETENV_H_

#include <cstdlib>

inline int setenv(const char* name, const char* value, int /*overwrite*/) {
  return _putenv_s(name, value);
}

#endif  // KELTO_TESTS_SUPPORT_WINDOWS_SETENV_H_
