// Library interface: session, configuration and control.
#include "answers.hpp"
#include "events.hpp"
#include "journal.hpp"
#include "market.hpp"
#include "state.hpp"
#include "text.hpp"

#include <cstdio>
#include <optional>
#include <string>

using namespace standin;

extern "C" {

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
// A replay delivered the recorded events as the call began, and answers for the simulator.
int qxi_run(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    if (replaying()) return scripted(__func__, kOk);
    if (depth) return kErrBusy;  // re-entered from a callback
    const int status = scripted(__func__, kOk);
    depth = 1;
    stop_requested = false;
    draining = true;
    drain(lk);
    play_session(lk);
    depth = 0;
    stop_requested = false;
    draining = false;
    return status;
}

// Delivers what was queued when it was called, then the timers due now; never waits.
int qxi_poll(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    if (replaying()) return scripted(__func__, kOk);
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
        case kErrReplay:
            msg = "the replay differs from the recording";
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
    return replayed_number().value_or(st.now);
}

double qxi_now_plus(void) {
    Lock lk(mu);
    enter(Rec(__func__));
    return replayed_real().value_or(static_cast<double>(st.now) / 1000.0);
}

}  // extern "C"
