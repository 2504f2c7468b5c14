/*
 * A program that returns from main without KeltoClose while a worker thread
 * still reads and writes the table: the end of the process must not pull
 * the table from under the worker. Exits 0 unless something went wrong
 * before the end.
 */
#include <kelto.h>
#include <pthread.h>
#include <stdint.h>
#include <unistd.h>

static void* Worker(void* unused) {
  (void)unused;
  char buffer[64];
  for (int32_t round = 0;; ++round) {
    KeltoReadVar(0, buffer);
    KeltoReadInt32("IORSH_SPEED");
    KeltoWriteInt32("IORSH_ROUNDS", round);
    KeltoReadVarName("IORSH_LABEL", buffer);
    if (round % 64 == 0) KeltoReadInt32("IORSH_MISSING"); /* a log line */
  }
  return NULL;
}

int main(void) {
  KeltoOpen();
  if (KeltoGetPointer() == NULL) return 2;
  pthread_t thread;
  if (pthread_create(&thread, NULL, Worker, NULL) != 0) return 3;
  usleep(2000);
  return 0;
}
