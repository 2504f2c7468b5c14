/*
 * A separate Windows program on the table, driven by the cross-process tests:
 *
 *   table_holder write VALUE   opens, writes IORSH_SPEED, closes
 *   table_holder expect VALUE  opens, exits 0 when IORSH_SPEED is VALUE
 *   table_holder hold VALUE    opens, writes IORSH_SPEED, creates "ready" in
 *                              KELTO_DIR and keeps the table until "release"
 *                              appears there (or 60 s pass), then closes
 *   table_holder busy          opens and exits while two threads still write
 *
 * Exit status 0 on success, 1 on a wrong value, 2 on bad arguments.
 */
#include <kelto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static void PathInDirectory(const char* file, char* path, size_t size) {
  const char* directory = getenv("KELTO_DIR");
  snprintf(path, size, "%s/%s", directory != NULL ? directory : ".", file);
}

static int FileExists(const char* file) {
  char path[1024];
  PathInDirectory(file, path, sizeof path);
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

static void CreateMarker(const char* file) {
  char path[1024];
  PathInDirectory(file, path, sizeof path);
  FILE* marker = fopen(path, "w");
  if (marker != NULL) fclose(marker);
}

static int Hold(int32_t value) {
  KeltoOpen();
  KeltoWriteInt32("IORSH_SPEED", value);
  CreateMarker("ready");
  for (int waited = 0; waited < 6000 && !FileExists("release"); ++waited) Sleep(10);
  KeltoClose();
  return 0;
}

static DWORD WINAPI WriteForever(LPVOID unused) {
  (void)unused;
  for (uint32_t value = 0;; ++value) KeltoWriteInt32("IORSH_SPEED", (int32_t)(value & 0xffff));
  return 0;
}

static int ExitWhileBusy(void) {
  KeltoOpen();
  for (int i = 0; i < 2; ++i) CreateThread(NULL, 0, WriteForever, NULL, 0, NULL);
  Sleep(100);
  exit(0);
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "busy") == 0) return ExitWhileBusy();
  if (argc != 3) return 2;
  const int32_t value = (int32_t)strtol(argv[2], NULL, 10);
  if (strcmp(argv[1], "hold") == 0) return Hold(value);
  KeltoOpen();
  int status = 0;
  if (strcmp(argv[1], "write") == 0) {
    status = KeltoWriteInt32("IORSH_SPEED", value) == 0 ? 0 : 1;
  } else if (strcmp(argv[1], "expect") == 0) {
    status = KeltoReadInt32("IORSH_SPEED") == value ? 0 : 1;
  } else {
    status = 2;
  }
  KeltoClose();
  return status;
}
