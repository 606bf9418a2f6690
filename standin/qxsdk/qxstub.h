/* Control interface of the qxsdk stand-in library.
 *
 * These functions are not part of the trading library; they let tests script its
 * answers, queue events and inspect every call it received. They never appear in the
 * call journal. Unless noted, they may be called from any thread, including from
 * inside an event callback.
 */
#ifndef QXSTUB_H
#define QXSTUB_H

#define QXSTUB_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Back to the initial state: journal and its caps, scripts, queued events, callback,
 * subscriptions, timers, schedules, bus topics, orders/positions/cash, remembered
 * settings, session shape, clock and counters. Called from a callback inside qxi_run, it
 * also ends the session that run is playing. */
QXSTUB_API void qxstub_reset(void);

/* ---- Call journal (see qxstub_journal_caps for what is kept) ---- */
QXSTUB_API int qxstub_journal_count(void);
/* Entry as JSON text, or NULL when out of range; a negative index counts from the end
 * (-1 is the last call). The text stays valid until the next qxstub_journal_entry call
 * on the same thread. */
QXSTUB_API const char* qxstub_journal_entry(int index);
QXSTUB_API void qxstub_journal_clear(void);
/* 0 stops recording (for long runs: no entry is built, no argument read), non-zero
 * resumes it. */
QXSTUB_API void qxstub_journal_enable(int on);
/* Bounds the journal (a negative value keeps that cap): at most `entries` entries
 * (default 100000) and `bytes` bytes of entry text (default 64 MiB), the oldest dropped
 * first; a request longer than `request_bytes` (default 1 MiB) is recorded by its first
 * `request_bytes` bytes plus "truncated":true and its "size". */
QXSTUB_API void qxstub_journal_caps(long long entries, long long bytes, long long request_bytes);
/* Bytes of entry text held now. */
QXSTUB_API long long qxstub_journal_bytes(void);

/* ---- Scripting: per function name, first in first out ---- */
/* Next status (or id, for id-returning functions) returned by fn. */
QXSTUB_API void qxstub_push_status(const char* fn, int status);
/* Next response stored by fn through (char** res, int* res_len): a library-owned copy of
 * max(len, 0) bytes of data, or a null pointer when data is NULL; len is stored as given. */
QXSTUB_API void qxstub_push_response(const char* fn, const char* data, int len);
/* Next response stored by fn through `res` alone: a library-owned copy of max(size, 0)
 * bytes of data, or a null pointer when data is NULL, while *res_len is left unwritten
 * (as the caller preset it), as a library that forgets the length does. */
QXSTUB_API void qxstub_push_response_without_length(const char* fn, const char* data, int size);
/* Next text returned by a text-returning fn (or stored by qxi_get_serv_addr); NULL makes
 * it return/store a null pointer. */
QXSTUB_API void qxstub_push_text(const char* fn, const char* text);
/* Scripted items of fn (all functions when fn is NULL) not yet consumed. */
QXSTUB_API int qxstub_unconsumed(const char* fn);

/* ---- Virtual clock and session shape ---- */
QXSTUB_API void qxstub_set_now(long long now_ms);
/* qxi_run plays `steps` steps of `step_ms` virtual milliseconds (defaults 60 x 1000). */
QXSTUB_API void qxstub_set_session(int steps, int step_ms);

/* ---- Events ---- */
/* Queue one event, passed to the callback exactly as given (text and payload may be NULL,
 * len may be negative; max(len, 0) payload bytes are copied). */
QXSTUB_API void qxstub_push_event(const char* text, const char* payload, int len);
/* Queue `count` deliveries of the same event without storing `count` copies. */
QXSTUB_API void qxstub_flood_events(const char* text, const char* payload, int len, long long count);
/* Call the registered callback once from a new thread and wait for that thread. */
QXSTUB_API void qxstub_fire_from_thread(const char* text, const char* payload, int len);
/* The next library call (from whichever thread) calls the registered callback once with
 * this event from a new thread and waits for that thread before answering: the caller
 * keeps whatever it holds meanwhile. Events scripted so are fired in order by that call;
 * qxstub_reset drops those not fired yet. */
QXSTUB_API void qxstub_fire_from_thread_in_next_call(const char* text, const char* payload, int len);
/* What happens to the text and payload of an event being delivered when its callback
 * calls a library function (any qxi_ function): 0 nothing (the default), 1 every byte of
 * both is overwritten with '#' (the text's terminator kept), 2 both are freed. While it is
 * not 0, each delivery passes its own copies, of exact size; qxstub_reset sets 0. */
QXSTUB_API void qxstub_expire_event_buffers(int how);
/* Queued deliveries not yet made (a flood counts each copy). */
QXSTUB_API long long qxstub_pending_events(void);
/* Of those, the ones queued through qxstub_push_event and qxstub_flood_events: without
 * the events the library queues itself (execution reports, bus messages). */
QXSTUB_API long long qxstub_pending_pushed_events(void);
/* Callback invocations since the last reset. */
QXSTUB_API long long qxstub_delivered_events(void);

/* ---- Replay: answers from a recorded session ----
 * The recording is handed over entry by entry, calls and events in the order they started:
 * qxstub_replay_prepare, then per call qxstub_replay_call followed by what it answered, per
 * event qxstub_replay_event, then qxstub_replay_start. From then on every library call is
 * answered from it instead of the simulator (scripted answers and queued events wait), until
 * qxstub_reset or the next qxstub_replay_start. A call that differs from the recording fails
 * with status 1006, as does every call after it; qxstub_replay_divergence says why. */
/* Starts handing over a recording, dropping one handed over in part. */
QXSTUB_API void qxstub_replay_prepare(void);
/* A recorded call: fn, its arguments as the journal writes them (a JSON array) where "*" as
 * the hex of a text stands for any text that is not null (a redacted one), and the index of
 * the recorded event from whose callback it was made (-1 for none). */
QXSTUB_API void qxstub_replay_call(const char* fn, const char* args, int parent);
/* What the latest recorded call answered: its int or long long result; its double result;
 * the text it returned or stored through its char** (NULL: a null pointer; not given: the
 * stand-in's own text); the response it stored (as qxstub_push_response). */
QXSTUB_API void qxstub_replay_number(long long value);
QXSTUB_API void qxstub_replay_real(double value);
QXSTUB_API void qxstub_replay_text(const char* text);
QXSTUB_API void qxstub_replay_response(const char* data, int len);
/* A recorded event (as qxstub_push_event), delivered inside the recorded call of index
 * `inside`, or (-1) from a library thread outside any call. */
QXSTUB_API void qxstub_replay_event(const char* text, const char* payload, int len, int inside);
/* Plays what was handed over; strict non-zero: the calls must come in the recorded order
 * with the recorded arguments, else each function takes its recorded answers in order. */
QXSTUB_API void qxstub_replay_start(int strict);
/* Recorded calls and events not played yet; -1 without a replay. */
QXSTUB_API long long qxstub_replay_left(void);
/* The next recorded call or event not played, as text; NULL when none is left. */
QXSTUB_API const char* qxstub_replay_next(void);
/* Which call the replay expected and which came, at the first call that differed; NULL while
 * the replay follows the recording (or without one). The texts stay valid until the next call
 * of the same function on the same thread. */
QXSTUB_API const char* qxstub_replay_divergence(void);

#ifdef __cplusplus
}
#endif

#endif /* QXSTUB_H */
