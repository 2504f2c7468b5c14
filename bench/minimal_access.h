// The least that an access can cost: a call into a shared library that does
// only the bounds check (by ident) or the hash-map lookup (by name), and the
// copy. Every figure of the library is set beside the same work done here.
#ifndef KELTO_BENCH_MINIMAL_ACCESS_H_
#define KELTO_BENCH_MINIMAL_ACCESS_H_

#include <stdint.h>

#if defined(_WIN32) && defined(KELTO_BENCH_BUILDING_MINIMAL)
#define KELTO_BENCH_MINIMAL_EXPORT __declspec(dllexport)
#elif defined(_WIN32)
#define KELTO_BENCH_MINIMAL_EXPORT __declspec(dllimport)
#else
#define KELTO_BENCH_MINIMAL_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Points the baseline at a view of `count` items and indexes their names.
KELTO_BENCH_MINIMAL_EXPORT void MinimalAttach(void* view, uint32_t count);
KELTO_BENCH_MINIMAL_EXPORT void MinimalDetach(void);

KELTO_BENCH_MINIMAL_EXPORT int32_t MinimalReadVar(int32_t ident, char* destination);
KELTO_BENCH_MINIMAL_EXPORT int32_t MinimalWriteVar(int32_t ident, const char* source);
KELTO_BENCH_MINIMAL_EXPORT int32_t MinimalReadVarName(const char* name, char* destination);
KELTO_BENCH_MINIMAL_EXPORT int32_t MinimalWriteVarName(const char* name, const char* source);

#ifdef __cplusplus
}
#endif

#endif  // KELTO_BENCH_MINIMAL_ACCESS_H_
