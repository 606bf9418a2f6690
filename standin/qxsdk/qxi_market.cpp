// Library interface: market data subscriptions.
#include "answers.hpp"
#include "journal.hpp"
#include "market.hpp"
#include "state.hpp"

#include <algorithm>
#include <string_view>

using namespace standin;

extern "C" {

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

}  // extern "C"
