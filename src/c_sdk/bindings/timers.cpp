// Schedules, timers and the message bus. What they trigger comes back as events.
#include "binding.hpp"
#include "qxsdk.h"

namespace csdk {
namespace {

constexpr bool decorated = true;
constexpr bool plain = false;

constexpr Binding table[] = {
    Row<qxi_schedule, ReturnInt, Style<"py_qxi_schedule", "date_rule", "time_rule">, Text<0>, Text<1>>::make(
        decorated),
    Row<qxi_set_timer, ReturnNone, Style<"py_qxi_set_timer", "interval">, Int<0>>::make(plain),
    Row<qxi_user_timer, ReturnInt, Style<"py_qxi_user_timer", "period", "start_delay">, Int<0>, Int<1>>::make(
        decorated),
    Row<qxi_user_timer_stop, ReturnNone, Style<"py_qxi_user_timer_stop", "timer_id">, Int<0>>::make(
        decorated),
    Row<qxi_set_bus_info, ReturnNone, Style<"py_qxi_set_bus_info", "server_addr", "user_name", "password">,
        Text<0>, Text<1>, Text<2>>::make(decorated),
    Row<qxi_set_bus_secure, ReturnNone,
        Style<"py_qxi_set_bus_secure", "in_mode", "tlsca", "tlscert", "tlskey", "skip_verify">, Int<0>,
        Text<1>, Text<2>, Text<3>, Flag<4>>::make(decorated),
    Row<qxi_add_bus_topic, ReturnNone, Style<"py_qxi_add_bus_topic", "topic">, Text<0>>::make(decorated),
    Row<qxi_send_msg_to_bus, ReturnInt, Style<"py_qxi_send_msg_to_bus", "topic", "msg">, Text<0>,
        Text<1>>::make(decorated),
};

}  // namespace

std::span<const Binding> timer_bindings() { return table; }

}  // namespace csdk
