/*
 * A program of another project, built against an installed kelto: it opens a
 * table of its own (a fresh directory and segment name, passed through
 * KELTO_DIR and KELTO_SEGMENT), has a child process write values, reads them
 * back here and through the live API of libkelto_live, and cleans up. Exit
 * status 0 when every value came back.
 */
#define _POSIX_C_SOURCE 200809L
#include <kelto.h>
#include <kelto_live.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

static char directory[64];
static char segment[64];

static void PathOf(const char* file, char* path, size_t size) {
  snprintf(path, size, "%s/%s", directory, file);
}

static int WriteFile(const char* file, const char* text) {
  char path[128];
  PathOf(file, path, sizeof path);
  FILE* out = fopen(path, "w");
  if (out == NULL) return -1;
  const int written = fputs(text, out) >= 0;
  return fclose(out) == 0 && written ? 0 : -1;
}

static int SetUp(void) {
  strcpy(directory, "/tmp/kelto-consumer-XXXXXX");
  if (mkdtemp(directory) == NULL) return -1;
  snprintf(segment, sizeof segment, "kelto-consumer-%ld", (long)getpid());
  if (setenv("KELTO_DIR", directory, 1) != 0 || setenv("KELTO_SEGMENT", segment, 1) != 0) {
    return -1;
  }
  if (WriteFile("iorsh.mem", "SPEED=L\nSTATUS=$\n") != 0) return -1;
  return WriteFile("memsh.mem", "LEVEL=W\n");
}

static void CleanUp(void) {
  static const char* const kFiles[] = {"iorsh.mem", "memsh.mem", "kelto_log.txt"};
  char path[128];
  for (size_t i = 0; i < sizeof kFiles / sizeof kFiles[0]; ++i) {
    PathOf(kFiles[i], path, sizeof path);
    unlink(path);
  }
  rmdir(directory);
  snprintf(path, sizeof path, "/%s", segment);
  shm_unlink(path);
  snprintf(path, sizeof path, "/%s.lock", segment);
  shm_unlink(path);
  snprintf(path, sizeof path, "/%s.changes", segment);
  shm_unlink(path);
}

/* An observer of the same table, as a tool would be: by segment name only. */
static int SeenByObserver(void) {
  kelto_live* live = NULL;
  uint32_t ident = 0;
  char text[KELTO_LIVE_TEXT_SIZE] = "";
  int ok = kelto_live_attach(segment, &live) == KELTO_LIVE_OK &&
           kelto_live_find(live, "IORSH_STATUS", &ident) == KELTO_LIVE_OK &&
           kelto_live_format(live, ident, KELTO_LIVE_JSON, text, sizeof text) == KELTO_LIVE_OK &&
           strcmp(text, "\"written by the child\"") == 0;
  kelto_live_detach(live);
  if (!ok) fprintf(stderr, "the live API saw \"%s\"\n", text);
  return ok ? 0 : -1;
}

/* The writer: a separate process with a table of its own. */
static int WriteInChild(void) {
  fflush(NULL);
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    KeltoOpen();
    const uint16_t level = 513;
    int failed = KeltoWriteInt32("IORSH_SPEED", 4711) != 0;
    failed |= IORShWriteVarName("STATUS", "written by the child") != 0;
    failed |= MemShWriteVarName("LEVEL", (const char*)&level) != 0;
    KeltoClose();
    _exit(failed);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

static int RoundTrip(void) {
  KeltoOpen();
  if (KeltoGetNumberOfItems() != 3) {
    fprintf(stderr, "no table: see %s/kelto_log.txt\n", directory);
    return -1;
  }
  if (WriteInChild() != 0) {
    fprintf(stderr, "the writing process failed\n");
    return -1;
  }
  int32_t speed = 0;
  char status[KELTO_VALUE_SIZE] = "";
  uint16_t level = 0;
  const int read_ok = KeltoReadVar(KeltoGetIdentVarName("IORSH_SPEED"), (char*)&speed) == 0 &&
                      KeltoReadString("IORSH_STATUS", status) == 0 &&
                      MemShReadVarName("LEVEL", (char*)&level) == 0 && SeenByObserver() == 0;
  KeltoClose();
  if (!read_ok || speed != 4711 || strcmp(status, "written by the child") != 0 || level != 513) {
    fprintf(stderr, "read back speed %d, status \"%s\", level %u\n", speed, status, level);
    return -1;
  }
  return 0;
}

int main(int argc, char** argv) {
  (void)argc;
  if (SetUp() != 0) {
    perror("setting up a table directory");
    CleanUp();
    return 2;
  }
  const int result = RoundTrip();
  CleanUp();
  if (result != 0) return 1;
  printf("%s: kelto %s, values shared between two processes\n", argv[0], KELTO_VERSION);
  return 0;
}
