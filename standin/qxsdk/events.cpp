#include "events.hpp"

#include "answers.hpp"
#include "text.hpp"

#include <algorithm>
#include <cstring>
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

// The text and payload of an event being delivered, when they expire at the callback's
// next library call (qxstub_expire_event_buffers): blocks of their own, of exact size (the
// text with its terminator), so that a late read is a use after free or sees other bytes.
struct Delivery {
    std::unique_ptr<char[]> text, payload;
    std::size_t text_size = 0, payload_size = 0;  // the bytes overwritten (not the terminator)
};
// Deliveries whose callback is running, on any thread. Kept across qxstub_reset: they are on
// the call stack.
std::vector<Delivery*> in_delivery;

void invoke_expiring(qxi_event_callback cb, const Event& ev, Lock& lk) {
    Delivery d;
    if (ev.text) {
        d.text_size = ev.text->size();
        d.text = exact_copy(ev.text->c_str(), d.text_size + 1);
    }
    if (!ev.payload.empty()) {
        d.payload_size = ev.payload.size();
        d.payload = exact_copy(ev.payload.data(), d.payload_size);
    }
    const char* payload = ev.has_payload ? (d.payload ? d.payload.get() : kNoBytes) : nullptr;
    in_delivery.push_back(&d);
    lk.unlock();
    cb(d.text.get(), payload, ev.len);
    lk.lock();
    in_delivery.erase(std::find(in_delivery.begin(), in_delivery.end(), &d));
}

// Calls the callback with the lock released; `ev` is our own reference, so the callback may
// reset or refill the queue. Without a callback the event is dropped.
void dispatch(Lock& lk, const EventPtr& ev) {
    const qxi_event_callback cb = st.cb;
    if (!cb) return;
    ++st.delivered;
    if (st.event_expiry != 0) return invoke_expiring(cb, *ev, lk);
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
    lk.lock();
}

void events_at_call() {
    for (Delivery* d : in_delivery) {
        if (st.event_expiry == 2) {
            d->text.reset();
            d->payload.reset();
        } else if (st.event_expiry == 1) {
            if (d->text) std::memset(d->text.get(), '#', d->text_size);
            if (d->payload) std::memset(d->payload.get(), '#', d->payload_size);
        }
    }
    // The caller keeps waiting inside its library call, holding whatever it holds (a
    // Python caller: the interpreter lock), while a library thread calls the callback.
    std::vector<EventPtr> events;
    events.swap(st.next_call_events);
    Lock lk(mu, std::adopt_lock);  // the caller's hold, given back held
    for (const EventPtr& ev : events) deliver_from_thread(lk, ev);
    lk.release();
}

}  // namespace standin
