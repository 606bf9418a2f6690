// Self-test of libqxsdk.so: drives the library interface and the qxstub_ control interface
// the way the module and its tests do. Meant to run under ASan/UBSan; exits non-zero on the
// first failed group.
#include "qxsdk.h"
#include "qxstub.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

int failures = 0;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)

std::string entry(int i) {
    const char* e = qxstub_journal_entry(i);
    return e ? e : "<none>";
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// ---- event recorder used as the library callback

struct Seen {
    std::optional<std::string> text;
    std::optional<std::string> payload;  // max(len, 0) bytes when non-null
    int len;
    std::thread::id thread;
};
std::vector<Seen> seen;
long long floods = 0;

void record(const char* text, const char* payload, int len) {
    seen.push_back(
        {text ? std::optional<std::string>(text) : std::nullopt,
         payload ? std::optional<std::string>(std::string(payload, len > 0 ? len : 0)) : std::nullopt, len,
         std::this_thread::get_id()});
}

void count_only(const char*, const char*, int) { ++floods; }

std::vector<Seen> of(const char* text) {
    std::vector<Seen> out;
    for (const auto& s : seen)
        if (s.text && *s.text == text) out.push_back(s);
    return out;
}

void start(qxi_event_callback cb = record) {
    qxstub_reset();
    seen.clear();
    qxi_set_event_callback_pb(cb);
    qxstub_journal_clear();
}

// ---- groups

void journal_forms() {
    start();
    char* res = nullptr;
    int len = -1;
    CHECK(qxi_get_dividends("ab", 2, &res, &len) == 0);
    CHECK(entry(0) == R"({"fn":"qxi_get_dividends","args":[{"k":"req","null":false,"hex":"6162"},)"
                      R"({"k":"int","v":2},{"k":"out","null":false},{"k":"out","null":false}]})");
    const std::string body = R"({"fn":"qxi_get_dividends","req_len":2})";
    CHECK(len == static_cast<int>(body.size()) && res && std::memcmp(res, body.data(), len) == 0);

    CHECK(qxi_get_orders_pb(nullptr, 5, nullptr, nullptr) == 0);
    CHECK(entry(-1) == R"({"fn":"qxi_get_orders_pb","args":[{"k":"req","null":true},)"
                       R"({"k":"int","v":5},{"k":"out","null":true},{"k":"out","null":true}]})");
    const char one = 'z';  // a negative length must not be read through
    qxi_log_pb(&one, -3);
    CHECK(entry(-1) ==
          R"({"fn":"qxi_log_pb","args":[{"k":"req","null":false,"hex":""},{"k":"int","v":-3}]})");
    const char zeros[3] = {'\0', '\xff', '\0'};  // bytes after a NUL survive in a request
    qxi_raw_func_pb(zeros, 3, &res, &len);
    CHECK(contains(entry(-1), R"("hex":"00ff00")"));

    qxi_set_backtest_config("2026-01-01", nullptr, INFINITY, -INFINITY, NAN, 0.1, 1e300, -0.0, 5e-324, 1, 2,
                            3);
    CHECK(
        entry(-1) ==
        R"({"fn":"qxi_set_backtest_config","args":[{"k":"str","null":false,"hex":"323032362d30312d3031"},)"
        R"({"k":"str","null":true},{"k":"real","v":Infinity},{"k":"real","v":-Infinity},)"
        R"({"k":"real","v":NaN},{"k":"real","v":0.10000000000000001},{"k":"real","v":1.0000000000000001e+300},)"
        R"({"k":"real","v":-0.0},{"k":"real","v":4.9406564584124654e-324},)"
        R"({"k":"int","v":1},{"k":"int","v":2},{"k":"int","v":3}]})");
    qxi_set_mode_consistency(true);
    CHECK(contains(entry(-1), R"([{"k":"bool","v":true}])"));
    qxi_set_event_callback_pb(nullptr);
    CHECK(contains(entry(-1), R"([{"k":"cb","null":true}])"));
    qxi_set_event_callback_pb(record);
    CHECK(contains(entry(-1), R"([{"k":"cb","null":false}])"));
    char* addr = nullptr;
    qxi_get_serv_addr("md", &addr);
    CHECK(contains(entry(-1), R"({"k":"str","null":false,"hex":"6d64"},{"k":"out","null":false})"));

    qxstub_set_now(5000000000123LL);  // beyond 32 bits
    CHECK(qxi_now() == 5000000000123LL);
    CHECK(qxi_now_plus() == 5000000000.123);
    CHECK(qxstub_journal_entry(qxstub_journal_count()) == nullptr);
    CHECK(qxstub_journal_entry(-qxstub_journal_count() - 1) == nullptr);
}

void scripting() {
    start();
    char* res = nullptr;
    int len = 0;
    qxstub_push_status("qxi_get_dividends", 7);
    qxstub_push_status("qxi_get_dividends", 8);
    CHECK(qxstub_unconsumed("qxi_get_dividends") == 2 && qxstub_unconsumed(nullptr) == 2);
    CHECK(qxi_get_fundamentals("", 0, &res, &len) == 0);  // other functions keep the default
    CHECK(qxi_get_dividends("", 0, &res, &len) == 7);
    CHECK(qxi_get_dividends("", 0, &res, &len) == 8);
    CHECK(qxi_get_dividends("", 0, &res, &len) == 0);
    CHECK(qxstub_unconsumed(nullptr) == 0);

    // A scripted response is stored even with a failure status.
    qxstub_push_status("qxi_get_cash_pb", 1003);
    qxstub_push_response("qxi_get_cash_pb", "x\0z", 3);
    CHECK(qxi_get_cash_pb("{}", 2, &res, &len) == 1003);
    CHECK(len == 3 && res && std::memcmp(res, "x\0z", 3) == 0);
    qxstub_push_response("qxi_get_cash_pb", nullptr, -4);
    res = reinterpret_cast<char*>(&len);
    CHECK(qxi_get_cash_pb("{}", 2, &res, &len) == 0 && res == nullptr && len == -4);
    qxstub_push_response("qxi_get_account_info_pb", "abc", 0);
    CHECK(qxi_get_account_info_pb(&res, &len) == 0 && res != nullptr && len == 0);
    CHECK(qxi_get_account_info_pb(&res, &len) == 0 &&
          std::string(res, len) == R"({"fn":"qxi_get_account_info_pb"})");

    CHECK(std::string(qxi_strerror(42)) == "error 42");
    CHECK(std::string(qxi_strerror(1000)) == "invalid token");
    CHECK(std::string(qxi_strerror(0)) == "success");
    qxstub_push_text("qxi_strerror", nullptr);
    qxstub_push_text("qxi_strerror", "scripted");
    CHECK(qxi_strerror(42) == nullptr);
    CHECK(std::string(qxi_strerror(42)) == "scripted");
    CHECK(std::string(qxi_get_ext_errormsg()).empty());
    CHECK(std::string(qxi_get_c_version()) == "qxsdk stand-in 1.0");
    CHECK(std::string(qxi_get_orgcode()) == "org-standin");
    qxi_set_serv_addr_v5("tcp://x", "org-7", nullptr);
    CHECK(std::string(qxi_get_orgcode()) == "org-7");

    qxi_set_token("alpha");
    const std::string a = qxi_get_encrypted_token();
    qxi_set_apitoken("beta");
    const std::string b = qxi_get_encrypted_token();
    qxi_set_token("alpha");
    CHECK(a != b && a == qxi_get_encrypted_token());
    qxstub_push_status("qxi_set_token", 1000);  // a refused token is not remembered
    CHECK(qxi_set_token("gamma") == 1000 && a == qxi_get_encrypted_token());

    char* addr = nullptr;
    CHECK(qxi_get_serv_addr("md", &addr) == 0 && addr && std::strncmp(addr, "tcp://127.0.0.1:", 16) == 0);
    const std::string md = addr;
    qxi_get_serv_addr("trade", &addr);
    CHECK(md != addr);
    qxstub_push_status("qxi_get_serv_addr", 5);
    qxstub_push_text("qxi_get_serv_addr", nullptr);
    CHECK(qxi_get_serv_addr("md", &addr) == 5 && addr == nullptr);

    for (const char* fn : {"qxi_run", "qxi_poll", "qxi_stop", "qxi_user_timer", "qxi_smart_reorder",
                           "qxi_get_stop_error_code", "qxi_init"})
        qxstub_push_status(fn, 77);
    CHECK(qxi_run() == 77 && qxi_poll() == 77 && qxi_stop() == 77);
    CHECK(qxi_user_timer(1000, 0) == 77);
    CHECK(qxi_smart_reorder("S", 1, 1, 1, 1, 1, 1, 1, 1, 1, "a") == 77);
    CHECK(qxi_get_stop_error_code() == 77 && qxi_get_stop_error_code() == 0);
    CHECK(qxi_init() == 77 && qxi_init() == 0);
    // The scripted timer and reorder were not created: ids still start at 1.
    CHECK(qxi_user_timer(1000, 0) == 1 && qxi_smart_reorder("S", 1, 1, 1, 1, 1, 1, 1, 1, 1, "a") == 1);
    CHECK(qxi_smart_reorder_cancel(1) == 0 && qxi_smart_reorder_cancel(1) == 1004);

    qxstub_push_status("qxi_subscribe", 9);
    qxstub_push_status("qxi_place_order_pb", 9);
    qxstub_reset();
    CHECK(qxstub_unconsumed(nullptr) == 0 && qxstub_journal_count() == 0 && qxi_now() == 1767225600000LL);
}

void session() {
    start();
    qxstub_set_session(120, 1000);
    const long long t0 = qxi_now();
    CHECK(qxi_subscribe("SHSE.600000, SZSE.000001", "tick", false) == 0);
    CHECK(qxi_subscribe("SHSE.600000", "60s", false) == 0);
    CHECK(qxi_subscribe("SHSE.600000", "bogus", false) == 0);
    CHECK(qxi_user_timer(30000, 10000) == 1);
    CHECK(qxi_schedule("1d", "09:31:00") == 0);
    CHECK(qxi_run() == 0);
    // Callback invocations are not journalled: the whole run is one entry.
    CHECK(qxstub_journal_count() == 7 && contains(entry(-1), R"("fn":"qxi_run")"));
    CHECK(qxi_now() == t0 + 120000);
    CHECK(of("tick").size() == 240);
    const auto bars = of("bar");
    CHECK(bars.size() == 2);
    CHECK(of("user_timer").size() == 4);  // at 10 s, 40 s, 70 s, 100 s
    CHECK(of("schedule").size() == 1);
    CHECK(seen.size() == 247);
    const auto ticks = of("tick");
    CHECK(
        contains(*ticks[0].payload, R"({"symbol":"SHSE.600000","created_at":)" + std::to_string(t0 + 1000)));
    CHECK(contains(*ticks[1].payload, R"("symbol":"SZSE.000001")"));
    CHECK(contains(*ticks[0].payload, R"("quotes":[{"bid_p":)"));
    CHECK(ticks[0].len == static_cast<int>(ticks[0].payload->size()));
    CHECK(contains(*bars[0].payload, R"("frequency":"60s","bob":)" + std::to_string(t0) + R"(,"eob":)" +
                                         std::to_string(t0 + 60000)));
    const auto timers = of("user_timer");
    CHECK(*timers[0].payload == R"({"timer_id":1,"now":)" + std::to_string(t0 + 10000) + "}");
    CHECK(*timers[3].payload == R"({"timer_id":1,"now":)" + std::to_string(t0 + 100000) + "}");
    CHECK(*of("schedule")[0].payload == R"({"date_rule":"1d","time_rule":"09:31:00"})");
    // At the middle step the ticks come first, then the bar, then the schedule.
    std::size_t i = 0;
    while (i < seen.size() && *seen[i].text != "schedule") ++i;
    CHECK(i >= 3 && *seen[i - 1].text == "bar" && *seen[i - 2].text == "tick");

    // The same calls give the same session.
    const auto first = seen;
    start();
    qxstub_set_session(120, 1000);
    qxi_subscribe("SHSE.600000, SZSE.000001", "tick", false);
    qxi_subscribe("SHSE.600000", "60s", false);
    qxi_user_timer(30000, 10000);
    qxi_schedule("1d", "09:31:00");
    qxi_run();
    CHECK(seen.size() == first.size());
    for (std::size_t k = 0; k < seen.size() && k < first.size(); ++k)
        CHECK(seen[k].text == first[k].text && seen[k].payload == first[k].payload);

    // Unsubscribing everything leaves a silent session.
    seen.clear();
    qxi_unsubscribe("*", "*");
    qxi_user_timer_stop(1);
    qxi_run();
    CHECK(of("tick").empty() && of("bar").empty() && of("user_timer").empty());
    qxi_subscribe("A,B", "tick", false);
    qxi_unsubscribe("A", "tick");
    seen.clear();
    qxstub_set_session(3, 1000);
    qxi_run();
    CHECK(of("tick").size() == 3 && contains(*of("tick")[0].payload, R"("symbol":"B")"));
    qxi_subscribe("C", "tick", true);  // unsubscribe_previous drops B
    seen.clear();
    qxi_run();
    CHECK(of("tick").size() == 3 && contains(*of("tick")[2].payload, R"("symbol":"C")"));
}

int stop_after = 0;
void stop_on_count(const char* text, const char* payload, int len) {
    record(text, payload, len);
    if (static_cast<int>(seen.size()) == stop_after) qxi_stop();
}

void stopping() {
    start(stop_on_count);
    stop_after = 5;
    qxi_subscribe("SHSE.600000", "tick", false);
    const long long t0 = qxi_now();
    CHECK(qxi_run() == 0);
    CHECK(seen.size() == 5 && qxi_now() == t0 + 5000);

    // Stopping among the queued events keeps the rest queued for later.
    start(stop_on_count);
    stop_after = 2;
    for (const char* e : {"e1", "e2", "e3"}) qxstub_push_event(e, "", 0);
    qxstub_push_status("qxi_run", 3);
    CHECK(qxi_run() == 3);
    CHECK(seen.size() == 2 && qxstub_pending_events() == 1 && qxstub_pending_pushed_events() == 1);
    stop_after = 0;
    CHECK(qxi_poll() == 0 && seen.size() == 3 && *seen[2].text == "e3");
    qxi_stop();  // outside a run it changes nothing
    qxi_subscribe("S", "tick", false);
    qxstub_set_session(4, 1000);
    qxi_run();
    CHECK(of("tick").size() == 4);
}

int reentrant_ticks = 0;
std::string order_reply;
int nested_status = -1;

void second(const char* text, const char* payload, int len) {
    record(text, payload, len);
    seen.back().text = "second:" + seen.back().text.value_or("");
}

void reentrant(const char* text, const char* payload, int len) {
    record(text, payload, len);
    if (!text || std::strcmp(text, "tick") != 0) return;
    if (++reentrant_ticks == 1) {
        const char req[] = R"({"symbol":"SHSE.600000","volume":100,"side":1,"price":10.5})";
        char* res = nullptr;
        int n = 0;
        CHECK(qxi_place_order_pb(req, sizeof req - 1, &res, &n) == 0);
        order_reply.assign(res, n);
        qxi_user_timer_stop(1);
        CHECK(qxi_send_msg_to_bus("news", "he said \"hi\"\n") == 0);
        nested_status = qxi_run();
        CHECK(qxi_poll() == 1005);
    } else if (reentrant_ticks == 3) {
        qxi_set_event_callback_pb(second);
    }
}

void reentrancy() {
    start(reentrant);
    reentrant_ticks = 0;
    qxi_add_bus_topic("news");
    qxi_subscribe("SHSE.600000", "tick", false);
    qxi_user_timer(1000, 1000);  // would fire at every step until stopped
    qxstub_set_session(5, 1000);
    CHECK(qxi_run() == 0);
    CHECK(nested_status == 1005);
    CHECK(contains(order_reply, R"({"order_id":"1","status":"filled","symbol":"SHSE.600000")"));
    // What the first tick's callback caused arrives right after it, before the next tick.
    CHECK(seen.size() >= 4 && *seen[0].text == "tick" && *seen[1].text == "execution_report" &&
          *seen[2].text == "bus" && *seen[3].text == "tick");
    CHECK(contains(*seen[1].payload, R"("price":10.50,"amount":1050.00)"));
    CHECK(*seen[2].payload == R"({"topic":"news","msg":"he said \"hi\"\n"})");
    CHECK(of("user_timer").empty());  // stopped before it was due at the first step
    CHECK(of("tick").size() == 3 && of("second:tick").size() == 2);

    char* res = nullptr;
    int n = 0;
    qxi_get_positions_pb("", 0, &res, &n);
    CHECK(std::string(res, n) == R"([{"symbol":"SHSE.600000","volume":100,"vwap":10.5000}])");
}

void swap_symbols(const char* text, const char* payload, int len) {
    record(text, payload, len);
    if (seen.size() == 1) {
        qxi_unsubscribe("B", "tick");       // stops at once, even within this step
        qxi_subscribe("C", "tick", false);  // ticks from the next step
    }
}

void subscription_changes() {
    start(swap_symbols);
    qxi_subscribe("A,B", "tick", false);
    qxstub_set_session(2, 1000);
    qxi_run();
    std::vector<std::string> symbols;
    for (const auto& e : of("tick")) symbols.push_back(e.payload->substr(11, 1));
    CHECK((symbols == std::vector<std::string>{"A", "A", "C"}));
}

void orders() {
    start();
    char* res = nullptr;
    int n = 0;
    auto place = [&](const std::string& req) {
        return qxi_place_order_pb(req.data(), int(req.size()), &res, &n);
    };
    CHECK(place(R"({"symbol":"A","volume":100,"side":1,"price":10.5})") == 0);
    CHECK(
        place(
            R"( { "side" : 2 , "price" : 11 , "extra" : {"x":[1,"]"]}, "volume" : 40, "symbol" : "A" } )") ==
        0);
    CHECK(contains(std::string(res, n), R"("order_id":"2")"));
    qxi_get_positions_pb("", 0, &res, &n);
    CHECK(std::string(res, n) == R"([{"symbol":"A","volume":60,"vwap":10.5000}])");
    qxi_get_cash_pb("", 0, &res, &n);
    CHECK(std::string(res, n) == R"({"available":999390.00,"market_value":630.00,"nav":1000020.00})");
    CHECK(qxstub_pending_events() == 2 && qxstub_pending_pushed_events() == 0);
    CHECK(qxi_poll() == 0 && of("execution_report").size() == 2);

    for (const std::string& bad : std::vector<std::string>{
             "", "{", "}", "[]", "not json", R"({"symbol":"A","volume":100,"side":3})",
             R"({"symbol":"A","volume":-1,"side":1})", R"({"symbol":"A","volume":1.5,"side":1})",
             R"({"symbol":"","volume":1,"side":1})", R"({"symbol":"A","volume":1,"side":1,"price":"x"})",
             R"({"symbol":"A","volume":1,"side":1,"price":1e400})", R"({"symbol":"A","volume":1,"side":1} x)",
             R"({"symbol":"A\u00","volume":1,"side":1})", R"({"symbol":"A","volume":1,"side":1,})",
             R"({"symbol":"A","volume":1e300,"side":1})", R"({"symbol":"A","volume":01,"side":1})",
             R"({"symbol":"A","volume":1,"side":1,"price":10.000000001})",
             R"({"symbol":"A","volume":1,"side":1,"x":[.5]})",
             std::string(R"({"symbol":"A)") + '\0' + "\"}"}) {
        CHECK(place(bad) == 1003);
        CHECK(contains(std::string(res, n), R"("error":1003)"));
    }
    CHECK(qxi_place_order_pb(nullptr, 10, &res, &n) == 1003);
    // A market order (no price) fills at the simulated price; a forced failure fills nothing.
    CHECK(place(R"({"symbol":"B","volume":10,"side":2})") == 0);
    qxstub_push_status("qxi_place_order_pb", 1);
    CHECK(place(R"({"symbol":"C","volume":10,"side":1,"price":1})") == 1);
    qxi_get_positions_pb("", 0, &res, &n);
    const std::string pos(res, n);
    CHECK(contains(pos, R"({"symbol":"B","volume":-10,"vwap":)") && !contains(pos, R"("C")"));
}

void bus_and_timers() {
    start();
    CHECK(qxi_send_msg_to_bus("t", "m") == 1002);
    CHECK(qxi_send_msg_to_bus(nullptr, "m") != 0);
    qxi_add_bus_topic("t");
    CHECK(qxi_send_msg_to_bus("t", "m") == 0);
    CHECK(qxi_send_msg_to_bus("t", nullptr) != 0);
    CHECK(qxstub_pending_events() == 1 && seen.empty());
    qxi_poll();
    CHECK(seen.size() == 1 && *seen[0].payload == R"({"topic":"t","msg":"m"})");

    seen.clear();
    const long long t0 = qxi_now();
    qxi_set_timer(2500);
    qxi_poll();
    CHECK(seen.empty());
    qxstub_set_now(t0 + 2500);
    qxi_poll();
    qxstub_set_now(t0 + 9000);  // several periods late: one event, then back on the grid
    qxi_poll();
    qxi_poll();
    qxstub_set_now(t0 + 10000);
    qxi_poll();
    CHECK(seen.size() == 3);
    CHECK(seen.size() == 3 && *seen[2].payload == R"({"now":)" + std::to_string(t0 + 10000) + "}");
    qxi_set_timer(0);
    qxstub_set_now(t0 + 100000);
    qxi_poll();
    CHECK(seen.size() == 3);
}

int echo_count = 0;
void echo(const char* text, const char* payload, int len) {
    record(text, payload, len);
    ++echo_count;
    qxi_send_msg_to_bus("loop", "again");  // would never end if a poll took these too
}

void poll_termination() {
    start(echo);
    qxi_add_bus_topic("loop");
    qxi_send_msg_to_bus("loop", "go");
    for (int i = 1; i <= 3; ++i) {
        CHECK(qxi_poll() == 0);
        CHECK(echo_count == i && qxstub_pending_events() == 1);
    }
}

void violations_and_threads() {
    start();
    qxstub_push_event(nullptr, nullptr, -5);
    qxstub_push_event("x", "abc", -1);
    qxstub_push_event("y", "ab\0c", 4);
    qxi_poll();
    CHECK(seen.size() == 3);
    CHECK(!seen[0].text && !seen[0].payload && seen[0].len == -5);
    CHECK(*seen[1].text == "x" && seen[1].payload && seen[1].len == -1);
    CHECK(*seen[2].payload == std::string("ab\0c", 4));

    seen.clear();
    qxstub_fire_from_thread("late", "p", 1);
    CHECK(seen.size() == 1 && seen[0].thread != std::this_thread::get_id() && *seen[0].text == "late");
    CHECK(qxstub_delivered_events() == 4);
    qxi_set_event_callback_pb(nullptr);
    qxstub_fire_from_thread("late", "p", 1);  // no callback: nothing happens
    qxstub_push_event("dropped", nullptr, 0);
    qxi_poll();
    CHECK(seen.size() == 1 && qxstub_pending_events() == 0);
}

void flood() {
    start(count_only);
    floods = 0;
    qxstub_flood_events("tick", "{}", 2, 1000000);
    qxstub_flood_events("x", nullptr, 0, 0);  // nothing to deliver
    CHECK(qxstub_pending_events() == 1000000);
    const auto t = std::chrono::steady_clock::now();
    CHECK(qxi_poll() == 0);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    CHECK(floods == 1000000 && qxstub_delivered_events() == 1000000 && qxstub_pending_events() == 0);
    CHECK(qxstub_journal_count() == 1);
    std::printf("flood: 1000000 events through qxi_poll in %.3f s\n", secs);
}

void journal_cap() {
    start();
    for (int i = 0; i < 100010; ++i) qxi_set_mode(i);
    CHECK(qxstub_journal_count() == 100000);
    CHECK(contains(entry(0), R"({"k":"int","v":10})"));
    CHECK(contains(entry(-1), R"({"k":"int","v":100009})"));
    qxstub_journal_enable(0);
    qxi_init();
    CHECK(qxstub_journal_count() == 100000);
    qxstub_journal_enable(1);
    qxi_init();
    CHECK(contains(entry(-1), "qxi_init"));
    qxstub_journal_clear();
    CHECK(qxstub_journal_count() == 0);
}

}  // namespace

int main() {
    const struct {
        const char* name;
        void (*run)();
    } groups[] = {{"journal_forms", journal_forms},
                  {"scripting", scripting},
                  {"session", session},
                  {"stopping", stopping},
                  {"reentrancy", reentrancy},
                  {"subscription_changes", subscription_changes},
                  {"orders", orders},
                  {"bus_and_timers", bus_and_timers},
                  {"poll_termination", poll_termination},
                  {"violations_and_threads", violations_and_threads},
                  {"flood", flood},
                  {"journal_cap", journal_cap}};
    for (const auto& g : groups) {
        const int before = failures;
        g.run();
        std::printf("%-24s %s\n", g.name, failures == before ? "ok" : "FAILED");
    }
    qxstub_reset();
    return failures ? 1 : 0;
}
