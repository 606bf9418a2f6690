#include "market.hpp"

#include "events.hpp"
#include "text.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <set>

namespace standin {

namespace {

// First time after t on the grid due + k * period.
long long next_due(long long due, long long period, long long t) {
    if (due > t) return due;
    const __int128 k = (static_cast<__int128>(t) - due) / period + 1;
    const __int128 r = due + k * period;
    return r > LLONG_MAX ? LLONG_MAX : static_cast<long long>(r);
}

}  // namespace

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

long long price_at(std::string_view sym, long long t) {
    const std::uint64_t h = fnv(sym);
    const long long base = 1000 + static_cast<long long>(h % 9000);
    const auto phase = static_cast<long long>((static_cast<std::uint64_t>(floor_div(t, 1000)) + h) % 40);
    return base + (phase < 20 ? phase : 40 - phase) - 10;
}

namespace {

long long volume_at(std::string_view sym, long long t) {
    return 100 * (1 + static_cast<long long>(
                          (static_cast<std::uint64_t>(floor_div(t, 1000)) + (fnv(sym) >> 7)) % 10));
}

}  // namespace

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

namespace {

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

}  // namespace

void play_session(Lock& lk) {
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
}

}  // namespace standin
