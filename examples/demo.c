/*
 * Two processes sharing live values through kelto.
 *
 *   kelto_demo writer [CYCLES]   updates the variables every 100 ms
 *   kelto_demo reader [READS]    prints them every 200 ms
 *
 * Both read the definition files of $KELTO_DIR and attach to the segment
 * $KELTO_SEGMENT; scripts/demo.sh sets both up and runs one of each.
 */
#define _POSIX_C_SOURCE 200809L
#include <kelto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

static int RunWriter(int cycles) {
  KeltoOpen();
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    char status[64];
    snprintf(status, sizeof status, "running, cycle %d of %d", cycle, cycles);
    KeltoWriteInt32("IORSH_SPEED", 100 + cycle);
    KeltoWriteDouble("IORSH_TEMPERATURE", 20.0 + cycle / 4.0);
    KeltoWriteByte("IORSH_VALVE_OPEN", (char)((cycle / 5) % 2));
    KeltoWriteString("MEMSH_STATUS", status);
    /* The facades address one set with names written without the prefix. */
    int32_t value = cycle;
    MemShWriteVarName("CYCLE", (const char*)&value);
    SleepMs(100);
  }
  KeltoWriteString("MEMSH_STATUS", "finished");
  KeltoClose();
  return 0;
}

static int RunReader(int reads) {
  KeltoOpen();
  if (KeltoGetNumberOfItems() == 0) {
    fprintf(stderr, "no table: see kelto_log.txt in $KELTO_DIR\n");
    return 1;
  }
  const int32_t speed_ident = KeltoGetIdentVarName("IORSH_SPEED");
  for (int i = 0; i < reads; ++i) {
    int32_t speed = 0;
    char status[64];
    KeltoReadVar(speed_ident, (char*)&speed); /* by ident: the fastest way */
    KeltoReadString("MEMSH_STATUS", status);
    printf("speed %4d  temperature %6.2f  valve %d  cycle %3d  status \"%s\"\n", speed,
           KeltoReadDouble("IORSH_TEMPERATURE"), KeltoReadByte("IORSH_VALVE_OPEN"),
           KeltoReadInt32("MEMSH_CYCLE"), status);
    fflush(stdout);
    SleepMs(200);
  }
  KeltoClose();
  return 0;
}

int main(int argc, char** argv) {
  const int count = argc > 2 ? atoi(argv[2]) : 20;
  if (argc > 1 && strcmp(argv[1], "writer") == 0) return RunWriter(count);
  if (argc > 1 && strcmp(argv[1], "reader") == 0) return RunReader(count);
  fprintf(stderr, "usage: %s writer|reader [COUNT]\n", argv[0]);
  return 2;
}
