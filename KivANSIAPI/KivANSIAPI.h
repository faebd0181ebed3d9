/* The trace facility's client API, for C and C++ applications.
 *
 * Every function works on one process-wide object created by the first call:
 * the filter rules read from "KivConfigLinux.xml" and a monitor thread that
 * registers the process with the trace dispatcher while it runs (and again
 * whenever it restarts). The functions may be called from any thread.
 *
 * Handles are small integers that stay valid for the life of the process; the
 * same name always gives the same handle (names are case-sensitive).
 *
 * Results: KivTraceEnabledEx answers 1 or 0 and never fails. The others
 * return 0, or -1 on failure, whose text goes to the system log (identity
 * "KIVAPI", error priority). The control functions fail when no dispatcher
 * runs or it did not confirm within about 2 seconds.
 */
#ifndef KIVANSIAPI_KIVANSIAPI_H
#define KIVANSIAPI_KIVANSIAPI_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define KIVANSIAPI_EXPORT __attribute__((visibility("default")))
#else
#define KIVANSIAPI_EXPORT
#endif

/* Client number meaning "no client": the module-label question. */
#define KIV_NO_CLIENT 0xFFFFFFFFu

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when tracing is enabled for the module, client and label under the
 * configured rules and not paused by the dispatcher, else 0. With
 * KIV_NO_CLIENT the client rules are not consulted. Unknown handles and
 * client numbers never registered with the module answer 0. */
KIVANSIAPI_EXPORT int KivTraceEnabledEx(int moduleHandle, uint32_t clientNumber, int labelHandle);

/* The handle of a module or label name, stored in *moduleHandle or
 * *labelHandle. */
KIVANSIAPI_EXPORT int KivGetModuleHandle(const char* moduleName, int* moduleHandle);
KIVANSIAPI_EXPORT int KivGetLabelHandle(const char* labelName, int* labelHandle);

/* Makes clientNumber (chosen by the caller) stand for the client clientName
 * in the module; a number already registered with the module keeps its
 * first client. */
KIVANSIAPI_EXPORT int KivRegisterClient(int moduleHandle, uint32_t clientNumber, const char* clientName);

/* Requests to the running dispatcher, each confirmed by it: pause and resume
 * tracing in every registered process, reload the configuration file, turn
 * preservation mode on or off. */
KIVANSIAPI_EXPORT int KivPause(void);
KIVANSIAPI_EXPORT int KivResume(void);
KIVANSIAPI_EXPORT int KivReloadConfig(void);
KIVANSIAPI_EXPORT int KivPreservationOn(void);
KIVANSIAPI_EXPORT int KivPreservationOff(void);

/* ---- Writing trace records ------------------------------------------------
 *
 * A record carries the names behind the module and label handles (and the
 * client number's name unless KIV_NO_CLIENT), the time, the calling thread's
 * kernel id and the message. It is written when KivTraceEnabledEx answers 1
 * for the same arguments and the process is registered with a running
 * dispatcher. These calls never wait for the dispatcher and never fail the
 * caller: with tracing disabled they return at once, and a record that finds
 * no room in the process's trace buffer is dropped and counted.
 */

/* Longest message text a record carries; longer texts are cut. */
#define KIV_MAX_MESSAGE_LENGTH 1016

/* printf-style message. Returns 1 when the record was written, else 0. */
KIVANSIAPI_EXPORT int KivTrace(int moduleHandle, uint32_t clientNumber, int labelHandle, const char* format,
                               ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

/* `length` bytes of `text` (need not be NUL-terminated). Returns 1 when the
 * record was written, else 0. */
KIVANSIAPI_EXPORT int KivTraceText(int moduleHandle, uint32_t clientNumber, int labelHandle, const char* text,
                                   size_t length);

/* 1 while the process is registered with a running dispatcher, so that
 * enabled records have somewhere to go, else 0. */
KIVANSIAPI_EXPORT int KivTraceConnected(void);

/* Records this process has written, and records it could not write (trace
 * buffer full, or enabled while no dispatcher was connected), since it
 * started or was forked. Either pointer may be NULL. Returns 0. */
KIVANSIAPI_EXPORT int KivGetTraceStatistics(uint64_t* written, uint64_t* dropped);

#ifdef __cplusplus
}
#endif

#endif /* KIVANSIAPI_KIVANSIAPI_H */
