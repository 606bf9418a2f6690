// Trading and back-test operations that take several plain arguments.
#include "binding.hpp"
#include "qxsdk.h"

namespace csdk {
namespace {

constexpr bool decorated = true;

constexpr Binding table[] = {
    Row<qxi_set_backtest_config, ReturnInt,
        Style<"py_qxi_set_backtest_config", "start_time", "end_time", "initial_cash", "transaction_ratio",
              "commission_ratio", "commission_unit", "slippage_ratio", "option_float_margin_ratio1",
              "option_float_margin_ratio2", "adjust", "match_mode", "check_cache">,
        Text<0>, Text<1>, Real<2>, Real<3>, Real<4>, Real<5>, Real<6>, Real<7>, Real<8>, Int<9>, Int<10>,
        Int<11>>::make(decorated),
    Row<qxi_smart_reorder, ReturnInt,
        Style<"py_qxi_smart_reorder", "symbol", "price", "volume", "side", "order_type", "position_effect",
              "repeat_n", "max_price_offset", "time_out", "time_wait", "account">,
        Text<0>, Real<1>, Int<2>, Int<3>, Int<4>, Int<5>, Int<6>, Int<7>, Int<8>, Int<9>,
        Text<10>>::make(decorated),
    Row<qxi_smart_reorder_cancel, ReturnInt, Style<"py_qxi_smart_reorder_cancel", "reorder_id">,
        Int<0>>::make(decorated),
    Row<qxi_algo_order_batch_pb, ReturnPair,
        Style<"py_qxi_algo_order_batch", "req", "algo_name", "algo_params">, Request<0>, Text<1>,
        Text<2>>::make(decorated),
    Row<qxi_get_child_orders_pb, ReturnPair, Style<"py_qxi_get_child_orders", "account_id", "algo_id">,
        Text<0>, Text<1>>::make(decorated),
};

}  // namespace

std::span<const Binding> trading_bindings() { return table; }

}  // namespace csdk
