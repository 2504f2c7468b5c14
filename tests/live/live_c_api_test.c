/*
 * A client written in plain C11 that uses the live API's header and checks
 * what needs no running program: the codec of values, patterns, result
 * texts, and how an observer meets a table that nobody holds. Exit status 0
 * when every check passed.
 */
#define _POSIX_C_SOURCE 200809L
#include <kelto_live.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int failures = 0;

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                                   \
    }                                                                               \
  } while (0)

static void CheckCodec(void) {
  char value[KELTO_LIVE_VALUE_SIZE];
  char text[KELTO_LIVE_TEXT_SIZE];
  char reason[128] = "";
  CHECK(kelto_live_parse('L', "-42", 3, KELTO_LIVE_RAW, value, reason, sizeof reason) ==
        KELTO_LIVE_OK);
  CHECK(kelto_live_format_value('L', value, KELTO_LIVE_JSON, text, sizeof text) == KELTO_LIVE_OK &&
        strcmp(text, "-42") == 0);
  CHECK(kelto_live_parse('B', "256", 3, KELTO_LIVE_TEXT, value, reason, sizeof reason) ==
        KELTO_LIVE_BAD_VALUE);
  CHECK(strstr(reason, "0 to 255") != NULL);
  CHECK(kelto_live_parse('x', "1", 1, KELTO_LIVE_TEXT, value, NULL, 0) == KELTO_LIVE_WRONG_TYPE);
  /* A character (U+00E9, as an escape) becomes its UTF-8; a lone surrogate
   * U+DC80 + byte becomes that byte, and both are shown so again. */
  CHECK(kelto_live_parse('$', "\"a\\u00e9\\udce9\\n\"", 17, KELTO_LIVE_JSON, value, NULL, 0) ==
        KELTO_LIVE_OK);
  CHECK(memcmp(value, "a\xc3\xa9\xe9\n", 6) == 0);
  CHECK(kelto_live_format_value('$', value, KELTO_LIVE_TEXT, text, sizeof text) == KELTO_LIVE_OK &&
        strcmp(text, "a\xc3\xa9\\xe9\\n") == 0);
  CHECK(kelto_live_format_value('$', value, KELTO_LIVE_JSON, text, sizeof text) == KELTO_LIVE_OK &&
        strcmp(text, "\"a\xc3\xa9\\udce9\\n\"") == 0);
  CHECK(kelto_live_parse('D', "\"nan\"", 5, KELTO_LIVE_JSON, value, NULL, 0) == KELTO_LIVE_OK);
  CHECK(kelto_live_format_value('D', value, KELTO_LIVE_JSON, text, sizeof text) == KELTO_LIVE_OK &&
        strcmp(text, "null") == 0);
  CHECK(kelto_live_parse('W', "1.5", 3, KELTO_LIVE_JSON, value, NULL, 0) == KELTO_LIVE_BAD_VALUE);
  /* An empty text may come as NULL with length 0: an empty $ value. */
  memset(value, 'x', sizeof value);
  CHECK(kelto_live_parse('$', NULL, 0, KELTO_LIVE_RAW, value, NULL, 0) == KELTO_LIVE_OK);
  CHECK(value[0] == '\0' && value[KELTO_LIVE_VALUE_SIZE - 1] == '\0');
  CHECK(kelto_live_parse('$', NULL, 0, KELTO_LIVE_TEXT, value, NULL, 0) == KELTO_LIVE_OK);
  CHECK(kelto_live_parse('L', NULL, 0, KELTO_LIVE_RAW, value, NULL, 0) == KELTO_LIVE_BAD_VALUE);
  /* A buffer too small gets a cut, terminated text. */
  CHECK(kelto_live_escape("abcdef", 6, KELTO_LIVE_JSON, text, 4) == KELTO_LIVE_TOO_SMALL &&
        strcmp(text, "\"ab") == 0);
  CHECK(kelto_live_escape("a\tb", 3, KELTO_LIVE_TEXT, text, sizeof text) == KELTO_LIVE_OK &&
        strcmp(text, "a\\tb") == 0);
  CHECK(kelto_live_format_value('L', value, (kelto_live_syntax)7, text, sizeof text) ==
        KELTO_LIVE_INVALID_ARGUMENT);
  CHECK(kelto_live_match("IORSH_*", "IORSH_SPEED") == 1);
  CHECK(kelto_live_match("IORSH_?", "IORSH_SPEED") == 0);
  CHECK(kelto_live_match(NULL, "anything") == 1);
  CHECK(strlen(kelto_live_result_text(KELTO_LIVE_NO_TABLE)) > 0);
  CHECK(strlen(kelto_live_result_text((kelto_live_result)99)) > 0);
}

static void CheckNoTable(void) {
  char segment[64];
  char path[96];
  snprintf(segment, sizeof segment, "kelto-live-c-%ld", (long)getpid());
  kelto_live* live = NULL;
  CHECK(kelto_live_attach(segment, &live) == KELTO_LIVE_NO_TABLE);
  CHECK(live != NULL);
  CHECK(strcmp(kelto_live_segment_name(live), segment) == 0);
  CHECK(kelto_live_count(live) == 0);
  uint32_t ident = 7;
  CHECK(kelto_live_find(live, "IORSH_SPEED", &ident) == KELTO_LIVE_NO_TABLE && ident == 7);
  uint64_t cursor = kelto_live_cursor(live);
  uint32_t count = 1;
  int resync = 1;
  CHECK(kelto_live_wait(live, &cursor, NULL, 0, 0, NULL, 0, &count, &resync) ==
        KELTO_LIVE_NO_TABLE);
  CHECK(count == 0 && resync == 0);
  CHECK(kelto_live_reattach(live, 0) == KELTO_LIVE_TIMEOUT);
  CHECK(kelto_live_check(live) == KELTO_LIVE_NO_TABLE);
  kelto_live_detach(live);
  /* An observer never creates anything. */
  struct stat status;
  snprintf(path, sizeof path, "/dev/shm/%s", segment);
  CHECK(stat(path, &status) != 0);
  snprintf(path, sizeof path, "/dev/shm/%s.changes", segment);
  CHECK(stat(path, &status) != 0);
  snprintf(path, sizeof path, "/dev/shm/%s.lock", segment);
  CHECK(stat(path, &status) != 0);
  CHECK(kelto_live_attach("no/slash", &live) == KELTO_LIVE_INVALID_ARGUMENT && live == NULL);
  CHECK(kelto_live_attach(segment, NULL) == KELTO_LIVE_INVALID_ARGUMENT);
  kelto_live_detach(NULL);
}

int main(void) {
  CheckCodec();
  CheckNoTable();
  if (failures != 0) fprintf(stderr, "%d checks failed\n", failures);
  return failures == 0 ? 0 : 1;
}
