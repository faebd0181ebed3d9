/*
 * traced_app: a small application traced through the Kiv client library.
 *
 *   traced_app [records-per-thread [threads [wait-seconds [hold]]]]
 *
 * Every thread writes its records round-robin over two modules, four labels
 * and two clients; the message names the thread and the record number
 * ("thread 2 record 17"). What reaches the log depends on the filter rules
 * of the configuration file; under the default configuration the
 * "Example" module's records are logged and the "Disabled" module's are not.
 *
 * The program waits up to wait-seconds (default 5) for a running dispatcher
 * to take its records, and when the trace buffer is full it waits a moment
 * and writes the record again, so that none are lost. With "hold" it stays
 * registered after writing until its standard input ends, as a long-running
 * service would. Build it with
 *
 *   cc traced_app.c -o traced_app $(pkg-config --cflags --libs kivansiapi) -lpthread
 */
#define _POSIX_C_SOURCE 200809L
#include <KivANSIAPI.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { kLabels = 4, kRetries = 2000 };

static int s_Example, s_Disabled;
static int s_Labels[kLabels];
static const char* const s_LabelNames[kLabels] = {"Error", "Warning", "Debug", "Verbose"};
static long s_RecordsPerThread = 1000;

static void SleepMs(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

/* Writes one record; returns 1 when it is in the log's way, 0 when the
 * rules disable it or it could not be placed even after waiting. */
static int TraceOne(int module, uint32_t client, int label, long thread, long record) {
  int attempt;
  if (!KivTraceEnabledEx(module, client, label)) return 0;
  for (attempt = 0; attempt < kRetries; ++attempt) {
    if (KivTrace(module, client, label, "thread %ld record %ld", thread, record)) return 1;
    /* Enabled but not written: the trace buffer is full for the moment
     * (or the dispatcher has just gone). */
    SleepMs(1);
  }
  return 0;
}

static void* Worker(void* arg) {
  long thread = (long)arg, record, logged = 0;
  for (record = 0; record < s_RecordsPerThread; ++record) {
    int label = s_Labels[record % kLabels];
    /* Clients 1 and 2 of "Example" take turns; every fifth record has no
     * client, every seventh goes to the disabled module. */
    uint32_t client = record % 5 == 0 ? KIV_NO_CLIENT : (uint32_t)(1 + record % 2);
    int module = record % 7 == 6 ? s_Disabled : s_Example;
    logged += TraceOne(module, client, label, thread, record);
  }
  return (void*)logged;
}

int main(int argc, char** argv) {
  long threads = 4, waitSeconds = 5, i, logged = 0;
  pthread_t ids[64];
  uint64_t written = 0, dropped = 0;
  int l, hold = 0;

  if (argc > 1) s_RecordsPerThread = atol(argv[1]);
  if (argc > 2) threads = atol(argv[2]);
  if (argc > 3) waitSeconds = atol(argv[3]);
  if (argc > 4) hold = strcmp(argv[4], "hold") == 0;
  if (s_RecordsPerThread < 0 || threads < 1 || threads > 64 || waitSeconds < 0 || (argc > 4 && !hold)) {
    fprintf(stderr, "usage: %s [records-per-thread [threads (1-64) [wait-seconds [hold]]]]\n", argv[0]);
    return 2;
  }

  if (KivGetModuleHandle("Example", &s_Example) != 0 || KivGetModuleHandle("Disabled", &s_Disabled) != 0) {
    fprintf(stderr, "traced_app: no module handles\n");
    return 1;
  }
  for (l = 0; l < kLabels; ++l) KivGetLabelHandle(s_LabelNames[l], &s_Labels[l]);
  KivRegisterClient(s_Example, 1, "ExampleClient");
  KivRegisterClient(s_Example, 2, "OtherClient");
  KivRegisterClient(s_Disabled, 1, "ExampleClient");

  for (i = 0; i < waitSeconds * 10 && !KivTraceConnected(); ++i) SleepMs(100);
  printf("traced_app: pid %ld, dispatcher %s\n", (long)getpid(),
         KivTraceConnected() ? "connected" : "not running");

  for (i = 0; i < threads; ++i) pthread_create(&ids[i], NULL, Worker, (void*)i);
  for (i = 0; i < threads; ++i) {
    void* result = NULL;
    pthread_join(ids[i], &result);
    logged += (long)result;
  }
  KivGetTraceStatistics(&written, &dropped);
  printf(
      "traced_app: %ld threads x %ld records, %ld enabled and written; library counts %llu written, %llu not "
      "written\n",
      threads, s_RecordsPerThread, logged, (unsigned long long)written, (unsigned long long)dropped);
  fflush(stdout);
  if (hold) {
    while (getchar() != EOF) {
    }
  }
  return 0;
}
