/* Probe of the benchmark event, linked statically into the benchmark programs
 * (they register with the session daemon when they start). */
#define LTTNG_UST_TRACEPOINT_CREATE_PROBES
#define LTTNG_UST_TRACEPOINT_DEFINE
#include "bench/lttng/KivBenchTracepoint.h"
