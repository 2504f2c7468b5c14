/*
 * The smallest program on the table, for Windows as for Linux: open, write
 * a value, read it back by name, close. Build it against the header and the
 * import library of the archive, for example with mingw-w64:
 *
 *   x86_64-w64-mingw32-gcc -Iinclude table_example.c lib/libkelto.dll.a
 *
 * or with MSVC, after `lib /def:lib\kelto.def /machine:x64 /out:kelto.lib`:
 *
 *   cl /Iinclude table_example.c kelto.lib
 *
 * and run it beside kelto.dll, with KELTO_DIR naming a directory that holds
 * iorsh.mem (with a line SPEED=L) and memsh.mem. Exit status 0 on success.
 */
#include <kelto.h>
#include <stdio.h>

int main(void) {
  KeltoOpen();
  if (KeltoWriteInt32("IORSH_SPEED", 1500) != 0) {
    fprintf(stderr, "no variable IORSH_SPEED: see kelto_log.txt in KELTO_DIR\n");
    KeltoClose();
    return 1;
  }
  const int32_t speed = KeltoReadInt32("IORSH_SPEED");
  printf("IORSH_SPEED is %d, one of %u variables\n", (int)speed, (unsigned)KeltoGetNumberOfItems());
  KeltoClose();
  return speed == 1500 ? 0 : 1;
}
