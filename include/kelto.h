/*
 * kelto: a table of named, typed variables shared by the processes of one
 * machine through one named shared-memory segment.
 *
 * Contract, for every function below:
 *  - Results are plain values; no function throws, allocates for the caller
 *    or keeps a pointer it was given. Callers own every buffer.
 *  - Buffers are trusted to be large enough: 64 bytes for a string value,
 *    the variable's size for other values, 256 bytes for a full name.
 *  - KeltoOpen and KeltoClose (and the facades' Open and Close) must not run
 *    at the same time as any other call of this library in the same process.
 *    All other calls may run on several threads at once.
 *  - Values of 1, 2, 4 and 8 bytes are stored and loaded as single aligned
 *    atomic accesses, so no reader sees half of a write. Strings are plain
 *    copies: a reader may see a string that another process is rewriting.
 *  - A forked child starts with the table closed; it calls KeltoOpen itself
 *    if it needs the table.
 *
 * Environment, read at every Open:
 *  - KELTO_DIR: directory of "iorsh.mem", "memsh.mem" and "kelto_log.txt"
 *    (default "/helvor/", on Windows at the root of the current drive).
 *  - KELTO_SEGMENT: name of the shared segment (default "keltovariables");
 *    on Windows UTF-8, in the session's namespace unless it starts with
 *    Global\ or Local\.
 */
#ifndef KELTO_H_
#define KELTO_H_

#include <stddef.h>
#include <stdint.h>

/* On Windows the functions come from kelto.dll: exported while building it,
 * imported by its callers. Elsewhere only their visibility is marked. */
#if defined(_WIN32)
#if defined(KELTO_BUILDING_LIBRARY)
#define KELTO_EXPORT __declspec(dllexport)
#else
#define KELTO_EXPORT __declspec(dllimport)
#endif
#elif defined(KELTO_BUILDING_LIBRARY)
#define KELTO_EXPORT __attribute__((visibility("default")))
#else
#define KELTO_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version text, also the first line of every log. */
#define KELTO_VERSION "2.0.0"

/*
 * One variable in the shared segment. Item i starts at byte i * 328 of the
 * view returned by KeltoGetPointer. Written by the library at Open only,
 * except for `value`, which every process reads and writes.
 */
#define KELTO_NAME_SIZE 256
#define KELTO_VALUE_SIZE 64
#define KELTO_ITEM_SIZE 328

typedef struct KeltoVarItem {
  char name[KELTO_NAME_SIZE];   /* full name, NUL-terminated, at most 255 characters */
  char type;                    /* type letter: $ B H O M W L D, anything else has size 0 */
  char reserved[3];             /* never written by the library */
  int32_t size;                 /* value size in bytes, 0 to 63 */
  char value[KELTO_VALUE_SIZE]; /* 8-byte aligned in the segment */
} KeltoVarItem;

#ifdef __cplusplus
#define KELTO_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KELTO_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
KELTO_STATIC_ASSERT(sizeof(KeltoVarItem) == KELTO_ITEM_SIZE, "item is 328 bytes");
KELTO_STATIC_ASSERT(offsetof(KeltoVarItem, name) == 0, "name at 0");
KELTO_STATIC_ASSERT(offsetof(KeltoVarItem, type) == 256, "type at 256");
KELTO_STATIC_ASSERT(offsetof(KeltoVarItem, reserved) == 257, "reserved at 257");
KELTO_STATIC_ASSERT(offsetof(KeltoVarItem, size) == 260, "size at 260");
KELTO_STATIC_ASSERT(offsetof(KeltoVarItem, value) == 264, "value at 264");

/* ---- Open and Close ------------------------------------------------------
 * KeltoOpen reads the definition files, attaches to (or creates) the shared
 * segment and logs what it found. It always returns 0: what it achieved is
 * in the log and in whether later calls succeed. A repeated Open re-reads
 * everything and keeps the values. KeltoClose returns 0; a second Close does
 * nothing. */
KELTO_EXPORT int32_t KeltoOpen(void);
KELTO_EXPORT int32_t KeltoClose(void);

/* ---- Access by ident (0 to N-1) ------------------------------------------
 * Failures: -1 for read and write, '#' for the type, 0 for the size.
 * KeltoReadNameVar returns 0 even on failure and then leaves the buffer
 * untouched. */
KELTO_EXPORT int32_t KeltoWriteVar(int32_t ident, const char* source);
KELTO_EXPORT int32_t KeltoReadVar(int32_t ident, char* destination);
KELTO_EXPORT char KeltoGetTypeVar(int32_t ident);
KELTO_EXPORT int32_t KeltoGetSizeVar(int32_t ident);
KELTO_EXPORT int32_t KeltoReadNameVar(int32_t ident, char* destination);

/* ---- Access by full name (with its IORSH_ or MEMSH_ prefix) --------------
 * Failures: -1 for ident and size, '#' for the type, -5 for a write and -3
 * for a read. */
KELTO_EXPORT int32_t KeltoGetIdentVarName(const char* name);
KELTO_EXPORT char KeltoGetTypeVarName(const char* name);
KELTO_EXPORT int32_t KeltoGetSizeVarName(const char* name);
KELTO_EXPORT int32_t KeltoWriteVarName(const char* name, const char* source);
KELTO_EXPORT int32_t KeltoReadVarName(const char* name, char* destination);

/* ---- Typed accessors by full name ----------------------------------------
 * Numeric reads return 0 for a name that does not resolve. A variable
 * smaller than the accessor's type takes or gives the low-order bytes. A
 * variable larger than it is read as its low-order bytes and written with the
 * value zero-extended to the variable's size (KeltoWriteByte into a D variable
 * sets all 8 bytes). No copy ever reaches beyond the accessor's own value.
 * KeltoReadString needs 64 bytes. */
KELTO_EXPORT char KeltoReadByte(const char* name);
KELTO_EXPORT int32_t KeltoReadInt32(const char* name);
KELTO_EXPORT double KeltoReadDouble(const char* name);
KELTO_EXPORT int32_t KeltoReadString(const char* name, char* destination);
KELTO_EXPORT int32_t KeltoWriteByte(const char* name, char value);
KELTO_EXPORT int32_t KeltoWriteInt32(const char* name, int32_t value);
KELTO_EXPORT int32_t KeltoWriteDouble(const char* name, double value);
KELTO_EXPORT int32_t KeltoWriteString(const char* name, const char* text);

/* ---- Raw view -------------------------------------------------------------
 * The item array of this process's view, or NULL (and 0 items) while no
 * table is open. The pointer is valid until the next Open or Close. */
KELTO_EXPORT void* KeltoGetPointer(void);
KELTO_EXPORT uint32_t KeltoGetNumberOfItems(void);
KELTO_EXPORT uint32_t KeltoGetItemSize(void);

/* ---- Facades: the same operations with names written without prefix ----
 * IORSh addresses "IORSH_" names, MemSh "MEMSH_" names. Idents are the
 * global ones. Open, Close and ReadApplicationCount always return 1; Open
 * and Close act on the one table of the process. A name of more than 249
 * characters is not found. ReadNameVar's buffer needs 250 bytes. */
KELTO_EXPORT int32_t IORShOpen(int32_t ignored);
KELTO_EXPORT int32_t IORShClose(void);
KELTO_EXPORT int32_t IORShReadApplicationCount(void);
KELTO_EXPORT int32_t IORShWriteVar(int32_t ident, const char* source);
KELTO_EXPORT int32_t IORShReadVar(int32_t ident, char* destination);
KELTO_EXPORT char IORShGetTypeVar(int32_t ident);
KELTO_EXPORT int32_t IORShGetSizeVar(int32_t ident);
KELTO_EXPORT int32_t IORShGetIdentVarName(const char* name);
KELTO_EXPORT char IORShGetTypeVarName(const char* name);
KELTO_EXPORT int32_t IORShGetSizeVarName(const char* name);
KELTO_EXPORT int32_t IORShWriteVarName(const char* name, const char* source);
KELTO_EXPORT int32_t IORShReadVarName(const char* name, char* destination);
KELTO_EXPORT int32_t IORShReadNameVar(int32_t ident, char* destination);

KELTO_EXPORT int32_t MemShOpen(int32_t ignored);
KELTO_EXPORT int32_t MemShClose(void);
KELTO_EXPORT int32_t MemShReadApplicationCount(void);
KELTO_EXPORT int32_t MemShWriteVar(int32_t ident, const char* source);
KELTO_EXPORT int32_t MemShReadVar(int32_t ident, char* destination);
KELTO_EXPORT char MemShGetTypeVar(int32_t ident);
KELTO_EXPORT int32_t MemShGetSizeVar(int32_t ident);
KELTO_EXPORT int32_t MemShGetIdentVarName(const char* name);
KELTO_EXPORT char MemShGetTypeVarName(const char* name);
KELTO_EXPORT int32_t MemShGetSizeVarName(const char* name);
KELTO_EXPORT int32_t MemShWriteVarName(const char* name, const char* source);
KELTO_EXPORT int32_t MemShReadVarName(const char* name, char* destination);
KELTO_EXPORT int32_t MemShReadNameVar(int32_t ident, char* destination);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELTO_H_ */
