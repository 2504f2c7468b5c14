/*
 * A program for the web view's tests: it opens the table of $KELTO_DIR and
 * $KELTO_SEGMENT as any kelto program does, says "ready", then writes what
 * it is told on standard input, one command a line, answering "ok":
 *   int NAME VALUE      KeltoWriteInt32
 *   double NAME VALUE   KeltoWriteDouble
 *   text NAME TEXT      KeltoWriteString (the rest of the line)
 *   spin NAME COUNT     KeltoWriteInt32 of 1..COUNT as fast as it can
 *   close               KeltoClose and exit (so does the end of input)
 */
#define _POSIX_C_SOURCE 200809L
#include <kelto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int Run(char* line) {
  char* saved = NULL;
  const char* command = strtok_r(line, " \n", &saved);
  const char* name = strtok_r(NULL, " \n", &saved);
  char* rest = strtok_r(NULL, "\n", &saved);
  if (command == NULL || name == NULL || rest == NULL) return -1;
  if (strcmp(command, "int") == 0) return KeltoWriteInt32(name, (int32_t)atol(rest));
  if (strcmp(command, "double") == 0) return KeltoWriteDouble(name, strtod(rest, NULL));
  if (strcmp(command, "text") == 0) return KeltoWriteString(name, rest);
  if (strcmp(command, "spin") == 0) {
    const int32_t count = (int32_t)atol(rest);
    for (int32_t i = 1; i <= count; ++i) KeltoWriteInt32(name, i);
    return 0;
  }
  return -1;
}

int main(void) {
  KeltoOpen();
  if (KeltoGetNumberOfItems() == 0) {
    fprintf(stderr, "table_program: no table (see kelto_log.txt in $KELTO_DIR)\n");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  char line[512];
  while (fgets(line, sizeof line, stdin) != NULL && strncmp(line, "close", 5) != 0) {
    printf(Run(line) < 0 ? "failed\n" : "ok\n");
    fflush(stdout);
  }
  KeltoClose();
  return 0;
}
