/*
 * A host that loads kelto.dll at run time, as test runtimes and P/Invoke do:
 * LoadLibraryW by file name, every function by its undecorated name. A
 * thread of its own calls the library and stays alive (outside it) while
 * the host unloads the DLL and goes on. KELTO_DIR and KELTO_SEGMENT are the
 * caller's; the definitions must hold IORSH_SPEED (L). Exit status 0 when
 * every check passed.
 */
#include <stdint.h>
#include <stdio.h>
#include <windows.h>

typedef int32_t (*NoArgument)(void);
typedef int32_t (*WriteInt32)(const char*, int32_t);
typedef int32_t (*ReadInt32)(const char*);

static NoArgument open_table;
static NoArgument close_table;
static WriteInt32 write_int32;
static ReadInt32 read_int32;
static HANDLE called;
static HANDLE finish;

static DWORD WINAPI CallThenLinger(LPVOID unused) {
  (void)unused;
  write_int32("IORSH_SPEED", 31);
  SetEvent(called);
  WaitForSingleObject(finish, 10000);
  return 0;
}

static FARPROC Find(HMODULE library, const char* name) {
  FARPROC function = GetProcAddress(library, name);
  if (function == NULL) fprintf(stderr, "kelto.dll has no %s\n", name);
  return function;
}

int main(void) {
  HMODULE library = LoadLibraryW(L"kelto.dll");
  if (library == NULL) {
    fprintf(stderr, "cannot load kelto.dll: error %lu\n", GetLastError());
    return 1;
  }
  open_table = (NoArgument)(void (*)(void))Find(library, "KeltoOpen");
  close_table = (NoArgument)(void (*)(void))Find(library, "KeltoClose");
  write_int32 = (WriteInt32)(void (*)(void))Find(library, "KeltoWriteInt32");
  read_int32 = (ReadInt32)(void (*)(void))Find(library, "KeltoReadInt32");
  if (!open_table || !close_table || !write_int32 || !read_int32) return 1;

  int failures = 0;
  open_table();
  called = CreateEventW(NULL, TRUE, FALSE, NULL);
  finish = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE thread = CreateThread(NULL, 0, CallThenLinger, NULL, 0, NULL);
  if (WaitForSingleObject(called, 10000) != WAIT_OBJECT_0) ++failures;
  if (read_int32("IORSH_SPEED") != 31) ++failures;
  /* Unloaded without Close, while the thread that called it lives on. */
  if (!FreeLibrary(library)) ++failures;
  SetEvent(finish);
  WaitForSingleObject(thread, 10000);
  CloseHandle(thread);
  if (failures != 0) fprintf(stderr, "%d checks failed\n", failures);
  return failures == 0 ? 0 : 1;
}
