#ifndef KIV_TRACE_H
#define KIV_TRACE_H
/*
 * Writing trace records (C linkage).
 *
 * `module` and `label` are handles from KivGetModuleHandle and
 * KivGetLabelHandle; `client` is a client number given to
 * KivRegisterClient for that module, or KIV_NO_CLIENT. A record carries the
 * names behind them, the time, the calling thread's kernel id and the text.
 *
 * A record is written when KivTraceEnabledEx(module, client, label) answers
 * 1 and the process is registered with a running dispatcher. The calls never
 * wait for the dispatcher and never fail the caller: with tracing disabled
 * they return at once, and a record that finds no room in the process's
 * trace buffer is dropped and counted. Safe from any thread.
 */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Client number meaning "no particular client". */
#define KIV_NO_CLIENT 4294967295u

/* Longest message text a record carries; longer texts are cut. */
#define KIV_MAX_MESSAGE_LENGTH 1016

/* printf-style message. Returns 1 when the record was written, else 0. */
int KivTrace(int module, uint32_t client, int label, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

/* `length` bytes of `text` (need not be NUL-terminated). Returns 1 when the
 * record was written, else 0. */
int KivTraceText(int module, uint32_t client, int label, const char* text, size_t length);

/* Records this process has written, and records it dropped because the
 * trace buffer was full or gone, since it started (or was forked). Either
 * pointer may be NULL. Returns 0. */
int KivGetTraceStatistics(uint64_t* written, uint64_t* dropped);

#ifdef __cplusplus
}
#endif

#endif /* KIV_TRACE_H */
