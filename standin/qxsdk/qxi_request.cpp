// Library interface: the functions that take a serialised request and store a response.
#include "answers.hpp"
#include "journal.hpp"
#include "orders.hpp"
#include "state.hpp"

#include <optional>
#include <string>
#include <string_view>

using namespace standin;

namespace {

// The shared body of every (req, req_len, res, res_len) function. `fn` is a literal name.
int reqres(std::string_view fn, const char* req, int n, char** res, int* res_len) {
    Lock lk(mu);
    enter(Rec(fn.data()).req(req, n).out(res).out(res_len));
    const std::optional<int> forced = pop_status(fn);
    const std::string_view f = fn;
    int status = forced.value_or(kOk);
    std::string body;  // only for the functions that answer more than the default
    if (f == "qxi_place_order_pb") {
        const auto o = parse_order(req, n);
        const int natural = o ? kOk : kErrRequest;
        status = forced.value_or(natural);
        if (natural == kOk && status == kOk) {
            body = fill(*o);
        } else {
            // A scripted status replaces only the return value: the response still says
            // why nothing was filled (the request's own fault first).
            body = default_body(fn, n);
            body.insert(body.size() - 1, ",\"error\":" + std::to_string(natural != kOk ? natural : status));
            if (natural != kOk) st.last_error = "qxi_place_order_pb: malformed request, nothing was filled";
        }
    } else if (f == "qxi_get_positions_pb") {
        body = positions_json();
    } else if (f == "qxi_get_cash_pb") {
        body = cash_json();
    }
    if (body.empty())
        store_default(fn, n, res, res_len);
    else
        store(fn, res, res_len, body);
    return status;
}

}  // namespace

extern "C" {

// clang-format off
#define QX_REQRES(X)                                                                            \
  X(qxi_place_order_pb) X(qxi_close_all_positions_pb) X(qxi_get_orders_pb)                      \
  X(qxi_get_unfinished_orders_pb) X(qxi_get_execution_reports_pb) X(qxi_get_positions_pb)       \
  X(qxi_get_cash_pb) X(qxi_get_positions_pb_v2) X(qxi_get_cash_pb_v2)                           \
  X(qxi_get_account_status_pb) X(qxi_raw_func_pb) X(qxi_get_entrustable_volume_by_symbol_pb)    \
  X(qxi_place_algo_orders_pb) X(qxi_get_algo_orders_pb) X(qxi_option_comb_entrust_pb)           \
  X(qxi_option_sep_entrust_pb) X(qxi_get_option_combinable_pb)                                  \
  X(qxi_get_option_comb_position_pb) X(qxi_get_credit_cash_pb) X(qxi_get_credit_contracts_pb)   \
  X(qxi_get_borrowable_instruments_pb) X(qxi_get_borrowable_instruments_positions_pb)           \
  X(qxi_get_collateral_instruments_pb) X(qxi_repay_cash_directly_pb) X(qxi_get_ipo_quota_pb)    \
  X(qxi_get_ipo_instruments_pb) X(qxi_get_ipo_match_number_pb) X(qxi_get_ipo_lot_info_pb)       \
  X(qxi_get_parameters_pb) X(qxi_get_instrument_pools_pb)                                       \
  X(qxi_get_instrument_pool_by_name_pb) X(qxi_last_tick_pb) X(qxi_current_price_pb)             \
  X(qxi_history_bars_pb) X(qxi_history_ticks_pb) X(qxi_history_bars_n_pb)                       \
  X(qxi_history_ticks_n_pb) X(qxi_history_bars_l2_pb) X(qxi_history_ticks_l2_pb)                \
  X(qxi_history_transaction_l2_pb) X(qxi_history_order_l2_pb)                                   \
  X(qxi_history_order_queue_l2_pb) X(qxi_get_open_call_auction) X(qxi_get_instruments)          \
  X(qxi_get_history_instruments) X(qxi_get_instrumentInfos)                                     \
  X(qxi_get_fuzzy_match_instrumentInfos) X(qxi_get_symbol_infos) X(qxi_get_symbols_v2)          \
  X(qxi_get_history_symbol) X(qxi_get_constituents) X(qxi_get_sector) X(qxi_get_industry)       \
  X(qxi_get_concept) X(qxi_get_continuous_contracts) X(qxi_get_varietyinfos)                    \
  X(qxi_get_contract_expire_rest_days) X(qxi_get_trading_dates)                                 \
  X(qxi_get_previous_trading_date) X(qxi_get_next_trading_date)                                 \
  X(qxi_get_previous_n_trading_dates) X(qxi_get_next_n_trading_dates)                           \
  X(qxi_get_trading_dates_by_year) X(qxi_get_trading_time) X(qxi_get_trading_times_ext)         \
  X(qxi_get_trading_session) X(qxi_get_dividends) X(qxi_get_dividends_snapshot)                 \
  X(qxi_get_fundamentals) X(qxi_get_fundamentals_n) X(qxi_get_convertible_bond_call_info)       \
  X(qxi_option_get_symbols_by_exchange) X(qxi_option_get_symbols_by_in_at_out)                  \
  X(qxi_option_get_delisted_dates) X(qxi_option_get_exercise_prices)                            \
  X(qxi_stk_get_index_constituents) X(qxi_stk_get_index_history_constituents)                   \
  X(qxi_stk_get_industry_category) X(qxi_stk_get_industry_constituents)                         \
  X(qxi_stk_get_symbol_industry) X(qxi_stk_get_sector_category)                                 \
  X(qxi_stk_get_sector_constituents) X(qxi_stk_get_symbol_sector) X(qxi_stk_get_dividend)       \
  X(stk_get_ration) X(qxi_stk_get_adj_factor) X(qxi_stk_get_shareholder_num)                    \
  X(qxi_stk_get_top_shareholder) X(qxi_stk_get_share_change)                                    \
  X(qxi_stk_get_fundamentals_balance) X(qxi_stk_get_fundamentals_balance_pt)                    \
  X(qxi_stk_get_fundamentals_cashflow) X(qxi_stk_get_fundamentals_cashflow_pt)                  \
  X(qxi_stk_get_fundamentals_income) X(qxi_stk_get_fundamentals_income_pt)                      \
  X(qxi_stk_get_finance_prime) X(qxi_stk_get_finance_prime_pt) X(qxi_stk_get_finance_deriv)     \
  X(qxi_stk_get_finance_deriv_pt) X(qxi_stk_get_daily_valuation)                                \
  X(qxi_stk_get_daily_valuation_pt) X(qxi_stk_get_daily_mktvalue)                               \
  X(qxi_stk_get_daily_mktvalue_pt) X(qxi_stk_get_daily_basic) X(qxi_stk_get_daily_basic_pt)     \
  X(qxi_stk_abnor_change_stocks) X(qxi_stk_abnor_change_detail) X(qxi_stk_quota_shszhk_infos)   \
  X(qxi_stk_hk_inst_holding_detail_info) X(qxi_stk_hk_inst_holding_info)                        \
  X(qxi_stk_active_stock_top10_shszhk_info) X(qxi_stk_get_money_flow)                           \
  X(qxi_stk_get_finance_audit) X(qxi_stk_get_finance_forecast) X(qxi_fnd_get_etf_components)    \
  X(qxi_fnd_get_portfolio) X(qxi_fnd_get_net_value) X(qxi_fnd_get_adj_factor)                  \
  X(qxi_fnd_get_dividend) X(qxi_fnd_get_split) X(qxi_fnd_get_share)                            \
  X(qxi_fut_get_continuous_contracts) X(qxi_fut_get_contract_info)                              \
  X(qxi_fut_get_transaction_ranking) X(qxi_fut_get_transaction_rankings)                        \
  X(qxi_fut_get_warehouse_receipt) X(qxi_bnd_get_conversion_price) X(qxi_bnd_get_call_info)     \
  X(qxi_bnd_get_put_info) X(qxi_bnd_get_amount_change) X(qxi_bnd_get_analysis)
// clang-format on

// clang-format off
#define QX_STATUS_ONLY(X)                                                                       \
  X(qxi_cancel_orders_pb) X(qxi_cancel_all_orders_pb) X(qxi_pause_algo_orders_pb)               \
  X(qxi_cancel_algo_orders_pb) X(qxi_set_parameters_pb) X(qxi_add_parameters_pb)                \
  X(qxi_set_instrument_pool_symbols_pb) X(qxi_del_instrument_pool_by_name_pb) X(qxi_log_pb)
// clang-format on

#define QX_DEFINE_REQRES(name)                                         \
    int name(const char* req, int req_len, char** res, int* res_len) { \
        return reqres(#name, req, req_len, res, res_len);              \
    }
#define QX_DEFINE_STATUS_ONLY(name)          \
    int name(const char* req, int req_len) { \
        Lock lk(mu);                         \
        enter(Rec(#name).req(req, req_len)); \
        return scripted(#name, kOk);         \
    }

QX_REQRES(QX_DEFINE_REQRES)
QX_STATUS_ONLY(QX_DEFINE_STATUS_ONLY)

int qxi_get_account_info_pb(char** res, int* res_len) {
    Lock lk(mu);
    enter(Rec(__func__).out(res).out(res_len));
    const int status = scripted(__func__, kOk);
    store(__func__, res, res_len, default_body(__func__));
    return status;
}

}  // extern "C"
