// Library interface: trading and back-test.
#include "answers.hpp"
#include "journal.hpp"
#include "state.hpp"
#include "text.hpp"

#include <cmath>

using namespace standin;

extern "C" {

int qxi_set_backtest_config(const char* start_time, const char* end_time, double initial_cash,
                            double transaction_ratio, double commission_ratio, double commission_unit,
                            double slippage_ratio, double option_float_margin_ratio1,
                            double option_float_margin_ratio2, int adjust, int match_mode, int check_cache) {
    Lock lk(mu);
    enter(Rec(__func__)
              .str(start_time)
              .str(end_time)
              .d(initial_cash)
              .d(transaction_ratio)
              .d(commission_ratio)
              .d(commission_unit)
              .d(slippage_ratio)
              .d(option_float_margin_ratio1)
              .d(option_float_margin_ratio2)
              .i(adjust)
              .i(match_mode)
              .i(check_cache));
    const int status = scripted(__func__, kOk);
    if (status == kOk && std::isfinite(initial_cash) && initial_cash >= 0 && initial_cash <= 1e16)
        st.cash = std::llround(initial_cash * 100);
    return status;
}

int qxi_smart_reorder(const char* symbol, double price, int volume, int side, int order_type,
                      int position_effect, int repeat_n, int max_price_offset, int time_out, int time_wait,
                      const char* account) {
    Lock lk(mu);
    enter(Rec(__func__)
              .str(symbol)
              .d(price)
              .i(volume)
              .i(side)
              .i(order_type)
              .i(position_effect)
              .i(repeat_n)
              .i(max_price_offset)
              .i(time_out)
              .i(time_wait)
              .str(account));
    if (const auto forced = pop_status(__func__)) return *forced;  // nothing is created
    const int id = take_id(st.next_reorder_id);
    st.reorders.insert(id);
    return id;
}

int qxi_smart_reorder_cancel(int reorder_id) {
    Lock lk(mu);
    enter(Rec(__func__).i(reorder_id));
    const bool known = st.reorders.contains(reorder_id);
    const int status = scripted(__func__, known ? kOk : kErrUnknownId);
    if (known && status == kOk) st.reorders.erase(reorder_id);
    return status;
}

int qxi_algo_order_batch_pb(const char* req, int req_len, const char* algo_name, const char* algo_params,
                            char** res, int* res_len) {
    Lock lk(mu);
    enter(Rec(__func__).req(req, req_len).str(algo_name).str(algo_params).out(res).out(res_len));
    const int status = scripted(__func__, kOk);
    store_default(__func__, req_len, res, res_len);
    return status;
}

int qxi_get_child_orders_pb(const char* account_id, const char* algo_id, char** res, int* res_len) {
    Lock lk(mu);
    enter(Rec(__func__).str(account_id).str(algo_id).out(res).out(res_len));
    const int status = scripted(__func__, kOk);
    store(__func__, res, res_len, default_body(__func__));
    return status;
}

}  // extern "C"
