// Market-data subscription and snapshot. Subscribed data arrives later as events.
#include "binding.hpp"
#include "qxsdk.h"

namespace csdk {
namespace {

constexpr bool decorated = true;

constexpr Binding table[] = {
    Row<qxi_subscribe, ReturnInt, Style<"py_qxi_subscribe", "symbols", "frequency", "unsubscribe_previous">,
        Text<0>, Text<1>, Flag<2>>::make(decorated),
    Row<qxi_unsubscribe, ReturnInt, Style<"py_qxi_unsubscribe", "symbols", "frequency">, Text<0>,
        Text<1>>::make(decorated),
    // The library takes the flag before the fields, and conversions follow its order.
    Row<qxi_current_pb, ReturnPair, Style<"py_qxi_current", "symbols", "fields", "include_call_auction">,
        Text<0>, Flag<2>, Text<1>>::make(decorated),
};

}  // namespace

std::span<const Binding> market_bindings() { return table; }

}  // namespace csdk
