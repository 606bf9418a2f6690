// Deterministic in-process implementation of the qxsdk trading library (qxsdk.h) plus the
// control interface tests use to drive it (qxstub.h). It has no clock, network, files,
// environment or randomness of its own: every answer follows from the calls it received.
//
// Locking: one mutex guards all state. It is never held while the event callback runs, so
// the callback may call back into the library (or the control interface) freely; every
// loop that delivers events re-reads the state after each callback.
#include "qxsdk.h"
#include "qxstub.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Lock = std::unique_lock<std::mutex>;

constexpr long long kDefaultNow = 1767225600000LL;  // 2026-01-01T00:00:00Z
constexpr int kDefaultSteps = 60;
constexpr int kDefaultStepMs = 1000;
// Journal caps (qxstub_journal_caps): entries kept, bytes of entry text kept, and bytes
// of one request recorded before it is recorded truncated.
constexpr long long kJournalEntries = 100000;
constexpr long long kJournalBytes = 64LL << 20;
constexpr long long kJournalRequestBytes = 1LL << 20;
constexpr long long kDefaultCashCents = 100000000LL;  // 1000000.00

// Failure codes this library produces by itself (texts in qxi_strerror).
enum : int {
    kOk = 0,
    kErrToken = 1000,
    kErrParam = 1001,
    kErrTopic = 1002,
    kErrRequest = 1003,
    kErrUnknownId = 1004,
    kErrBusy = 1005,
};

// ---------------------------------------------------------------- text helpers

// Appends s as a JSON string; bytes >= 0x80 pass through untouched.
void quote(std::string& out, std::string_view s) {
    out += '"';
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += ch;
        }
    }
    out += '"';
}

std::string quoted(std::string_view s) {
    std::string out;
    quote(out, s);
    return out;
}

// Full precision and locale-independent; non-finite values as the tokens Python accepts.
std::string real(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
    char b[40];
    const auto r = std::to_chars(b, b + sizeof b, v, std::chars_format::general, 17);
    std::string s(b, r.ptr);
    if (s.find_first_of(".e") == std::string::npos) s += ".0";  // stays a real: keeps -0.0
    return s;
}

// Prices and amounts are kept in integer cents so their decimal form is exact.
std::string cents(long long c) {
    const unsigned long long a = c < 0 ? 0ULL - static_cast<unsigned long long>(c) : c;
    char b[32];
    std::snprintf(b, sizeof b, "%s%llu.%02llu", c < 0 ? "-" : "", a / 100, a % 100);
    return b;
}

std::uint64_t fnv(std::string_view s) {
    std::uint64_t h = 1469598103934665603ULL;
    for (const char c : s) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ULL;
    }
    return h;
}

std::string text_or_empty(const char* p) { return p ? std::string(p) : std::string(); }

long long sat_add(long long a, long long b) {
    long long r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? LLONG_MAX : LLONG_MIN;
    return r;
}

long long floor_div(long long a, long long b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// ---------------------------------------------------------------- state

struct Event {
    std::optional<std::string> text;
    bool has_payload = false;
    std::vector<char> payload;  // exactly max(len, 0) bytes, so over-reads show under ASan
    int len = 0;
};
using EventPtr = std::shared_ptr<const Event>;

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

struct Queued {
    EventPtr ev;
    long long count;
};

struct Response {
    bool null;
    std::vector<char> data;
    int len;
};

struct Script {
    std::deque<int> statuses;
    std::deque<Response> responses;
    std::deque<std::optional<std::string>> texts;
};

struct Sub {
    std::string symbol, freq;
    long long period_ms;  // 0 for ticks
    bool operator==(const Sub&) const = default;
};

struct UserTimer {
    int period;
    long long due;
};

struct TickAgg {
    long long open, high, low, cum_volume = 0, cum_amount = 0;  // cents / shares
};

struct BarAgg {
    bool started = false, has_pre = false;
    long long open = 0, high = 0, low = 0, close = 0, volume = 0, amount = 0, pre_close = 0;
};

// Money is kept in whole cents. The fills that opened the current position (since it
// was last flat or changed side) give its average price: open_cost / open_volume.
struct Position {
    long long volume = 0;       // signed: negative is short
    long long open_volume = 0;  // shares bought (long) or sold (short) by the opening fills
    __int128 open_cost = 0;     // cents paid or received for them
};

struct State {
    std::deque<std::string> journal;
    long long journal_bytes = 0;  // sum of the entries' sizes
    long long journal_entry_cap = kJournalEntries, journal_byte_cap = kJournalBytes;
    long long journal_request_cap = kJournalRequestBytes;
    bool journal_on = true;
    std::map<std::string, Script, std::less<>> scripts;
    long long scripted_items = 0;  // unconsumed items in scripts: 0 skips every lookup
    std::deque<Queued> queue;
    qxi_event_callback cb = nullptr;
    long long delivered = 0;
    long long now = kDefaultNow;
    int steps = kDefaultSteps, step_ms = kDefaultStepMs;
    std::vector<Sub> subs;
    std::map<std::string, TickAgg> ticks;                        // per run
    std::map<std::pair<std::string, std::string>, BarAgg> bars;  // per run
    int timer_interval = 0;
    long long timer_due = 0;
    int next_timer_id = 1;
    std::map<int, UserTimer> user_timers;
    std::vector<std::pair<std::string, std::string>> schedules;
    std::set<std::string, std::less<>> topics;
    int next_reorder_id = 1;
    std::set<int> reorders;
    long long next_order_id = 1;
    long long cash = kDefaultCashCents;
    std::map<std::string, Position> positions;
    std::string token;
    std::optional<std::string> orgcode;  // as last given to qxi_set_serv_addr_v5
    std::string last_error;              // what the latest failure the library detected was
};

std::mutex mu;
State st;
// Kept across qxstub_reset: they describe what is on the call stack or held by the caller.
unsigned long long resets = 0;  // qxstub_reset calls: a run ends its session after one
int depth = 0;                  // non-zero while qxi_run or qxi_poll is delivering
bool stop_requested = false;
bool draining = false;                      // qxi_run delivers what callbacks queue right away
std::vector<std::unique_ptr<char[]>> held;  // buffers handed out by the latest library call
// Last text per text-returning function: each text is its own allocation, freed when the
// next one of that function is handed out.
std::map<std::string, std::unique_ptr<char[]>, std::less<>> texts;

// ---------------------------------------------------------------- call journal

// One entry: {"fn":name,"args":[{"k":kind,...},...]}. With the journal off nothing is
// built and no argument is read. Called with the lock held.
class Rec {
public:
    explicit Rec(const char* fn) : on_(st.journal_on) {
        if (on_) begin(fn);
    }
    bool on() const { return on_; }
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
    [[gnu::noinline]] void begin(const char* fn) {
        s_ = "{\"fn\":\"";
        s_ += fn;
        s_ += "\",\"args\":[";
    }
    [[gnu::noinline]] Rec& text(const char* p) { return p ? bytes("str", p, std::strlen(p)) : null("str"); }
    // The request is read only through a valid pointer with a non-negative length, and
    // only up to the journal's request cap.
    [[gnu::noinline]] Rec& request(const char* p, int n) {
        if (p) {
            const auto size = static_cast<std::size_t>(std::max(n, 0));
            const auto cap = static_cast<std::size_t>(st.journal_request_cap);
            bytes("req", p, std::min(size, cap));
            if (size > cap) {
                s_.pop_back();  // reopen the object to add the full size
                s_ += ",\"truncated\":true,\"size\":" + std::to_string(size) + "}";
            }
        } else {
            null("req");
        }
        return i(n);
    }
    Rec& add(std::string_view a) {
        if (n_++) s_ += ',';
        s_ += a;
        return *this;
    }
    Rec& null(const char* k) { return add(std::string("{\"k\":\"") + k + "\",\"null\":true}"); }
    Rec& ptr(const char* k, bool set) {
        return add(std::string("{\"k\":\"") + k + "\",\"null\":" + (set ? "false" : "true") + "}");
    }
    // Hex digits written straight into the entry: no intermediate copy of the bytes.
    Rec& bytes(const char* k, const char* p, std::size_t n) {
        static constexpr char digits[] = "0123456789abcdef";
        add(std::string("{\"k\":\"") + k + "\",\"null\":false,\"hex\":\"");
        s_.reserve(s_.size() + 2 * n + 2);
        for (std::size_t j = 0; j < n; ++j) {
            const auto c = static_cast<unsigned char>(p[j]);
            s_ += digits[c >> 4];
            s_ += digits[c & 15];
        }
        s_ += "\"}";
        return *this;
    }
    bool on_;
    std::string s_;
    int n_ = 0;
};

void trim_journal() {
    while (!st.journal.empty() && (static_cast<long long>(st.journal.size()) > st.journal_entry_cap ||
                                   st.journal_bytes > st.journal_byte_cap)) {
        st.journal_bytes -= static_cast<long long>(st.journal.front().size());
        st.journal.pop_front();
    }
}

// Every library call starts here; the previous call's buffers are released as documented.
void enter(Rec& r) {
    held.clear();
    if (!r.on()) return;
    std::string entry = r.take();
    st.journal_bytes += static_cast<long long>(entry.size());
    st.journal.push_back(std::move(entry));
    trim_journal();
}
void enter(Rec&& r) { enter(r); }

Script* script_of(std::string_view fn) {
    if (st.scripted_items == 0) return nullptr;  // the common case: nothing scripted at all
    const auto it = st.scripts.find(fn);
    return it == st.scripts.end() ? nullptr : &it->second;
}

Script& script_for(const char* fn) {
    ++st.scripted_items;
    return st.scripts[fn];
}

// Takes the next scripted item of one kind, if any.
template <class T>
std::optional<T> pop_front(std::deque<T>& items) {
    if (items.empty()) return std::nullopt;
    std::optional<T> v = std::move(items.front());
    items.pop_front();
    --st.scripted_items;
    return v;
}

std::optional<int> pop_status(std::string_view fn) {
    Script* s = script_of(fn);
    return s ? pop_front(s->statuses) : std::nullopt;
}

int scripted(std::string_view fn, int natural) { return pop_status(fn).value_or(natural); }

// Hands out a block through (res, res_len); it is freed at the next library call.
void hand_out(char** res, int* res_len, std::unique_ptr<char[]> block, int len) {
    char* p = block.get();
    if (block) held.push_back(std::move(block));
    if (res) *res = p;
    if (res_len) *res_len = len;
}

// A copy of exactly `size` bytes: no terminator to lean on, so over-reads show under ASan.
std::unique_ptr<char[]> exact_copy(const char* data, std::size_t size) {
    std::unique_ptr<char[]> block(new char[size]);
    if (size) std::memcpy(block.get(), data, size);
    return block;
}

// Stores the next scripted response of fn, if there is one.
bool store_scripted(std::string_view fn, char** res, int* res_len) {
    Script* s = script_of(fn);
    std::optional<Response> r = s ? pop_front(s->responses) : std::nullopt;
    if (!r) return false;
    hand_out(res, res_len, r->null ? nullptr : exact_copy(r->data.data(), r->data.size()), r->len);
    return true;
}

// Stores the scripted response, or `fallback`, through (res, res_len).
void store(std::string_view fn, char** res, int* res_len, std::string_view fallback) {
    if (!store_scripted(fn, res, res_len))
        hand_out(res, res_len, exact_copy(fallback.data(), fallback.size()),
                 static_cast<int>(fallback.size()));
}

// The next scripted text of fn (nullopt inside: a null pointer), or nothing scripted.
std::optional<std::optional<std::string>> scripted_text(std::string_view fn) {
    Script* s = script_of(fn);
    return s ? pop_front(s->texts) : std::nullopt;
}

// The scripted text, or `fallback`, as the library-owned text returned by fn. Each text is
// a new allocation and the previous text of fn is freed only now, so reading a text after
// the next call of the same function is a use after free that a sanitizer reports.
const char* give_text(std::string_view fn, std::string fallback) {
    std::optional<std::string> t = scripted_text(fn).value_or(std::move(fallback));
    // The terminator included, and nothing after it: over-reads show under ASan.
    std::unique_ptr<char[]> block = t ? exact_copy(t->c_str(), t->size() + 1) : nullptr;
    auto it = texts.find(fn);
    if (it == texts.end()) it = texts.emplace(std::string(fn), nullptr).first;
    it->second = std::move(block);
    return it->second.get();
}

std::string default_body(const char* fn) { return "{\"fn\":\"" + std::string(fn) + "\"}"; }

// Stores the scripted response, or {"fn":"<fn>","req_len":<n>}. That default is the
// response of most calls, so it is written straight into the one block handed out.
void store_default(std::string_view fn, int req_len, char** res, int* res_len) {
    if (store_scripted(fn, res, res_len)) return;
    constexpr std::string_view head = "{\"fn\":\"", middle = "\",\"req_len\":";
    char digits[16];
    const auto number =
        static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, req_len).ptr - digits);
    const std::size_t size = head.size() + fn.size() + middle.size() + number + 1;
    std::unique_ptr<char[]> block(new char[size]);
    char* w = block.get();
    for (const std::string_view part : {head, fn, middle, std::string_view(digits, number)}) {
        std::memcpy(w, part.data(), part.size());
        w += part.size();
    }
    *w = '}';
    hand_out(res, res_len, std::move(block), static_cast<int>(size));
}

std::string default_body(std::string_view fn, int req_len) {
    return "{\"fn\":\"" + std::string(fn) + "\",\"req_len\":" + std::to_string(req_len) + "}";
}

int take_id(int& next) {
    const int id = next;
    next = next == INT_MAX ? 1 : next + 1;
    return id;
}

long long pending_total() {
    long long n = 0;
    for (const auto& q : st.queue) n = sat_add(n, q.count);
    return n;
}

// ---------------------------------------------------------------- event delivery

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

// First time after t on the grid due + k * period.
long long next_due(long long due, long long period, long long t) {
    if (due > t) return due;
    const __int128 k = (static_cast<__int128>(t) - due) / period + 1;
    const __int128 r = due + k * period;
    return r > LLONG_MAX ? LLONG_MAX : static_cast<long long>(r);
}

void fire_timers(Lock& lk, long long t) {
    if (stop_requested) return;
    if (st.timer_interval > 0 && st.timer_due <= t) {
        st.timer_due = next_due(st.timer_due, st.timer_interval, t);
        emit(lk, "timer", "{\"now\":" + std::to_string(t) + "}");
    }
    std::vector<int> ids;
    for (const auto& [id, ut] : st.user_timers)
        if (ut.due <= t) ids.push_back(id);
    for (const int id : ids) {
        if (stop_requested) return;
        const auto it = st.user_timers.find(id);
        if (it == st.user_timers.end() || it->second.due > t) continue;  // stopped by a callback
        if (it->second.period > 0)
            it->second.due = next_due(it->second.due, it->second.period, t);
        else
            st.user_timers.erase(it);
        emit(lk, "user_timer", "{\"timer_id\":" + std::to_string(id) + ",\"now\":" + std::to_string(t) + "}");
    }
}

// ---------------------------------------------------------------- simulated market

// A price per symbol between 10.00 and 99.99 that walks one cent per second up and down.
long long price_at(std::string_view sym, long long t) {
    const std::uint64_t h = fnv(sym);
    const long long base = 1000 + static_cast<long long>(h % 9000);
    const auto phase = static_cast<long long>((static_cast<std::uint64_t>(floor_div(t, 1000)) + h) % 40);
    return base + (phase < 20 ? phase : 40 - phase) - 10;
}

long long volume_at(std::string_view sym, long long t) {
    return 100 * (1 + static_cast<long long>(
                          (static_cast<std::uint64_t>(floor_div(t, 1000)) + (fnv(sym) >> 7)) % 10));
}

long long period_of(std::string_view f) {
    if (f == "tick") return 0;
    long long n = 0;
    const auto r = std::from_chars(f.data(), f.data() + f.size(), n);
    if (r.ec != std::errc() || n <= 0 || n > 366LL * 86400 || r.ptr + 1 != f.data() + f.size()) return -1;
    switch (*r.ptr) {
        case 's':
            return n * 1000;
        case 'm':
            return n * 60000;
        case 'h':
            return n * 3600000;
        case 'd':
            return n * 86400000;
        default:
            return -1;
    }
}

std::vector<std::string> split_symbols(const char* p) {
    std::vector<std::string> out;
    if (!p) return out;
    std::string_view s(p);
    while (!s.empty()) {
        const auto comma = s.find(',');
        std::string_view part = s.substr(0, comma);
        while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
        while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
        if (!part.empty()) out.emplace_back(part);
        if (comma == std::string_view::npos) break;
        s.remove_prefix(comma + 1);
    }
    return out;
}

bool subscribed(const Sub& s) { return std::find(st.subs.begin(), st.subs.end(), s) != st.subs.end(); }

// A bar subscription removed mid-bar drops its partial bar: subscribed again, it starts a
// new bar from its next step (its previous close stays the next bar's pre_close).
void forget_bar(const Sub& s) {
    if (const auto it = st.bars.find({s.symbol, s.freq}); it != st.bars.end()) it->second.started = false;
}

std::string tick_json(const std::string& sym, long long t) {
    const long long p = price_at(sym, t), v = volume_at(sym, t);
    TickAgg a{p, p, p, v, p * v};
    if (const auto it = st.ticks.find(sym); it != st.ticks.end()) a = it->second;
    std::string j = "{\"symbol\":" + quoted(sym) + ",\"created_at\":" + std::to_string(t) +
                    ",\"price\":" + cents(p) + ",\"open\":" + cents(a.open) + ",\"high\":" + cents(a.high) +
                    ",\"low\":" + cents(a.low) + ",\"cum_volume\":" + std::to_string(a.cum_volume) +
                    ",\"cum_amount\":" + cents(a.cum_amount) + ",\"cum_position\":0" +
                    ",\"last_amount\":" + cents(p * v) + ",\"last_volume\":" + std::to_string(v) +
                    ",\"trade_type\":" + (p > price_at(sym, sat_add(t, -1000)) ? "1" : "2") + ",\"quotes\":[";
    for (int k = 0; k < 5; ++k) {
        if (k) j += ',';
        j += "{\"bid_p\":" + cents(p - k) + ",\"bid_v\":" + std::to_string(v * (k + 1)) +
             ",\"ask_p\":" + cents(p + 1 + k) + ",\"ask_v\":" + std::to_string(v * (5 - k)) + "}";
    }
    return j + "]}";
}

std::string bar_json(const Sub& s, const BarAgg& b, long long eob) {
    return "{\"symbol\":" + quoted(s.symbol) + ",\"frequency\":" + quoted(s.freq) +
           ",\"bob\":" + std::to_string(sat_add(eob, -s.period_ms)) + ",\"eob\":" + std::to_string(eob) +
           ",\"open\":" + cents(b.open) + ",\"close\":" + cents(b.close) + ",\"high\":" + cents(b.high) +
           ",\"low\":" + cents(b.low) + ",\"volume\":" + std::to_string(b.volume) +
           ",\"amount\":" + cents(b.amount) + ",\"pre_close\":" + cents(b.pre_close) + ",\"position\":0}";
}

// One session step at virtual time t (the previous step was at prev).
void play_step(Lock& lk, long long start, long long prev, long long t, bool mid_session) {
    const std::vector<Sub> subs = st.subs;  // changes made by callbacks apply from the next step

    std::set<std::string> seen;
    for (const Sub& s : subs) {
        if (!seen.insert(s.symbol).second) continue;
        const long long p = price_at(s.symbol, t), v = volume_at(s.symbol, t);
        TickAgg& a = st.ticks.try_emplace(s.symbol, TickAgg{p, p, p}).first->second;
        a.high = std::max(a.high, p);
        a.low = std::min(a.low, p);
        a.cum_volume += v;
        a.cum_amount += p * v;
    }
    for (const Sub& s : subs) {
        if (s.period_ms == 0) continue;
        const long long p = price_at(s.symbol, t), v = volume_at(s.symbol, t);
        BarAgg& b = st.bars[{s.symbol, s.freq}];
        if (!b.started) {
            b.started = true;
            b.open = b.high = b.low = p;
            b.volume = b.amount = 0;
            if (!b.has_pre) b.pre_close = p;
        }
        b.high = std::max(b.high, p);
        b.low = std::min(b.low, p);
        b.close = p;
        b.volume += v;
        b.amount += p * v;
    }

    for (const Sub& s : subs)
        if (s.period_ms == 0 && subscribed(s)) emit(lk, "tick", tick_json(s.symbol, t));

    for (const Sub& s : subs) {
        if (s.period_ms == 0 || (t - start) / s.period_ms == (prev - start) / s.period_ms) continue;
        const auto it = st.bars.find({s.symbol, s.freq});
        if (it == st.bars.end() || !it->second.started || !subscribed(s)) continue;
        const long long eob = start + (t - start) / s.period_ms * s.period_ms;
        const std::string j = bar_json(s, it->second, eob);
        it->second.started = false;  // the next bar opens at the next step
        it->second.has_pre = true;
        it->second.pre_close = it->second.close;
        emit(lk, "bar", j);
    }

    fire_timers(lk, t);

    if (mid_session) {
        const std::size_t n = st.schedules.size();
        for (std::size_t k = 0; k < n && k < st.schedules.size(); ++k) {
            const auto& [date_rule, time_rule] = st.schedules[k];
            emit(lk, "schedule",
                 "{\"date_rule\":" + quoted(date_rule) + ",\"time_rule\":" + quoted(time_rule) + "}");
        }
    }
}

// ---------------------------------------------------------------- orders

struct JVal {
    enum Kind { Str, Num, Other } kind = Other;
    std::string s;
    double n = 0;
};

// Parses one flat JSON object; nested values are skipped. nullopt when malformed.
std::optional<std::map<std::string, JVal>> parse_object(std::string_view in) {
    std::size_t i = 0;
    auto is_ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    auto ws = [&] {
        while (i < in.size() && is_ws(in[i])) ++i;
    };
    auto lit = [&](char c) {
        ws();
        if (i < in.size() && in[i] == c) return ++i, true;
        return false;
    };
    auto str = [&](std::string& out) {
        if (i >= in.size() || in[i] != '"') return false;
        for (++i; i < in.size(); ++i) {
            char c = in[i];
            if (c == '"') return ++i, true;
            if (c == '\\') {
                if (++i >= in.size()) return false;
                switch (c = in[i]) {
                    case 'n':
                        c = '\n';
                        break;
                    case 't':
                        c = '\t';
                        break;
                    case 'r':
                        c = '\r';
                        break;
                    case 'b':
                        c = '\b';
                        break;
                    case 'f':
                        c = '\f';
                        break;
                    case 'u': {
                        unsigned cp = 0;
                        if (i + 4 >= in.size() ||
                            std::from_chars(in.data() + i + 1, in.data() + i + 5, cp, 16).ptr !=
                                in.data() + i + 5)
                            return false;
                        i += 4;
                        if (cp < 0x80) {
                            c = static_cast<char>(cp);
                            break;
                        }
                        if (cp < 0x800) {
                            out += static_cast<char>(0xC0 | (cp >> 6));
                        } else {
                            out += static_cast<char>(0xE0 | (cp >> 12));
                            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                        }
                        c = static_cast<char>(0x80 | (cp & 0x3F));
                        break;
                    }
                    default:
                        break;  // \" \\ \/ stand for themselves
                }
            }
            out += c;
        }
        return false;
    };
    auto skip_nested = [&] {
        int nest = 0;
        std::string scratch;
        while (i < in.size()) {
            const char c = in[i];
            if (c == '"') {
                if (!str(scratch)) return false;
                continue;
            }
            ++i;
            if (c == '{' || c == '[')
                ++nest;
            else if ((c == '}' || c == ']') && --nest == 0)
                return true;
        }
        return false;
    };

    std::map<std::string, JVal> out;
    if (!lit('{')) return std::nullopt;
    if (!lit('}')) {
        do {
            ws();
            std::string key;
            JVal v;
            if (!str(key) || !lit(':')) return std::nullopt;
            ws();
            if (i >= in.size()) return std::nullopt;
            if (in[i] == '"') {
                if (!str(v.s)) return std::nullopt;
                v.kind = JVal::Str;
            } else if (in[i] == '{' || in[i] == '[') {
                if (!skip_nested()) return std::nullopt;
            } else {
                const std::size_t b = i;
                while (i < in.size() && !is_ws(in[i]) && in[i] != ',' && in[i] != '}' && in[i] != ']') ++i;
                const std::string_view tok = in.substr(b, i - b);
                if (tok != "true" && tok != "false" && tok != "null") {
                    const auto r = std::from_chars(tok.data(), tok.data() + tok.size(), v.n);
                    if (tok.empty() || r.ec != std::errc() || r.ptr != tok.data() + tok.size() ||
                        !std::isfinite(v.n))
                        return std::nullopt;
                    v.kind = JVal::Num;
                }
            }
            out[std::move(key)] = std::move(v);
        } while (lit(','));
        if (!lit('}')) return std::nullopt;
    }
    ws();
    if (i != in.size()) return std::nullopt;
    return out;
}

struct Order {
    std::string symbol;
    long long volume;
    int side;         // 1 buy, 2 sell
    long long price;  // cents
};

std::optional<Order> parse_order(const char* req, int n) {
    if (!req || n <= 0) return std::nullopt;
    const auto obj = parse_object(std::string_view(req, static_cast<std::size_t>(n)));
    if (!obj) return std::nullopt;
    auto get = [&](const char* k, JVal::Kind kind) -> const JVal* {
        const auto it = obj->find(k);
        return it != obj->end() && it->second.kind == kind ? &it->second : nullptr;
    };
    const JVal* sym = get("symbol", JVal::Str);
    const JVal* vol = get("volume", JVal::Num);
    const JVal* side = get("side", JVal::Num);
    const JVal* price = get("price", JVal::Num);
    if (!sym || sym->s.empty() || !vol || vol->n < 1 || vol->n > 1e9 || vol->n != std::floor(vol->n))
        return std::nullopt;
    if (!side || (side->n != 1 && side->n != 2)) return std::nullopt;
    if (obj->count("price") && (!price || price->n < 0 || price->n > 1e7)) return std::nullopt;
    Order o{sym->s, static_cast<long long>(vol->n), static_cast<int>(side->n), 0};
    // No price or 0: a market order at the simulated price. A limit price must be a whole
    // number of cents (0.001 is not a price here, nor is 10.005).
    if (price && price->n > 0) {
        o.price = std::llround(price->n * 100);
        if (o.price < 1 || std::fabs(price->n * 100 - static_cast<double>(o.price)) > 1e-6)
            return std::nullopt;
    } else {
        o.price = price_at(o.symbol, st.now);
    }
    return o;
}

// Fills the order at once; returns the response and queues the execution report.
std::string fill(const Order& o) {
    const std::string id = std::to_string(st.next_order_id++);
    const long long amount = o.price * o.volume;  // cents; bounded by the parse limits
    const long long q = o.side == 1 ? o.volume : -o.volume;
    Position& pos = st.positions[o.symbol];
    if (pos.volume == 0 || (pos.volume > 0) == (q > 0)) {  // opens or adds
        pos.open_volume += o.volume;
        pos.open_cost += static_cast<__int128>(amount);
    } else if (o.volume > std::llabs(pos.volume)) {  // closes and opens the other side
        pos.open_volume = o.volume - std::llabs(pos.volume);
        pos.open_cost = static_cast<__int128>(pos.open_volume) * o.price;
    }  // a fill that only reduces the position leaves its average price as it is
    pos.volume += q;
    if (pos.volume == 0) st.positions.erase(o.symbol);
    st.cash = sat_add(st.cash, o.side == 1 ? -amount : amount);

    const std::string common = ",\"symbol\":" + quoted(o.symbol) + ",\"side\":" + std::to_string(o.side) +
                               ",\"volume\":" + std::to_string(o.volume) + ",\"price\":" + cents(o.price);
    st.queue.push_back(
        {session_event("execution_report", "{\"order_id\":\"" + id + "\",\"exec_id\":\"" + id + "\"" +
                                               common + ",\"amount\":" + cents(amount) +
                                               ",\"created_at\":" + std::to_string(st.now) + "}"),
         1});
    return "{\"order_id\":\"" + id + "\",\"status\":\"filled\"" + common +
           ",\"filled_volume\":" + std::to_string(o.volume) + ",\"filled_amount\":" + cents(amount) +
           ",\"created_at\":" + std::to_string(st.now) + "}";
}

// The average price of the opening fills, open_cost / open_volume cents, as a decimal
// with four places rounded half up: exact, whatever the volumes.
std::string vwap_text(const Position& p) {
    const __int128 v = std::max<long long>(p.open_volume, 1);
    const __int128 units = (p.open_cost * 200 + v) / (2 * v);  // ten-thousandths
    const auto whole = static_cast<unsigned long long>(units / 10000);
    const auto frac = static_cast<unsigned>(units % 10000);
    char b[48];
    std::snprintf(b, sizeof b, "%llu.%04u", whole, frac);
    return b;
}

std::string positions_json() {
    std::string j = "[";
    for (const auto& [sym, p] : st.positions) {
        if (j.size() > 1) j += ',';
        j += "{\"symbol\":" + quoted(sym) + ",\"volume\":" + std::to_string(p.volume) +
             ",\"vwap\":" + vwap_text(p) + "}";
    }
    return j + "]";
}

// Open positions are valued at their average price: open_cost scaled to the volume still
// held, rounded half up to the cent (exact whenever the average is a whole cent).
long long held_cost(const Position& p) {
    const __int128 v = std::max<long long>(p.open_volume, 1);
    const __int128 magnitude = (p.open_cost * std::llabs(p.volume) * 2 + v) / (2 * v);
    const __int128 limited = std::min<__int128>(magnitude, LLONG_MAX);
    return p.volume < 0 ? -static_cast<long long>(limited) : static_cast<long long>(limited);
}

std::string cash_json() {
    long long market = 0;
    for (const auto& [sym, p] : st.positions) market = sat_add(market, held_cost(p));
    return "{\"available\":" + cents(st.cash) + ",\"market_value\":" + cents(market) +
           ",\"nav\":" + cents(sat_add(st.cash, market)) + "}";
}

// The shared body of every (req, req_len, res, res_len) function. `fn` is a literal name.
int reqres(std::string_view fn, const char* req, int n, char** res, int* res_len) {
    Lock lk(mu);
    enter(Rec(fn.data()).req(req, n).out(res).out(res_len));
    const std::optional<int> forced = pop_status(fn);
    const std::string_view f = fn;
    int status = forced.value_or(kOk);
    std::string body;  // only for the functions that answer more than the default
    if (f == "qxi_place_order_pb") {
        const auto o = parse_order(req, n);
        const int natural = o ? kOk : kErrRequest;
        status = forced.value_or(natural);
        if (natural == kOk && status == kOk) {
            body = fill(*o);
        } else {
            // A scripted status replaces only the return value: the response still says
            // why nothing was filled (the request's own fault first).
            body = default_body(fn, n);
            body.insert(body.size() - 1, ",\"error\":" + std::to_string(natural != kOk ? natural : status));
            if (natural != kOk) st.last_error = "qxi_place_order_pb: malformed request, nothing was filled";
        }
    } else if (f == "qxi_get_positions_pb") {
        body = positions_json();
    } else if (f == "qxi_get_cash_pb") {
        body = cash_json();
    }
    if (body.empty())
        store_default(fn, n, res, res_len);
    else
        store(fn, res, res_len, body);
    return status;
}

}  // namespace

// ================================================================ library interface

extern "C" {

// clang-format off
#define QX_REQRES(X)                                                                            \
  X(qxi_place_order_pb) X(qxi_close_all_positions_pb) X(qxi_get_orders_pb)                      \
  X(qxi_get_unfinished_orders_pb) X(qxi_get_execution_reports_pb) X(qxi_get_positions_pb)       \
  X(qxi_get_cash_pb) X(qxi_get_positions_pb_v2) X(qxi_get_cash_pb_v2)                           \
  X(qxi_get_account_status_pb) X(qxi_raw_func_pb) X(qxi_get_entrustable_volume_by_symbol_pb)    \
  X(qxi_place_algo_orders_pb) X(qxi_get_algo_orders_pb) X(qxi_option_comb_entrust_pb)           \
  X(qxi_option_sep_entrust_pb) X(qxi_get_option_combinable_pb)                                  \
  X(qxi_get_option_comb_position_pb) X(qxi_get_credit_cash_pb) X(qxi_get_credit_contracts_pb)   \
  X(qxi_get_borrowable_instruments_pb) X(qxi_get_borrowable_instruments_positions_pb)           \
  X(qxi_get_collateral_instruments_pb) X(qxi_repay_cash_directly_pb) X(qxi_get_ipo_quota_pb)    \
  X(qxi_get_ipo_instruments_pb) X(qxi_get_ipo_match_number_pb) X(qxi_get_ipo_lot_info_pb)       \
  X(qxi_get_parameters_pb) X(qxi_get_instrument_pools_pb)                                       \
  X(qxi_get_instrument_pool_by_name_pb) X(qxi_last_tick_pb) X(qxi_current_price_pb)             \
  X(qxi_history_bars_pb) X(qxi_history_ticks_pb) X(qxi_history_bars_n_pb)                       \
  X(qxi_history_ticks_n_pb) X(qxi_history_bars_l2_pb) X(qxi_history_ticks_l2_pb)                \
  X(qxi_history_transaction_l2_pb) X(qxi_history_order_l2_pb)                                   \
  X(qxi_history_order_queue_l2_pb) X(qxi_get_open_call_auction) X(qxi_get_instruments)          \
  X(qxi_get_history_instruments) X(qxi_get_instrumentInfos)                                     \
  X(qxi_get_fuzzy_match_instrumentInfos) X(qxi_get_symbol_infos) X(qxi_get_symbols_v2)          \
  X(qxi_get_history_symbol) X(qxi_get_constituents) X(qxi_get_sector) X(qxi_get_industry)       \
  X(qxi_get_concept) X(qxi_get_continuous_contracts) X(qxi_get_varietyinfos)                    \
  X(qxi_get_contract_expire_rest_days) X(qxi_get_trading_dates)                                 \
  X(qxi_get_previous_trading_date) X(qxi_get_next_trading_date)                                 \
  X(qxi_get_previous_n_trading_dates) X(qxi_get_next_n_trading_dates)                           \
  X(qxi_get_trading_dates_by_year) X(qxi_get_trading_time) X(qxi_get_trading_times_ext)         \
  X(qxi_get_trading_session) X(qxi_get_dividends) X(qxi_get_dividends_snapshot)                 \
  X(qxi_get_fundamentals) X(qxi_get_fundamentals_n) X(qxi_get_convertible_bond_call_info)       \
  X(qxi_option_get_symbols_by_exchange) X(qxi_option_get_symbols_by_in_at_out)                  \
  X(qxi_option_get_delisted_dates) X(qxi_option_get_exercise_prices)                            \
  X(qxi_stk_get_index_constituents) X(qxi_stk_get_index_history_constituents)                   \
  X(qxi_stk_get_industry_category) X(qxi_stk_get_industry_constituents)                         \
  X(qxi_stk_get_symbol_industry) X(qxi_stk_get_sector_category)                                 \
  X(qxi_stk_get_sector_constituents) X(qxi_stk_get_symbol_sector) X(qxi_stk_get_dividend)       \
  X(stk_get_ration) X(qxi_stk_get_adj_factor) X(qxi_stk_get_shareholder_num)                    \
  X(qxi_stk_get_top_shareholder) X(qxi_stk_get_share_change)                                    \
  X(qxi_stk_get_fundamentals_balance) X(qxi_stk_get_fundamentals_balance_pt)                    \
  X(qxi_stk_get_fundamentals_cashflow) X(qxi_stk_get_fundamentals_cashflow_pt)                  \
  X(qxi_stk_get_fundamentals_income) X(qxi_stk_get_fundamentals_income_pt)                      \
  X(qxi_stk_get_finance_prime) X(qxi_stk_get_finance_prime_pt) X(qxi_stk_get_finance_deriv)     \
  X(qxi_stk_get_finance_deriv_pt) X(qxi_stk_get_daily_valuation)                                \
  X(qxi_stk_get_daily_valuation_pt) X(qxi_stk_get_daily_mktvalue)                               \
  X(qxi_stk_get_daily_mktvalue_pt) X(qxi_stk_get_daily_basic) X(qxi_stk_get_daily_basic_pt)     \
  X(qxi_stk_abnor_change_stocks) X(qxi_stk_abnor_change_detail) X(qxi_stk_quota_shszhk_infos)   \
  X(qxi_stk_hk_inst_holding_detail_info) X(qxi_stk_hk_inst_holding_info)                        \
  X(qxi_stk_active_stock_top10_shszhk_info) X(qxi_stk_get_money_flow)                           \
  X(qxi_stk_get_finance_audit) X(qxi_stk_get_finance_forecast) X(qxi_fnd_get_etf_components)    \
  X(qxi_fnd_get_portfolio) X(qxi_fnd_get_net_value) X(qxi_fnd_get_adj_factor)                  \
  X(qxi_fnd_get_dividend) X(qxi_fnd_get_split) X(qxi_fnd_get_share)                            \
  X(qxi_fut_get_continuous_contracts) X(qxi_fut_get_contract_info)                              \
  X(qxi_fut_get_transaction_ranking) X(qxi_fut_get_transaction_rankings)                        \
  X(qxi_fut_get_warehouse_receipt) X(qxi_bnd_get_conversion_price) X(qxi_bnd_get_call_info)     \
  X(qxi_bnd_get_put_info) X(qxi_bnd_get_amount_change) X(qxi_bnd_get_analysis)
// clang-format on

// clang-format off
#define QX_STATUS_ONLY(X)                                                                       \
  X(qxi_cancel_orders_pb) X(qxi_cancel_all_orders_pb) X(qxi_pause_algo_orders_pb)               \
  X(qxi_cancel_algo_orders_pb) X(qxi_set_parameters_pb) X(qxi_add_parameters_pb)                \
  X(qxi_set_instrument_pool_symbols_pb) X(qxi_del_instrument_pool_by_name_pb) X(qxi_log_pb)
// clang-format on

#define QX_DEFINE_REQRES(name)                                         \
    int name(const char* req, int req_len, char** res, int* res_len) { \
        return reqres(#name, req, req_len, res, res_len);              \
    }
#define QX_DEFINE_STATUS_ONLY(name)          \
    int name(const char* req, int req_len) { \
        Lock lk(mu);                         \
        enter(Rec(#name).req(req, req_len)); \
        return scripted(#name, kOk);         \
    }

QX_REQRES(QX_DEFINE_REQRES)
QX_STATUS_ONLY(QX_DEFINE_STATUS_ONLY)

int qxi_get_account_info_pb(char** res, int* res_len) {
    Lock lk(mu);
    enter(Rec(__func__).out(res).out(res_len));
    const int status = scripted(__func__, kOk);
    store(__func__, res, res_len, default_body(__func__));
    return status;
}

// ---- session, configuration and control

int qxi_init(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    return scripted(__func__, kOk);
}

int qxi_set_token(const char* token) {
    Lock lk(mu);
    enter(Rec(__func__).str(token));
    const int status = scripted(__func__, kOk);
    if (status == kOk) st.token = text_or_empty(token);
    return status;
}

void qxi_set_apitoken(const char* token) {
    Lock lk(mu);
    enter(Rec(__func__).str(token));
    st.token = text_or_empty(token);
}

const char* qxi_get_encrypted_token(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    char b[24];
    std::snprintf(b, sizeof b, "enc-%016llx", static_cast<unsigned long long>(fnv(st.token)));
    return give_text(__func__, b);
}

const char* qxi_get_orgcode(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    return give_text(__func__, st.orgcode.value_or("org-standin"));
}

void qxi_set_mfp(const char* mfp) {
    Lock lk(mu);
    enter(Rec(__func__).str(mfp));
}

void qxi_set_serv_addr(const char* addr) {
    Lock lk(mu);
    enter(Rec(__func__).str(addr));
}

void qxi_set_serv_addr_v5(const char* addr, const char* orgcode, const char* site_id) {
    Lock lk(mu);
    enter(Rec(__func__).str(addr).str(orgcode).str(site_id));
    if (orgcode) st.orgcode = orgcode;  // "" is an orgcode too: qxi_get_orgcode then answers ""
}

int qxi_get_serv_addr(const char* serv_id, char** addr) {
    Lock lk(mu);
    enter(Rec(__func__).str(serv_id).out(addr));
    const int status = scripted(__func__, kOk);
    std::optional<std::string> text =
        "tcp://127.0.0.1:" + std::to_string(7001 + fnv(text_or_empty(serv_id)) % 100);
    if (auto t = scripted_text(__func__)) text = std::move(*t);
    // Lives like a response: freed at the next library call.
    hand_out(addr, nullptr, text ? exact_copy(text->c_str(), text->size() + 1) : nullptr, 0);
    return status;
}

int qxi_use_dsproxy(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    return scripted(__func__, kOk);
}

void qxi_set_ctp_md_info(const char* front_addresses, const char* user_name, const char* password) {
    Lock lk(mu);
    enter(Rec(__func__).str(front_addresses).str(user_name).str(password));
}

void qxi_set_strategy_id(const char* strategy_id) {
    Lock lk(mu);
    enter(Rec(__func__).str(strategy_id));
}

void qxi_set_account_id(const char* account_ids) {
    Lock lk(mu);
    enter(Rec(__func__).str(account_ids));
}

void qxi_set_mode_consistency(bool mode) {
    Lock lk(mu);
    enter(Rec(__func__).b(mode));
}

void qxi_set_mode(int mode) {
    Lock lk(mu);
    enter(Rec(__func__).i(mode));
}

void qxi_set_simtrade_only(void) {
    Lock lk(mu);
    enter(Rec(__func__));
}

void qxi_set_version(const char* sdk_version, const char* sdk_lang, const char* reserved1,
                     const char* reserved2) {
    Lock lk(mu);
    enter(Rec(__func__).str(sdk_version).str(sdk_lang).str(reserved1).str(reserved2));
}

void qxi_set_max_wait_time(int max_wait_time) {
    Lock lk(mu);
    enter(Rec(__func__).i(max_wait_time));
}

void qxi_set_backtest_threadnum(int n) {
    Lock lk(mu);
    enter(Rec(__func__).i(n));
}

void qxi_set_backtest_intraday(int intraday) {
    Lock lk(mu);
    enter(Rec(__func__).i(intraday));
}

// Queued events first, then the simulated session; a scripted status is returned at the end.
int qxi_run(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    if (depth) return kErrBusy;  // re-entered from a callback
    const int status = scripted(__func__, kOk);
    depth = 1;
    stop_requested = false;
    draining = true;
    drain(lk);
    st.ticks.clear();
    st.bars.clear();
    const long long start = st.now;
    const int steps = st.steps, step_ms = st.step_ms;
    const unsigned long long epoch = resets;
    long long prev = start;
    // A qxstub_reset from a callback ends the session: the clock and session shape are then
    // the reset ones, not this run's.
    for (int i = 1; i <= steps && !stop_requested && resets == epoch; ++i) {
        const long long t = sat_add(start, static_cast<long long>(i) * step_ms);
        st.now = t;
        play_step(lk, start, prev, t, i == std::max(1, steps / 2));
        prev = t;
    }
    depth = 0;
    stop_requested = false;
    draining = false;
    return status;
}

// Delivers what was queued when it was called, then the timers due now; never waits.
int qxi_poll(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    if (depth) return kErrBusy;
    const int status = scripted(__func__, kOk);
    depth = 1;
    stop_requested = false;
    // Events queued by callbacks wait for the next poll, so a poll always ends.
    for (long long budget = pending_total(); budget > 0 && !stop_requested && deliver_queued(lk);) --budget;
    fire_timers(lk, st.now);
    depth = 0;
    stop_requested = false;
    return status;
}

int qxi_stop(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    if (depth) stop_requested = true;
    return scripted(__func__, kOk);
}

int qxi_get_stop_error_code(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    return scripted(__func__, kOk);
}

const char* qxi_strerror(int errorno) {
    Lock lk(mu);
    enter(Rec(__func__).i(errorno));
    std::string msg;
    switch (errorno) {
        case kOk:
            msg = "success";
            break;
        case kErrToken:
            msg = "invalid token";
            break;
        case kErrParam:
            msg = "invalid parameter";
            break;
        case kErrTopic:
            msg = "unknown bus topic";
            break;
        case kErrRequest:
            msg = "malformed request";
            break;
        case kErrUnknownId:
            msg = "unknown id";
            break;
        case kErrBusy:
            msg = "run or poll already in progress";
            break;
        default:
            msg = "error " + std::to_string(errorno);
    }
    return give_text(__func__, msg);
}

const char* qxi_get_ext_errormsg(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    return give_text(__func__, st.last_error);
}

const char* qxi_get_c_version(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    return give_text(__func__, "qxsdk stand-in 1.0");
}

long long qxi_now(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    return st.now;
}

double qxi_now_plus(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    return static_cast<double>(st.now) / 1000.0;
}

// ---- market data

int qxi_subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous) {
    Lock lk(mu);
    enter(Rec(__func__).str(symbols).str(frequency).b(unsubscribe_previous));
    const int status = scripted(__func__, kOk);
    if (status != kOk) return status;
    if (unsubscribe_previous) {
        for (const Sub& s : st.subs) forget_bar(s);
        st.subs.clear();
    }
    const long long period = frequency ? period_of(frequency) : -1;
    if (period < 0) return status;  // unknown frequencies produce no events
    for (auto& sym : split_symbols(symbols)) {
        Sub s{std::move(sym), frequency, period};
        if (!subscribed(s)) st.subs.push_back(std::move(s));
    }
    return status;
}

int qxi_unsubscribe(const char* symbols, const char* frequency) {
    Lock lk(mu);
    enter(Rec(__func__).str(symbols).str(frequency));
    const int status = scripted(__func__, kOk);
    if (status != kOk || !symbols || !frequency) return status;
    const bool all_symbols = std::string_view(symbols) == "*";
    const bool all_freqs = std::string_view(frequency) == "*";
    const long long period = period_of(frequency);
    const auto names = split_symbols(symbols);
    std::erase_if(st.subs, [&](const Sub& s) {
        const bool gone = (all_symbols || std::find(names.begin(), names.end(), s.symbol) != names.end()) &&
                          (all_freqs || s.period_ms == period);
        if (gone) forget_bar(s);
        return gone;
    });
    return status;
}

int qxi_current_pb(const char* symbols, bool include_call_auction, const char* fields, char** res,
                   int* res_len) {
    Lock lk(mu);
    enter(Rec(__func__).str(symbols).b(include_call_auction).str(fields).out(res).out(res_len));
    const int status = scripted(__func__, kOk);
    store(__func__, res, res_len, default_body(__func__));
    return status;
}

// ---- events

int qxi_set_event_callback_pb(qxi_event_callback callback) {
    Lock lk(mu);
    enter(Rec(__func__).cb(callback != nullptr));
    const int status = scripted(__func__, kOk);
    if (status == kOk) st.cb = callback;
    return status;
}

// ---- timers, schedules and the message bus

int qxi_schedule(const char* date_rule, const char* time_rule) {
    Lock lk(mu);
    enter(Rec(__func__).str(date_rule).str(time_rule));
    const int status = scripted(__func__, kOk);
    if (status == kOk) st.schedules.emplace_back(text_or_empty(date_rule), text_or_empty(time_rule));
    return status;
}

void qxi_set_timer(int interval) {
    Lock lk(mu);
    enter(Rec(__func__).i(interval));
    st.timer_interval = std::max(interval, 0);
    st.timer_due = sat_add(st.now, st.timer_interval);
}

int qxi_user_timer(int period, int start_delay) {
    Lock lk(mu);
    enter(Rec(__func__).i(period).i(start_delay));
    if (const auto forced = pop_status(__func__)) return *forced;  // nothing is created
    const int id = take_id(st.next_timer_id);
    st.user_timers[id] = {period, sat_add(st.now, std::max(start_delay, 0))};
    return id;
}

void qxi_user_timer_stop(int timer_id) {
    Lock lk(mu);
    enter(Rec(__func__).i(timer_id));
    st.user_timers.erase(timer_id);
}

void qxi_set_bus_info(const char* server_addr, const char* user_name, const char* password) {
    Lock lk(mu);
    enter(Rec(__func__).str(server_addr).str(user_name).str(password));
}

void qxi_set_bus_secure(int in_mode, const char* tlsca, const char* tlscert, const char* tlskey,
                        bool skip_verify) {
    Lock lk(mu);
    enter(Rec(__func__).i(in_mode).str(tlsca).str(tlscert).str(tlskey).b(skip_verify));
}

void qxi_add_bus_topic(const char* topic) {
    Lock lk(mu);
    enter(Rec(__func__).str(topic));
    if (topic) st.topics.insert(topic);
}

int qxi_send_msg_to_bus(const char* topic, const char* msg) {
    Lock lk(mu);
    enter(Rec(__func__).str(topic).str(msg));
    const int natural = !topic || !msg ? kErrParam : st.topics.contains(topic) ? kOk : kErrTopic;
    const int status = scripted(__func__, natural);
    if (natural == kOk && status == kOk)
        st.queue.push_back(
            {session_event("bus", "{\"topic\":" + quoted(topic) + ",\"msg\":" + quoted(msg) + "}"), 1});
    else if (natural == kErrTopic)  // also when a scripted success hides it
        st.last_error = "qxi_send_msg_to_bus: unknown bus topic " + quoted(topic) + ", nothing was sent";
    return status;
}

// ---- trading and back-test

int qxi_set_backtest_config(const char* start_time, const char* end_time, double initial_cash,
                            double transaction_ratio, double commission_ratio, double commission_unit,
                            double slippage_ratio, double option_float_margin_ratio1,
                            double option_float_margin_ratio2, int adjust, int match_mode, int check_cache) {
    Lock lk(mu);
    enter(Rec(__func__)
              .str(start_time)
              .str(end_time)
              .d(initial_cash)
              .d(transaction_ratio)
              .d(commission_ratio)
              .d(commission_unit)
              .d(slippage_ratio)
              .d(option_float_margin_ratio1)
              .d(option_float_margin_ratio2)
              .i(adjust)
              .i(match_mode)
              .i(check_cache));
    const int status = scripted(__func__, kOk);
    if (status == kOk && std::isfinite(initial_cash) && initial_cash >= 0 && initial_cash <= 1e16)
        st.cash = std::llround(initial_cash * 100);
    return status;
}

int qxi_smart_reorder(const char* symbol, double price, int volume, int side, int order_type,
                      int position_effect, int repeat_n, int max_price_offset, int time_out, int time_wait,
                      const char* account) {
    Lock lk(mu);
    enter(Rec(__func__)
              .str(symbol)
              .d(price)
              .i(volume)
              .i(side)
              .i(order_type)
              .i(position_effect)
              .i(repeat_n)
              .i(max_price_offset)
              .i(time_out)
              .i(time_wait)
              .str(account));
    if (const auto forced = pop_status(__func__)) return *forced;  // nothing is created
    const int id = take_id(st.next_reorder_id);
    st.reorders.insert(id);
    return id;
}

int qxi_smart_reorder_cancel(int reorder_id) {
    Lock lk(mu);
    enter(Rec(__func__).i(reorder_id));
    const bool known = st.reorders.contains(reorder_id);
    const int status = scripted(__func__, known ? kOk : kErrUnknownId);
    if (known && status == kOk) st.reorders.erase(reorder_id);
    return status;
}

int qxi_algo_order_batch_pb(const char* req, int req_len, const char* algo_name, const char* algo_params,
                            char** res, int* res_len) {
    Lock lk(mu);
    enter(Rec(__func__).req(req, req_len).str(algo_name).str(algo_params).out(res).out(res_len));
    const int status = scripted(__func__, kOk);
    store_default(__func__, req_len, res, res_len);
    return status;
}

int qxi_get_child_orders_pb(const char* account_id, const char* algo_id, char** res, int* res_len) {
    Lock lk(mu);
    enter(Rec(__func__).str(account_id).str(algo_id).out(res).out(res_len));
    const int status = scripted(__func__, kOk);
    store(__func__, res, res_len, default_body(__func__));
    return status;
}

// ================================================================ control interface

void qxstub_reset(void) {
    Lock lk(mu);
    st = State{};
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
    Response r{data == nullptr, {}, len};
    if (data && len > 0) r.data.assign(data, data + len);
    script_for(fn).responses.push_back(std::move(r));
}

void qxstub_push_text(const char* fn, const char* text) {
    if (!fn) return;
    Lock lk(mu);
    script_for(fn).texts.push_back(text ? std::optional<std::string>(text) : std::nullopt);
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
    st.queue.push_back({make_event(text, payload, len), 1});
}

void qxstub_flood_events(const char* text, const char* payload, int len, long long count) {
    if (count <= 0) return;
    Lock lk(mu);
    st.queue.push_back({make_event(text, payload, len), count});
}

void qxstub_fire_from_thread(const char* text, const char* payload, int len) {
    Lock lk(mu);
    const EventPtr ev = make_event(text, payload, len);
    const qxi_event_callback cb = st.cb;
    if (!cb) return;
    ++st.delivered;
    lk.unlock();
    std::thread([cb, ev] { invoke(cb, *ev); }).join();
}

long long qxstub_pending_events(void) {
    Lock lk(mu);
    return pending_total();
}

long long qxstub_delivered_events(void) {
    Lock lk(mu);
    return st.delivered;
}

}  // extern "C"
