// Deterministic in-process implementation of the qxsdk trading library (qxsdk.h) plus the
// control interface tests use to drive it (qxstub.h). It has no clock, network, files,
// environment or randomness of its own: every answer follows from the calls it received.
//
// This header holds what every part shares: the state, its lock and the values it is made
// of. How a call is answered lives beside it, one concern per file: journal.cpp (the call
// journal), answers.cpp (scripted and default answers), replay.cpp (answers from a recorded
// session), events.cpp (event delivery), market.cpp (the simulated session), orders.cpp
// (orders, positions and cash); the exported functions are defined in qxi_*.cpp (the
// library, by family) and qxstub.cpp (the control interface).
//
// Locking: one mutex guards all state. It is never held while the event callback runs, so
// the callback may call back into the library (or the control interface) freely; every
// loop that delivers events re-reads the state after each callback.
#pragma once

#include "qxsdk.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace standin {

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
    kErrReplay = 1006,  // a replay that no longer follows its recording (replay.hpp)
};

struct Event {
    std::optional<std::string> text;
    bool has_payload = false;
    std::vector<char> payload;  // exactly max(len, 0) bytes, so over-reads show under ASan
    int len = 0;
};
using EventPtr = std::shared_ptr<const Event>;

struct Queued {
    EventPtr ev;
    long long count;
    bool pushed = false;  // queued through qxstub_push_event or qxstub_flood_events
};

struct Response {
    bool null;
    std::vector<char> data;
    int len;
    bool writes_length = true;  // false: *res_len is left as the caller set it

    // max(len, 0) bytes of data, or a null pointer when data is null; len stored as given.
    static Response of(const char* data, int len, bool writes_length = true) {
        Response r{data == nullptr, {}, len, writes_length};
        if (data && len > 0) r.data.assign(data, data + len);
        return r;
    }
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

struct Replay;  // replay.hpp

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
    int event_expiry = 0;                    // qxstub_expire_event_buffers: 0 keep, 1 overwrite, 2 free
    std::vector<EventPtr> next_call_events;  // fired from a library thread by the next library call
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

    // Recorded sessions (replay.hpp): the one answering calls, if any, and the one being
    // handed over, which answers nothing yet.
    std::shared_ptr<Replay> replay, replay_next;
};

extern std::mutex mu;
extern State st;
// Kept across qxstub_reset: they describe what is on the call stack or held by the caller.
extern unsigned long long resets;  // qxstub_reset calls: a run ends its session after one
extern int depth;                  // non-zero while qxi_run or qxi_poll is delivering
extern bool stop_requested;
extern bool draining;                              // qxi_run delivers what callbacks queue right away
extern std::vector<std::unique_ptr<char[]>> held;  // buffers handed out by the latest library call
// Last text per text-returning function: each text is its own allocation, freed when the
// next one of that function is handed out.
extern std::map<std::string, std::unique_ptr<char[]>, std::less<>> texts;

}  // namespace standin
