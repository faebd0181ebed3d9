/* The peer tracer's event for the benchmarks: one integer and a text of a
 * given length, the same payload the trace calls of the benchmarks carry. */
#undef LTTNG_UST_TRACEPOINT_PROVIDER
#define LTTNG_UST_TRACEPOINT_PROVIDER kivbench

#undef LTTNG_UST_TRACEPOINT_INCLUDE
#define LTTNG_UST_TRACEPOINT_INCLUDE "bench/lttng/KivBenchTracepoint.h"

#if !defined(KIV_BENCH_TRACEPOINT_H) || defined(LTTNG_UST_TRACEPOINT_HEADER_MULTI_READ)
#define KIV_BENCH_TRACEPOINT_H

#include <lttng/tracepoint.h>
#include <stddef.h>

LTTNG_UST_TRACEPOINT_EVENT(kivbench, record,
                           LTTNG_UST_TP_ARGS(int, value, const char *, text, size_t, length),
                           LTTNG_UST_TP_FIELDS(lttng_ust_field_integer(int, value, value)
                                                   lttng_ust_field_sequence_text(char, text, text,
                                                                                 size_t, length)))

#endif /* KIV_BENCH_TRACEPOINT_H */

#include <lttng/tracepoint-event.h>
