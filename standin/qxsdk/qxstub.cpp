// The control interface (qxstub.h): scripts answers, queues events and reads the journal.
// Control calls are not journalled.
#include "qxstub.h"

#include "answers.hpp"
#include "events.hpp"
#include "journal.hpp"
#include "replay.hpp"
#include "state.hpp"

#include <algorithm>
#include <optional>
#include <string>

using namespace standin;

extern "C" {

void qxstub_reset(void) {
    Lock lk(mu);
    st = State{};
    replay_answer = {};
    ++resets;
}

int qxstub_journal_count(void) {
    Lock lk(mu);
    return static_cast<int>(st.journal.size());
}

const char* qxstub_journal_entry(int index) {
    thread_local std::string copy;  // the journal may drop the entry once the lock is released
    Lock lk(mu);
    const long long n = static_cast<long long>(st.journal.size());
    const long long i = index < 0 ? n + index : index;
    if (i < 0 || i >= n) return nullptr;
    copy = st.journal[static_cast<std::size_t>(i)];
    return copy.c_str();
}

void qxstub_journal_clear(void) {
    Lock lk(mu);
    st.journal.clear();
    st.journal_bytes = 0;
}

void qxstub_journal_caps(long long entries, long long bytes, long long request_bytes) {
    Lock lk(mu);
    if (entries >= 0) st.journal_entry_cap = entries;
    if (bytes >= 0) st.journal_byte_cap = bytes;
    if (request_bytes >= 0) st.journal_request_cap = request_bytes;
    trim_journal();
}

long long qxstub_journal_bytes(void) {
    Lock lk(mu);
    return st.journal_bytes;
}

void qxstub_journal_enable(int on) {
    Lock lk(mu);
    st.journal_on = on != 0;
}

void qxstub_push_status(const char* fn, int status) {
    if (!fn) return;
    Lock lk(mu);
    script_for(fn).statuses.push_back(status);
}

void qxstub_push_response(const char* fn, const char* data, int len) {
    if (!fn) return;
    Lock lk(mu);
    script_for(fn).responses.push_back(Response::of(data, len));
}

void qxstub_push_text(const char* fn, const char* text) {
    if (!fn) return;
    Lock lk(mu);
    script_for(fn).texts.push_back(text ? std::optional<std::string>(text) : std::nullopt);
}

void qxstub_push_response_without_length(const char* fn, const char* data, int size) {
    if (!fn) return;
    Lock lk(mu);
    script_for(fn).responses.push_back(Response::of(data, size, false));
}

int qxstub_unconsumed(const char* fn) {
    Lock lk(mu);
    std::size_t n = 0;
    for (const auto& [name, s] : st.scripts)
        if (!fn || name == fn) n += s.statuses.size() + s.responses.size() + s.texts.size();
    return static_cast<int>(n);
}

void qxstub_set_now(long long now_ms) {
    Lock lk(mu);
    st.now = now_ms;
}

void qxstub_set_session(int steps, int step_ms) {
    Lock lk(mu);
    st.steps = std::max(steps, 0);
    st.step_ms = std::max(step_ms, 1);
}

void qxstub_push_event(const char* text, const char* payload, int len) {
    Lock lk(mu);
    st.queue.push_back({make_event(text, payload, len), 1, true});
}

void qxstub_flood_events(const char* text, const char* payload, int len, long long count) {
    if (count <= 0) return;
    Lock lk(mu);
    st.queue.push_back({make_event(text, payload, len), count, true});
}

void qxstub_fire_from_thread(const char* text, const char* payload, int len) {
    Lock lk(mu);
    deliver_from_thread(lk, make_event(text, payload, len));
}

void qxstub_fire_from_thread_in_next_call(const char* text, const char* payload, int len) {
    Lock lk(mu);
    st.next_call_events.push_back(make_event(text, payload, len));
}

void qxstub_expire_event_buffers(int how) {
    Lock lk(mu);
    st.event_expiry = how == 1 || how == 2 ? how : 0;
}

long long qxstub_pending_events(void) {
    Lock lk(mu);
    return pending_total();
}

long long qxstub_pending_pushed_events(void) {
    Lock lk(mu);
    return pending_pushed();
}

long long qxstub_delivered_events(void) {
    Lock lk(mu);
    return st.delivered;
}

void qxstub_replay_prepare(void) {
    Lock lk(mu);
    st.replay_next = std::make_shared<Replay>();
}

namespace {

// The latest call of the recording being handed over, if any.
RecordedCall* latest_call() {
    return st.replay_next && !st.replay_next->calls.empty() ? &st.replay_next->calls.back() : nullptr;
}

}  // namespace

void qxstub_replay_call(const char* fn, const char* args, int parent) {
    Lock lk(mu);
    if (!fn || !args || !st.replay_next) return;
    Replay& r = *st.replay_next;
    if (parent < 0 || static_cast<std::size_t>(parent) >= r.events.size()) parent = -1;
    r.steps.push_back({false, static_cast<int>(r.calls.size())});
    r.calls.push_back({fn, args, parent, {}, {}, false, {}, {}});
}

void qxstub_replay_number(long long value) {
    Lock lk(mu);
    if (RecordedCall* c = latest_call()) c->number = value;
}

void qxstub_replay_real(double value) {
    Lock lk(mu);
    if (RecordedCall* c = latest_call()) c->real = value;
}

void qxstub_replay_text(const char* text) {
    Lock lk(mu);
    if (RecordedCall* c = latest_call()) {
        c->has_text = true;
        c->text = text ? std::optional<std::string>(text) : std::nullopt;
    }
}

void qxstub_replay_response(const char* data, int len) {
    Lock lk(mu);
    if (RecordedCall* c = latest_call()) c->response = Response::of(data, len);
}

void qxstub_replay_event(const char* text, const char* payload, int len, int inside) {
    Lock lk(mu);
    if (!st.replay_next) return;
    Replay& r = *st.replay_next;
    if (inside < 0 || static_cast<std::size_t>(inside) >= r.calls.size()) inside = -1;
    r.steps.push_back({true, static_cast<int>(r.events.size())});
    r.events.push_back({make_event(text, payload, len), inside});
}

void qxstub_replay_start(int strict) {
    Lock lk(mu);
    start_replay(strict != 0);
}

long long qxstub_replay_left(void) {
    Lock lk(mu);
    return st.replay ? replay_left(*st.replay) : -1;
}

const char* qxstub_replay_next(void) {
    thread_local std::string copy;
    Lock lk(mu);
    if (!st.replay || replay_left(*st.replay) <= 0) return nullptr;
    copy = replay_next(*st.replay);
    return copy.c_str();
}

const char* qxstub_replay_divergence(void) {
    thread_local std::string copy;
    Lock lk(mu);
    if (!st.replay || !st.replay->divergence) return nullptr;
    copy = *st.replay->divergence;
    return copy.c_str();
}

}  // extern "C"
