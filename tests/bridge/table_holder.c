/*
 * A program that keeps the table of $KELTO_DIR / $KELTO_SEGMENT open, as a
 * running application does, for the bridge tests: it opens the table,
 * prints "ready", and closes it when its standard input ends. A kill ends
 * it without Close, as a crash would.
 */
#include <kelto.h>
#include <stdio.h>
#include <unistd.h>

int main(void) {
  KeltoOpen();
  if (KeltoGetPointer() == NULL) {
    fprintf(stderr, "table_holder: no table\n");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  char buffer[64];
  while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  KeltoClose();
  return 0;
}
