/*
 * kelto live: look at the live kelto table from outside, and wait for its
 * changes instead of polling. A companion of libkelto (include/kelto.h) in a
 * library of its own, libkelto_live.so, for tools, bindings and servers.
 *
 * An attached handle is an *observer*: it needs no definition files, never
 * reads or writes any log, never creates a segment or any other file, and
 * never keeps a table alive. Only programs (KeltoOpen) do that; when the last
 * of them goes (Close, exit or a kill), every observer lets go of the table
 * within about a second and reports KELTO_LIVE_NO_TABLE. It can then wait
 * for the next table with kelto_live_reattach.
 *
 * Contract, for every function below:
 *  - No function throws, prints, or keeps a pointer it was given. Results
 *    are kelto_live_result codes unless said otherwise; kelto_live_result_text
 *    describes each one. Output arguments are written only on KELTO_LIVE_OK,
 *    unless the function says otherwise.
 *  - The caller owns every buffer; each takes a size and is never written
 *    beyond it. Text results are always NUL-terminated when the buffer has
 *    room for at least one byte. A buffer of KELTO_LIVE_TEXT_SIZE bytes holds
 *    any name or value in any format; 64 bytes (KELTO_LIVE_VALUE_SIZE) hold any
 *    raw value.
 *  - A handle may be used by any number of threads at once, waits included.
 *    kelto_live_detach and kelto_live_reattach must not run at the same time
 *    as any other call on the same handle. Functions without a handle are
 *    pure and may run anywhere, any time.
 *  - Idents are the table's own (0 to count-1), the same as libkelto's.
 *    Names, types and sizes are taken from the segment as found; a size is
 *    never trusted beyond the 64-byte value field.
 *  - Values of 1, 2, 4 and 8 bytes are read and written as single atomic
 *    accesses; text values are plain copies (see kelto.h).
 *  - Every write through libkelto's functions (facades included) and through
 *    this library marks its variable as changed. Writes made directly into
 *    the raw view (KeltoGetPointer) mark nothing: waiters do not see them.
 *
 * Environment: KELTO_SEGMENT names the segment when a function is given a
 * NULL name (default "keltovariables"). KELTO_DIR is not used.
 */
#ifndef KELTO_LIVE_H_
#define KELTO_LIVE_H_

#include <stddef.h>
#include <stdint.h>

#if defined(KELTO_BUILDING_LIVE_LIBRARY)
#define KELTO_LIVE_EXPORT __attribute__((visibility("default")))
#else
#define KELTO_LIVE_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this library; the same as kelto.h's KELTO_VERSION. */
#define KELTO_LIVE_VERSION "2.0.0"

/* Size of a buffer that holds any result of this library as text: a full
 * name or a value, escaped or as JSON, with its terminator. */
#define KELTO_LIVE_TEXT_SIZE 1536
/* Size of a full name's buffer (255 characters and the terminator). */
#define KELTO_LIVE_NAME_SIZE 256
/* Size of a raw value's buffer (the whole value field). */
#define KELTO_LIVE_VALUE_SIZE 64
/* A timeout that never ends. */
#define KELTO_LIVE_FOREVER (-1)

typedef enum kelto_live_result {
  KELTO_LIVE_OK = 0,
  /* No program holds the table (none was found, or the last one went
   * away). The handle has let go of the table; kelto_live_reattach waits
   * for the next one. */
  KELTO_LIVE_NO_TABLE = 1,
  /* No variable has that name, or no ident that number. */
  KELTO_LIVE_UNKNOWN_VARIABLE = 2,
  /* A value that does not parse, or does not fit its variable: it was
   * refused and nothing was written (values are never cut or wrapped). */
  KELTO_LIVE_BAD_VALUE = 3,
  /* The variable's type holds no value (a type letter of size 0), or the
   * typed call does not fit the variable's type. */
  KELTO_LIVE_WRONG_TYPE = 4,
  /* The timeout passed without a change (or without a table). */
  KELTO_LIVE_TIMEOUT = 5,
  /* The table has no change feed: look-ups and writes work, waiting does
   * not. */
  KELTO_LIVE_NO_FEED = 6,
  /* The result does not fit the buffer; see the function for what was
   * written anyway. */
  KELTO_LIVE_TOO_SMALL = 7,
  /* A NULL where a value is needed, an unknown format, a bad segment name. */
  KELTO_LIVE_INVALID_ARGUMENT = 8,
  /* The system refused (memory, descriptors, permissions, a busy gate). */
  KELTO_LIVE_SYSTEM_ERROR = 9
} kelto_live_result;

/* A short English description of `result` ("no live table", ...): a static
 * string, never NULL, also for values not listed above. */
KELTO_LIVE_EXPORT const char* kelto_live_result_text(kelto_live_result result);

/* ---- Attaching ----------------------------------------------------------- */

/* One observer's hold on a table; opaque. */
typedef struct kelto_live kelto_live;

/* Attaches to the live table of segment `segment_name` (without a leading
 * slash; NULL: KELTO_SEGMENT or the default) and stores a new handle in
 * *table. Results: OK; NO_TABLE when no program holds that table (a handle
 * is still stored: it can wait for one with kelto_live_reattach);
 * INVALID_ARGUMENT for a NULL `table` or a name that cannot be a segment's;
 * SYSTEM_ERROR (no handle stored). The caller frees the handle with
 * kelto_live_detach. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_attach(const char* segment_name, kelto_live** table);

/* Lets go of the table (if still held) and frees the handle. NULL is
 * ignored. */
KELTO_LIVE_EXPORT void kelto_live_detach(kelto_live* table);

/* Lets go of the current table, if any, then waits until a program holds a
 * table of the same segment name and attaches to it, for at most
 * `timeout_ms` milliseconds (0: try once; KELTO_LIVE_FOREVER). Results: OK;
 * TIMEOUT (the handle holds no table); SYSTEM_ERROR. After OK everything is
 * read anew: count, names and idents may differ from the last table, and
 * cursors of the last table mean nothing. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_reattach(kelto_live* table, int32_t timeout_ms);

/* Checks that the table is still held by some program. OK, or NO_TABLE
 * (and then the handle lets go of it). Waiting functions make this check by
 * themselves at least every 250 ms. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_check(kelto_live* table);

/* The segment name of the handle; valid as long as the handle. */
KELTO_LIVE_EXPORT const char* kelto_live_segment_name(const kelto_live* table);

/* ---- Looking up ---------------------------------------------------------- */

/* The number of variables shown: items up to the last one that is not
 * entirely zero (a segment may be larger than the definitions need). 0
 * without a table. */
KELTO_LIVE_EXPORT uint32_t kelto_live_count(const kelto_live* table);

/* What a variable is, as found in the segment. */
typedef struct kelto_live_info {
  uint32_t ident;
  char type;                       /* the type letter byte, as stored */
  char reserved[3];                /* zero */
  int32_t size;                    /* value size, clamped to 0..64 */
  char name[KELTO_LIVE_NAME_SIZE]; /* NUL-terminated */
} kelto_live_info;

/* Fills *info for `ident`. OK; UNKNOWN_VARIABLE for an ident not below
 * kelto_live_count; NO_TABLE; INVALID_ARGUMENT for a NULL `info`. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_info_of(kelto_live* table, uint32_t ident,
                                                       kelto_live_info* info);

/* The ident of the variable named `name` (full name, prefix included). When
 * two items share a name the later one is found, as by libkelto. An index
 * of the names is built at the first look-up (one pass over the table);
 * every look-up after it costs the same whatever the table's size. OK;
 * UNKNOWN_VARIABLE; NO_TABLE; INVALID_ARGUMENT. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_find(kelto_live* table, const char* name,
                                                    uint32_t* ident);

/* True (1) when `name` matches the shell wildcard `pattern` (* ? [...],
 * matched against the whole name), else 0. A NULL pattern matches all. */
KELTO_LIVE_EXPORT int kelto_live_match(const char* pattern, const char* name);

/* The idents, in order, of the variables whose names match `pattern` (NULL:
 * all). *count receives the number of matches; at most `capacity` idents
 * are written. OK; TOO_SMALL when there were more matches than `capacity`
 * (the first `capacity` are written; call again with *count); NO_TABLE;
 * INVALID_ARGUMENT for a NULL `count`, or NULL `idents` with a capacity. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_select(kelto_live* table, const char* pattern,
                                                      uint32_t* idents, uint32_t capacity,
                                                      uint32_t* count);

/* ---- Values as bytes ------------------------------------------------------ */

/* Copies the value of `ident` into `value` (KELTO_LIVE_VALUE_SIZE bytes),
 * as libkelto reads it: text up to its terminator (byte 63 always 0),
 * other types their size; every other byte is zeroed. OK; UNKNOWN_VARIABLE;
 * NO_TABLE; INVALID_ARGUMENT. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_read(kelto_live* table, uint32_t ident, void* value);

/* ---- Values as text and JSON ---------------------------------------------
 * One codec for every client. Names and text values are bytes; valid UTF-8
 * in them is shown as its characters, and each byte that is not part of
 * valid UTF-8 by an escape of that one byte, so every client shows the same
 * characters for the same bytes and any bytes read back unchanged. Controls
 * (C0, DEL, C1), U+2028, U+2029 and the bidirectional controls (U+061C,
 * U+200E, U+200F, U+202A..U+202E, U+2066..U+2069) are escaped as well, so a
 * value is one line that reads in the order of its bytes. Formats:
 *  - KELTO_LIVE_TEXT: what keltoctl prints. Text ($) as its characters, with
 *    \\ \n \t \r, and \xHH for every other byte escaped (one line, no
 *    control characters); B H O M W unsigned, L signed 32-bit, D the shortest
 *    decimal that reads back exactly (inf, -inf, nan); "-" for a type without
 *    a value.
 *  - KELTO_LIVE_JSON: a JSON value: a string (its characters as raw UTF-8,
 *    the escaped characters as \uXXXX, each byte outside valid UTF-8 as the
 *    lone surrogate U+DC80 + byte, "\udcb0" for 0xB0, which is what Python's
 *    json gives for a surrogateescape string), a number, or null (no value,
 *    or a D that is not finite).
 *  - KELTO_LIVE_RAW: text as it is (up to its terminator), numbers as in
 *    TEXT, the empty string for no value.
 * Parsing (kelto_live_parse and kelto_live_set) takes TEXT, RAW and JSON;
 * the rules are keltoctl set's: text of at most 63 bytes and no NUL, never
 * cut; whole numbers decimal or 0x-hex with an optional sign, within the
 * type's range (B H O 0..255, M W 0..65535, L -2147483648..2147483647); D a
 * decimal or exponent form, inf, -inf or nan. RAW takes text as it is; TEXT
 * also decodes the escapes that TEXT formatting writes. JSON takes a string
 * for $ (each character as its UTF-8, U+DC80..U+DCFF as the byte
 * 0x80..0xFF, other lone surrogates refused; the 63 bytes are counted after
 * that) and a number for the others (whole for integer types; for D also the
 * strings "inf", "-inf" and "nan"). */
typedef enum kelto_live_syntax {
  KELTO_LIVE_TEXT = 0,
  KELTO_LIVE_JSON = 1,
  KELTO_LIVE_RAW = 2
} kelto_live_syntax;

/* Formats a raw value of type letter `type` (KELTO_LIVE_VALUE_SIZE bytes,
 * as kelto_live_read gives it) into `buffer`. Pure. OK; TOO_SMALL (the
 * text is cut, still terminated); INVALID_ARGUMENT. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_format_value(char type, const void* value,
                                                            kelto_live_syntax format, char* buffer,
                                                            size_t buffer_size);

/* Formats the current value of `ident`, as kelto_live_read followed by
 * kelto_live_format_value. The results of both, plus NO_TABLE. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_format(kelto_live* table, uint32_t ident,
                                                      kelto_live_syntax format, char* buffer,
                                                      size_t buffer_size);

/* Escapes `length` bytes of a name (or any bytes) in `format`: TEXT as
 * above, JSON as a quoted JSON string, RAW copies them. Pure. OK;
 * TOO_SMALL (cut, terminated); INVALID_ARGUMENT. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_escape(const char* bytes, size_t length,
                                                      kelto_live_syntax format, char* buffer,
                                                      size_t buffer_size);

/* Parses `length` bytes of `text` in `format` for type letter `type` into
 * `value` (KELTO_LIVE_VALUE_SIZE bytes, zero-filled first); `text` may be
 * NULL when `length` is 0. Pure. OK;
 * BAD_VALUE; WRONG_TYPE (the type holds no value); INVALID_ARGUMENT. On
 * BAD_VALUE and WRONG_TYPE a one-line reason goes to `reason` (may be NULL,
 * cut to `reason_size`). */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_parse(char type, const char* text, size_t length,
                                                     kelto_live_syntax format, void* value,
                                                     char* reason, size_t reason_size);

/* Parses `text` for the variable `ident` and writes it, as libkelto's write
 * by name does (a text shorter than the old one leaves the bytes after its
 * terminator as they were), and marks the change. Nothing is written when
 * the value is refused. OK; BAD_VALUE; WRONG_TYPE; UNKNOWN_VARIABLE;
 * NO_TABLE; INVALID_ARGUMENT. Reasons as for kelto_live_parse. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_set(kelto_live* table, uint32_t ident,
                                                   const char* text, size_t length,
                                                   kelto_live_syntax format, char* reason,
                                                   size_t reason_size);

/* ---- Typed values ----------------------------------------------------------
 * Integers: B H O M W L (set_int also writes a D, when the double holds the
 * number exactly). Doubles: D (get_double also reads the integer types).
 * Text: $. Another type gives WRONG_TYPE; a value outside the variable's
 * range gives BAD_VALUE and writes nothing. Writes mark the change.
 * Results also: UNKNOWN_VARIABLE, NO_TABLE, INVALID_ARGUMENT. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_get_int(kelto_live* table, uint32_t ident,
                                                       int64_t* value);
KELTO_LIVE_EXPORT kelto_live_result kelto_live_get_double(kelto_live* table, uint32_t ident,
                                                          double* value);
/* Copies the text (at most 63 bytes and its terminator) into `buffer`;
 * TOO_SMALL when it does not fit (cut, terminated). */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_get_text(kelto_live* table, uint32_t ident,
                                                        char* buffer, size_t buffer_size);
KELTO_LIVE_EXPORT kelto_live_result kelto_live_set_int(kelto_live* table, uint32_t ident,
                                                       int64_t value);
/* Into D: any double. Into an integer type: only a whole number in range. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_set_double(kelto_live* table, uint32_t ident,
                                                          double value);
/* At most 63 bytes; a longer text is refused (BAD_VALUE), never cut. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_set_text(kelto_live* table, uint32_t ident,
                                                        const char* text);

/* ---- Waiting for changes --------------------------------------------------
 * A cursor is a position in the table's stream of changes, held by the
 * caller: start one with kelto_live_cursor, then pass it to kelto_live_wait,
 * which moves it past the changes it reports. Each waiter (thread, client)
 * keeps its own cursor. The cost of a wait grows with the number of
 * changes since the cursor, not with the size of the table. */

/* The current position: only changes after it will be reported. 0 without
 * a table or feed. */
KELTO_LIVE_EXPORT uint64_t kelto_live_cursor(kelto_live* table);

/* Waits until a variable changed after *cursor (with `idents`/`ident_count`
 * given: one of those idents; NULL/0: any), for at most `timeout_ms`
 * milliseconds (0: only look; KELTO_LIVE_FOREVER: no limit). On OK the
 * changed idents are written to `changed` (each once, in order of change,
 * at most `capacity`), their number to *changed_count, and *cursor moves
 * past them. *resync is set to 1 when changes may have been missed (the
 * cursor is ahead of the log, so not one this table handed out; the
 * waiter fell more than 65,536 changes behind, one writing thread made more
 * than 4,096 changes before any waiter looked, more idents changed than
 * `capacity`, or the log's lock could not be taken during the whole wait,
 * say while a process holding it is stopped: such a wait lasts up to a
 * second even with a shorter timeout; or a writer could not record a change
 * for the same reason): re-read every variable of interest;
 * else 0. `changed` may be NULL with capacity 0 (then only *resync and
 * the count of 0 tell). Results: OK; TIMEOUT (count 0; *cursor may have
 * moved past changes of idents not asked for);
 * NO_TABLE (the last program went away while waiting, or before: the handle
 * lets go within a second); NO_FEED; INVALID_ARGUMENT. */
KELTO_LIVE_EXPORT kelto_live_result kelto_live_wait(kelto_live* table, uint64_t* cursor,
                                                    const uint32_t* idents, uint32_t ident_count,
                                                    int32_t timeout_ms, uint32_t* changed,
                                                    uint32_t capacity, uint32_t* changed_count,
                                                    int* resync);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELTO_LIVE_H_ */
