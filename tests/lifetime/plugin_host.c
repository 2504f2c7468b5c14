/*
 * A plug-in host: loads the library with dlopen, uses the table and unloads
 * it again, as test runners and scripting languages do all day.
 *
 *   plugin_host LIBRARY unload-while-threads-live ROUNDS
 *     each round: a second thread writes once and stays alive while the
 *     host closes the table and unloads the library; then it ends.
 *   plugin_host LIBRARY cycles COUNT
 *     COUNT times: load, open, a write from a short-lived thread, close,
 *     unload; then prints "keys A B fds A B maps A B": free thread keys,
 *     open descriptors and mappings before and after.
 *
 * Exits 0 unless a call failed (a crash is the caller's to see).
 */
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef int32_t (*OpenFn)(void);
typedef int32_t (*CloseFn)(void);
typedef int32_t (*WriteInt32Fn)(const char*, int32_t);

struct Library {
  void* handle;
  OpenFn open;
  CloseFn close;
  WriteInt32Fn write_int32;
};

/* A symbol as a function pointer: ISO C has no cast between the two, POSIX
 * guarantees that the bytes are the same. */
static void Resolve(void* handle, const char* name, void* function_pointer) {
  void* symbol = dlsym(handle, name);
  memcpy(function_pointer, &symbol, sizeof symbol);
}

static int Load(const char* path, struct Library* library) {
  library->handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library->handle == NULL) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return 0;
  }
  Resolve(library->handle, "KeltoOpen", &library->open);
  Resolve(library->handle, "KeltoClose", &library->close);
  Resolve(library->handle, "KeltoWriteInt32", &library->write_int32);
  return library->open != NULL && library->close != NULL && library->write_int32 != NULL;
}

/* A thread that writes once, says so, then waits for leave to end. */
struct Writer {
  struct Library* library;
  pthread_mutex_t mutex;
  pthread_cond_t changed;
  int wrote;
  int leave;
  int32_t result;
};

static void* Write(void* argument) {
  struct Writer* writer = argument;
  const int32_t result = writer->library->write_int32("IORSH_SPEED", 7);
  pthread_mutex_lock(&writer->mutex);
  writer->result = result;
  writer->wrote = 1;
  pthread_cond_broadcast(&writer->changed);
  while (!writer->leave) pthread_cond_wait(&writer->changed, &writer->mutex);
  pthread_mutex_unlock(&writer->mutex);
  return NULL;
}

/* Starts a writer and waits for its write. */
static int StartWriter(struct Writer* writer, struct Library* library, pthread_t* thread) {
  memset(writer, 0, sizeof(*writer));
  writer->library = library;
  pthread_mutex_init(&writer->mutex, NULL);
  pthread_cond_init(&writer->changed, NULL);
  if (pthread_create(thread, NULL, Write, writer) != 0) return 0;
  pthread_mutex_lock(&writer->mutex);
  while (!writer->wrote) pthread_cond_wait(&writer->changed, &writer->mutex);
  pthread_mutex_unlock(&writer->mutex);
  return writer->result == 0;
}

static void EndWriter(struct Writer* writer, pthread_t thread) {
  pthread_mutex_lock(&writer->mutex);
  writer->leave = 1;
  pthread_cond_broadcast(&writer->changed);
  pthread_mutex_unlock(&writer->mutex);
  pthread_join(thread, NULL);
  pthread_cond_destroy(&writer->changed);
  pthread_mutex_destroy(&writer->mutex);
}

/* One load: open, a write from another thread, close, unload. With
 * `writer_outlives`, the writer ends only after the unload. */
static int Cycle(const char* path, int writer_outlives) {
  struct Library library;
  if (!Load(path, &library)) return 0;
  if (library.open() != 0) return 0;
  struct Writer writer;
  pthread_t thread;
  if (!StartWriter(&writer, &library, &thread)) return 0;
  if (!writer_outlives) EndWriter(&writer, thread);
  if (library.close() != 0) return 0;
  if (dlclose(library.handle) != 0) return 0;
  if (writer_outlives) EndWriter(&writer, thread);
  return 1;
}

static int FreeThreadKeys(void) {
  static pthread_key_t keys[4096];
  int count = 0;
  while (count < 4096 && pthread_key_create(&keys[count], NULL) == 0) ++count;
  for (int i = 0; i < count; ++i) pthread_key_delete(keys[i]);
  return count;
}

static int OpenDescriptors(void) {
  DIR* directory = opendir("/proc/self/fd");
  if (directory == NULL) return -1;
  int count = 0;
  while (readdir(directory) != NULL) ++count;
  closedir(directory);
  return count;
}

static int Mappings(void) {
  FILE* maps = fopen("/proc/self/maps", "r");
  if (maps == NULL) return -1;
  int count = 0;
  for (int c; (c = fgetc(maps)) != EOF;) count += c == '\n';
  fclose(maps);
  return count;
}

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const char* path = argv[1];
  const long count = strtol(argv[3], NULL, 10);
  if (strcmp(argv[2], "unload-while-threads-live") == 0) {
    for (long round = 0; round < count; ++round) {
      if (!Cycle(path, 1)) return 3;
    }
    return 0;
  }
  if (strcmp(argv[2], "cycles") != 0) return 2;
  /* The first loads bring in what stays for good (the C++ runtime, a
   * thread's stack and heap): counted from after them. */
  for (int warm_up = 0; warm_up < 3; ++warm_up) {
    if (!Cycle(path, 0)) return 3;
  }
  const int keys = FreeThreadKeys(), fds = OpenDescriptors(), maps = Mappings();
  for (long cycle = 0; cycle < count; ++cycle) {
    if (!Cycle(path, 0)) {
      fprintf(stderr, "cycle %ld failed\n", cycle);
      return 3;
    }
  }
  printf("keys %d %d fds %d %d maps %d %d\n", keys, FreeThreadKeys(), fds, OpenDescriptors(), maps,
         Mappings());
  return 0;
}
