#include "events.hpp"

#include "text.hpp"

#include <thread>

namespace standin {

EventPtr make_event(const char* text, const char* payload, int len) {
    auto ev = std::make_shared<Event>();
    if (text) ev->text = text;
    ev->has_payload = payload != nullptr;
    if (payload && len > 0) ev->payload.assign(payload, payload + len);
    ev->len = len;
    return ev;
}

EventPtr session_event(const char* text, const std::string& json) {
    return make_event(text, json.data(), static_cast<int>(json.size()));
}

long long pending_total() {
    long long n = 0;
    for (const auto& q : st.queue) n = sat_add(n, q.count);
    return n;
}

long long pending_pushed() {
    long long n = 0;
    for (const auto& q : st.queue)
        if (q.pushed) n = sat_add(n, q.count);
    return n;
}

namespace {

constexpr char kNoBytes[1] = {0};

void invoke(qxi_event_callback cb, const Event& ev) {
    cb(ev.text ? ev.text->c_str() : nullptr,
       ev.has_payload ? (ev.payload.empty() ? kNoBytes : ev.payload.data()) : nullptr, ev.len);
}

// Calls the callback with the lock released; `ev` is our own reference, so the callback may
// reset or refill the queue. Without a callback the event is dropped.
void dispatch(Lock& lk, const EventPtr& ev) {
    const qxi_event_callback cb = st.cb;
    if (!cb) return;
    ++st.delivered;
    lk.unlock();
    invoke(cb, *ev);
    lk.lock();
}

}  // namespace

bool deliver_queued(Lock& lk) {
    if (st.queue.empty()) return false;
    const EventPtr ev = st.queue.front().ev;
    if (--st.queue.front().count <= 0) st.queue.pop_front();
    dispatch(lk, ev);
    return true;
}

void drain(Lock& lk) {
    while (!stop_requested && deliver_queued(lk)) {
    }
}

void emit(Lock& lk, const char* text, const std::string& json) {
    if (stop_requested) return;
    dispatch(lk, session_event(text, json));
    if (draining) drain(lk);
}

void deliver(Lock& lk, const EventPtr& ev) { dispatch(lk, ev); }

void deliver_from_thread(Lock& lk, const EventPtr& ev) {
    const qxi_event_callback cb = st.cb;
    if (!cb) return;
    ++st.delivered;
    lk.unlock();
    std::thread([cb, ev] { invoke(cb, *ev); }).join();
}

}  // namespace standin
