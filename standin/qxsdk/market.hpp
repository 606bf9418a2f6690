// The simulated market: prices, subscriptions, timers and the session qxi_run plays.
#pragma once

#include "state.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace standin {

// A price per symbol between 10.00 and 99.99 (cents) that walks one cent per second up and down.
long long price_at(std::string_view sym, long long t);
// The bar period of a frequency in ms: 0 for ticks, -1 for a frequency that produces nothing.
long long period_of(std::string_view f);
// The comma-separated symbols of p, spaces trimmed.
std::vector<std::string> split_symbols(const char* p);
bool subscribed(const Sub& s);
// A bar subscription removed mid-bar drops its partial bar (see market.cpp).
void forget_bar(const Sub& s);
// Fires the timer and the user timers due at virtual time t.
void fire_timers(Lock& lk, long long t);
// Plays the session shaped by qxstub_set_session from the current clock.
void play_session(Lock& lk);

}  // namespace standin
