// Library interface: timers, schedules and the message bus.
#include "answers.hpp"
#include "events.hpp"
#include "journal.hpp"
#include "state.hpp"
#include "text.hpp"

#include <algorithm>

using namespace standin;

extern "C" {

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

}  // extern "C"
