/*
 * A client written in plain C11 that uses every exported function through
 * include/kelto.h and checks its results. It sets up its own directory and
 * segment name, like every other test, and removes both at the end.
 * Exit status 0 when every check passed.
 */
#define _POSIX_C_SOURCE 200809L
#include <kelto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#include <process.h>
#else
#include <sys/mman.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

static int failures = 0;

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                                   \
    }                                                                               \
  } while (0)

static char directory[512];
static char segment[64];

static const char kIorsh[] = "[IORSH]\nSPEED=L\nTEMPERATURE=D\nSTATE=$\nFLAG=B\n";
static const char kMemsh[] = "LEVEL=W\nSPEED=L\nNOTE=$\n";
enum {
  kSpeed = 0,
  kTemperature = 1,
  kState = 2,
  kFlag = 3,
  kLevel = 4,
  kMemshSpeed = 5,
  kItems = 7
};

static void PathOf(const char* file, char* path, size_t size) {
  snprintf(path, size, "%s/%s", directory, file);
}

static int WriteFile(const char* file, const char* text) {
  char path[600];
  PathOf(file, path, sizeof path);
  FILE* out = fopen(path, "w");
  if (out == NULL) return -1;
  const int ok = fputs(text, out) >= 0;
  return fclose(out) == 0 && ok ? 0 : -1;
}

#if defined(_WIN32)
/* The parent sets the place up; a child started by CheckAcrossProcesses
   inherits it through the environment. */
static int SetUpPlace(void) {
  const char* temp = getenv("TEMP");
  if (temp == NULL) return -1;
  snprintf(directory, sizeof directory, "%s/kelto-c-api-%d", temp, _getpid());
  snprintf(segment, sizeof segment, "kelto-c-api-%d", _getpid());
  if (_mkdir(directory) != 0) return -1;
  return _putenv_s("KELTO_DIR", directory) == 0 && _putenv_s("KELTO_SEGMENT", segment) == 0 ? 0
                                                                                            : -1;
}
#else
static int SetUpPlace(void) {
  strcpy(directory, "/tmp/kelto-c-api-XXXXXX");
  if (mkdtemp(directory) == NULL) return -1;
  snprintf(segment, sizeof segment, "kelto-c-api-%ld", (long)getpid());
  if (setenv("KELTO_DIR", directory, 1) != 0 || setenv("KELTO_SEGMENT", segment, 1) != 0) {
    return -1;
  }
  return 0;
}
#endif

static int SetUp(void) {
  if (SetUpPlace() != 0) return -1;
  return WriteFile("iorsh.mem", kIorsh) == 0 && WriteFile("memsh.mem", kMemsh) == 0 ? 0 : -1;
}

static void CleanUp(void) {
  static const char* const kFiles[] = {"iorsh.mem", "memsh.mem", "kelto_log.txt"};
  char path[600];
  for (size_t i = 0; i < sizeof kFiles / sizeof kFiles[0]; ++i) {
    PathOf(kFiles[i], path, sizeof path);
    unlink(path);
  }
#if defined(_WIN32)
  _rmdir(directory);
#else
  rmdir(directory);
  snprintf(path, sizeof path, "/%s", segment);
  shm_unlink(path);
  snprintf(path, sizeof path, "/%s.lock", segment);
  shm_unlink(path);
#endif
}

static void CheckCoreByIdentAndName(void) {
  const int32_t speed = 4711;
  int32_t int_read = 0;
  CHECK(KeltoGetIdentVarName("IORSH_SPEED") == kSpeed);
  CHECK(KeltoWriteVar(kSpeed, (const char*)&speed) == 0);
  CHECK(KeltoReadVar(kSpeed, (char*)&int_read) == 0 && int_read == speed);
  CHECK(KeltoGetTypeVar(kTemperature) == 'D');
  CHECK(KeltoGetSizeVar(kTemperature) == 8);

  char name[KELTO_NAME_SIZE] = "";
  CHECK(KeltoReadNameVar(kState, name) == 0 && strcmp(name, "IORSH_STATE") == 0);

  const uint16_t level = 0xCAFE;
  uint16_t level_read = 0;
  CHECK(KeltoGetTypeVarName("MEMSH_LEVEL") == 'W');
  CHECK(KeltoGetSizeVarName("MEMSH_LEVEL") == 2);
  CHECK(KeltoWriteVarName("MEMSH_LEVEL", (const char*)&level) == 0);
  CHECK(KeltoReadVarName("MEMSH_LEVEL", (char*)&level_read) == 0 && level_read == level);

  char untouched[KELTO_VALUE_SIZE] = "untouched";
  CHECK(KeltoReadVar(kItems, untouched) == -1);
  CHECK(KeltoWriteVar(-1, untouched) == -1);
  CHECK(KeltoGetTypeVar(kItems) == '#');
  CHECK(KeltoGetSizeVar(-1) == 0);
  CHECK(KeltoGetIdentVarName("SPEED") == -1);
  CHECK(KeltoGetTypeVarName("SPEED") == '#');
  CHECK(KeltoGetSizeVarName("SPEED") == -1);
  CHECK(KeltoWriteVarName("SPEED", untouched) == -5);
  CHECK(KeltoReadVarName("SPEED", untouched) == -3);
  CHECK(strcmp(untouched, "untouched") == 0);
}

static void CheckTypedAccessors(void) {
  CHECK(KeltoWriteByte("IORSH_FLAG", (char)0x5A) == 0);
  CHECK(KeltoReadByte("IORSH_FLAG") == (char)0x5A);
  CHECK(KeltoWriteInt32("IORSH_SPEED", -123456) == 0);
  CHECK(KeltoReadInt32("IORSH_SPEED") == -123456);
  CHECK(KeltoWriteDouble("IORSH_TEMPERATURE", 36.625) == 0);
  CHECK(KeltoReadDouble("IORSH_TEMPERATURE") == 36.625);

  char seventy[71];
  memset(seventy, 't', 70);
  seventy[70] = '\0';
  char text[KELTO_VALUE_SIZE];
  CHECK(KeltoWriteString("IORSH_STATE", seventy) == 0);
  CHECK(KeltoReadString("IORSH_STATE", text) == 0);
  CHECK(strlen(text) == 63 && strncmp(text, seventy, 63) == 0);

  CHECK(KeltoReadInt32("IORSH_MISSING") == 0);
  CHECK(KeltoReadDouble("IORSH_MISSING") == 0.0);
  CHECK(KeltoReadByte("IORSH_MISSING") == 0);
  CHECK(KeltoWriteInt32("IORSH_MISSING", 1) == -5);
  CHECK(KeltoWriteString("IORSH_MISSING", "x") == -5);
  CHECK(KeltoReadString("IORSH_MISSING", text) == -3);
}

static void CheckRawView(void) {
  CHECK(KeltoGetItemSize() == sizeof(KeltoVarItem));
  CHECK(KeltoGetNumberOfItems() == (uint32_t)kItems);
  KeltoVarItem* items = KeltoGetPointer();
  CHECK(items != NULL);
  if (items == NULL) return;

  char name[KELTO_NAME_SIZE];
  for (int32_t ident = 0; ident < kItems; ++ident) {
    CHECK(KeltoReadNameVar(ident, name) == 0 && strcmp(items[ident].name, name) == 0);
    CHECK(items[ident].type == KeltoGetTypeVar(ident));
    CHECK(items[ident].size == KeltoGetSizeVar(ident));
  }

  CHECK(KeltoWriteInt32("IORSH_SPEED", 99) == 0);
  int32_t raw = 0;
  memcpy(&raw, items[kSpeed].value, sizeof raw);
  CHECK(raw == 99);

  raw = -7;
  memcpy(items[kMemshSpeed].value, &raw, sizeof raw);
  CHECK(KeltoReadInt32("MEMSH_SPEED") == -7);
}

static void CheckFacades(void) {
  CHECK(IORShOpen(0) == 1); /* a repeated Open keeps the values */
  CHECK(KeltoReadInt32("MEMSH_SPEED") == -7);
  CHECK(MemShOpen(1) == 1);
  CHECK(IORShReadApplicationCount() == 1);
  CHECK(MemShReadApplicationCount() == 1);

  const int32_t speed = 2024;
  int32_t speed_read = 0;
  CHECK(IORShWriteVar(kSpeed, (const char*)&speed) == 0);
  CHECK(MemShReadVar(kSpeed, (char*)&speed_read) == 0 && speed_read == speed);
  CHECK(MemShWriteVar(kMemshSpeed, (const char*)&speed) == 0);
  CHECK(IORShReadVar(kMemshSpeed, (char*)&speed_read) == 0 && speed_read == speed);
  CHECK(IORShGetTypeVar(kFlag) == 'B' && MemShGetTypeVar(kLevel) == 'W');
  CHECK(IORShGetSizeVar(kFlag) == 1 && MemShGetSizeVar(kLevel) == 2);

  CHECK(IORShGetIdentVarName("SPEED") == kSpeed);
  CHECK(MemShGetIdentVarName("SPEED") == kMemshSpeed);
  CHECK(IORShGetIdentVarName("LEVEL") == -1);
  CHECK(MemShGetIdentVarName("LEVEL") == kLevel);
  CHECK(IORShGetTypeVarName("TEMPERATURE") == 'D' && MemShGetTypeVarName("NOTE") == '$');
  CHECK(IORShGetSizeVarName("TEMPERATURE") == 8 && MemShGetSizeVarName("NOTE") == 63);

  CHECK(IORShWriteVarName("STATE", "via IORSh") == 0);
  CHECK(MemShWriteVarName("NOTE", "via MemSh") == 0);
  char text[KELTO_VALUE_SIZE] = "";
  CHECK(IORShReadVarName("STATE", text) == 0 && strcmp(text, "via IORSh") == 0);
  CHECK(MemShReadVarName("NOTE", text) == 0 && strcmp(text, "via MemSh") == 0);
  CHECK(IORShReadVarName("IORSH_STATE", text) == -3);
  CHECK(MemShWriteVarName("MEMSH_NOTE", text) == -5);

  char name[KELTO_NAME_SIZE] = "";
  CHECK(IORShReadNameVar(kSpeed, name) == 0 && strcmp(name, "SPEED") == 0);
  CHECK(IORShReadNameVar(kLevel, name) == 0 && strcmp(name, "LEVEL") == 0);
  CHECK(MemShReadNameVar(kState, name) == 0 && strcmp(name, "STATE") == 0);
  CHECK(MemShReadNameVar(kItems, name) == 0 && name[0] == '\0');
}

/* A child writes through MemSh; this process, which holds the table, reads
   the value by ident. */
static int WriteAsChild(void) {
  const int32_t value = 777;
  int status = MemShOpen(0) == 1 ? 0 : 1;
  if (MemShWriteVarName("SPEED", (const char*)&value) != 0) status = 2;
  MemShClose();
  return status;
}

#if defined(_WIN32)
/* Windows starts no copy of a process: the child is this program again. */
static const char* program;

static void CheckAcrossProcesses(void) {
  fflush(NULL);
  const intptr_t status = _spawnl(_P_WAIT, program, program, "child", NULL);
  CHECK(status == 0);
  int32_t value = 0;
  CHECK(KeltoReadVar(kMemshSpeed, (char*)&value) == 0 && value == 777);
}
#else
static void CheckAcrossProcesses(void) {
  fflush(NULL);
  const pid_t child = fork();
  CHECK(child >= 0);
  if (child == 0) _exit(WriteAsChild());
  if (child < 0) return;
  int status = -1;
  CHECK(waitpid(child, &status, 0) == child);
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  int32_t value = 0;
  CHECK(KeltoReadVar(kMemshSpeed, (char*)&value) == 0 && value == 777);
}
#endif

int main(int argc, char** argv) {
#if defined(_WIN32)
  program = argv[0];
  if (argc == 2 && strcmp(argv[1], "child") == 0) return WriteAsChild();
#else
  (void)argc;
  (void)argv;
#endif
  if (SetUp() != 0) {
    perror("setting up the test directory");
    CleanUp();
    return 2;
  }
  CHECK(KeltoOpen() == 0);
  CheckCoreByIdentAndName();
  CheckTypedAccessors();
  CheckRawView();
  CheckFacades();
  CheckAcrossProcesses();
  CHECK(MemShClose() == 1);
  CHECK(KeltoGetPointer() == NULL && KeltoGetNumberOfItems() == 0);
  CHECK(IORShClose() == 1);
  CHECK(KeltoClose() == 0);
  CHECK(KeltoOpen() == 0 && KeltoGetNumberOfItems() == (uint32_t)kItems);
  CHECK(KeltoClose() == 0);
  CleanUp();
  if (failures != 0) fprintf(stderr, "%d checks failed\n", failures);
  return failures == 0 ? 0 : 1;
}
