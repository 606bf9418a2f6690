// The call journal: one JSON entry per library call, bounded by the journal caps.
#pragma once

#include "events.hpp"
#include "state.hpp"
#include "text.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace standin {

// One entry: {"fn":name,"args":[{"k":kind,...},...]}. With the journal off nothing is
// built and no argument is read, unless a replay needs the entry to check the call.
// Called with the lock held.
class Rec {
public:
    explicit Rec(const char* fn) : on_(st.journal_on || st.replay), fn_(fn) {
        if (on_) begin(fn);
    }
    bool on() const { return on_; }
    const char* fn() const { return fn_; }
    Rec& str(const char* p) { return on_ ? text(p) : *this; }
    Rec& req(const char* p, int n) { return on_ ? request(p, n) : *this; }
    Rec& i(long long v) { return on_ ? add("{\"k\":\"int\",\"v\":" + std::to_string(v) + "}") : *this; }
    Rec& d(double v) { return on_ ? add("{\"k\":\"real\",\"v\":" + real(v) + "}") : *this; }
    Rec& b(bool v) {
        return on_ ? add(v ? "{\"k\":\"bool\",\"v\":true}" : "{\"k\":\"bool\",\"v\":false}") : *this;
    }
    Rec& out(const void* p) { return on_ ? ptr("out", p != nullptr) : *this; }
    Rec& cb(bool set) { return on_ ? ptr("cb", set) : *this; }
    std::string take() {
        s_ += "]}";
        return std::move(s_);
    }

private:
    [[gnu::noinline]] void begin(const char* fn);
    [[gnu::noinline]] Rec& text(const char* p);
    [[gnu::noinline]] Rec& request(const char* p, int n);
    Rec& add(std::string_view a) {
        if (n_++) s_ += ',';
        s_ += a;
        return *this;
    }
    Rec& null(const char* k) { return add(std::string("{\"k\":\"") + k + "\",\"null\":true}"); }
    Rec& ptr(const char* k, bool set) {
        return add(std::string("{\"k\":\"") + k + "\",\"null\":" + (set ? "false" : "true") + "}");
    }
    Rec& bytes(const char* k, const char* p, std::size_t n);
    bool on_;
    const char* fn_;
    std::string s_;
    int n_ = 0;
};

// Drops the oldest entries until the journal is within its caps.
void trim_journal();

// Appends one entry to the journal.
inline void keep(std::string entry) {
    st.journal_bytes += static_cast<long long>(entry.size());
    st.journal.push_back(std::move(entry));
    trim_journal();
}

// While a replay plays: checks the call against the recording, journals it and delivers
// the events recorded inside it (replay.cpp).
void replay_enter(Rec& r);

// Every library call starts here; the previous call's buffers are released as documented.
inline void enter(Rec& r) {
    held.clear();
    if (r.on()) {
        if (st.replay) [[unlikely]]
            replay_enter(r);
        else
            keep(r.take());
    }
    if (st.event_expiry != 0 || !st.next_call_events.empty()) [[unlikely]]
        events_at_call();
}
inline void enter(Rec&& r) { enter(r); }

}  // namespace standin
