/* The tap's control interface, beside the library functions it forwards. The Python
 * package qxsdk_tap drives it; a C program may too. */
#ifndef QXTAP_H
#define QXTAP_H

#ifdef __cplusplus
extern "C" {
#endif

/* Loads the target library at `target`, in front of which the tap stands, and with a
 * non-null `record` starts recording into that file (created or truncated, mode 0600).
 * redact: 0 writes secrets in clear; wait_when_full: 1 makes a calling thread wait for
 * room in the buffer instead of dropping its entry; buffer_bytes: 0 for the default.
 * Returns 0, or -1 with qxtap_error() saying why. Only once per loaded tap. */
int qxtap_start(const char* target, const char* record, int redact, int wait_when_full,
                long long buffer_bytes);
/* Loads the target the environment (QXSDK_TAP_*) named, which the first library call
 * would otherwise do. 0, or -1 with qxtap_error(). */
int qxtap_load(void);
const char* qxtap_error(void);
/* The target and recording file the tap was started with, or that the environment
 * names; null before either. */
const char* qxtap_target(void);
const char* qxtap_record(void);
/* 1 while calls and events are being recorded. */
int qxtap_recording(void);
/* The secrets, "function.item" comma-separated, whether or not they are redacted. */
const char* qxtap_secrets(void);
/* Waits until every entry recorded before the call is in the file. */
void qxtap_flush(void);
/* Stops recording: the rest of the buffer and the trailer are written, the file is
 * closed; calls are still forwarded. Also done when the process exits. */
void qxtap_finish(void);
/* out[6]: calls, events, dropped calls, dropped events, bytes written, event callbacks
 * passed on unwrapped (more distinct ones than the tap has receivers for). */
void qxtap_stats(long long* out);

#ifdef __cplusplus
}
#endif

#endif /* QXTAP_H */
