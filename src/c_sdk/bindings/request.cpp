// Serialised-request bindings: each forwards one request to one library function and
// returns its status with the response, or the bare status. The shape of each call
// (request/response, status only, response only) follows from the library
// function's type.
#include "binding.hpp"
#include "qxsdk.h"

namespace csdk {
namespace {

constexpr bool decorated = true;
constexpr bool plain = false;

#define REQUEST(name, fn, decoration) request_binding<#name, fn>(decoration)

constexpr Binding table[] = {
    // Orders, positions and accounts
    REQUEST(py_qxi_place_order, qxi_place_order_pb, decorated),
    REQUEST(py_qxi_cancel_order, qxi_cancel_orders_pb, decorated),
    REQUEST(py_qxi_cancel_all_orders, qxi_cancel_all_orders_pb, decorated),
    REQUEST(py_qxi_close_all_positions, qxi_close_all_positions_pb, decorated),
    REQUEST(py_qxi_get_orders, qxi_get_orders_pb, decorated),
    REQUEST(py_qxi_get_unfinished_orders, qxi_get_unfinished_orders_pb, decorated),
    REQUEST(py_qxi_get_execution_reports, qxi_get_execution_reports_pb, decorated),
    REQUEST(py_qxi_get_positions, qxi_get_positions_pb, decorated),
    REQUEST(py_qxi_get_cash, qxi_get_cash_pb, decorated),
    REQUEST(py_qxi_get_positions_pb_v2, qxi_get_positions_pb_v2, plain),
    REQUEST(py_qxi_get_cash_pb_v2, qxi_get_cash_pb_v2, plain),
    REQUEST(py_qxi_get_account_status, qxi_get_account_status_pb, decorated),
    REQUEST(py_qxi_get_accounts, qxi_get_account_info_pb, plain),
    REQUEST(py_qxi_raw_func, qxi_raw_func_pb, decorated),
    REQUEST(py_qxi_get_entrustable_volume_by_symbol_pb, qxi_get_entrustable_volume_by_symbol_pb, decorated),
    REQUEST(py_qxi_place_algo_orders, qxi_place_algo_orders_pb, decorated),
    REQUEST(py_qxi_get_algo_orders, qxi_get_algo_orders_pb, decorated),
    REQUEST(py_qxi_pause_algo_orders, qxi_pause_algo_orders_pb, decorated),
    REQUEST(py_qxi_cancel_algo_orders, qxi_cancel_algo_orders_pb, decorated),
    REQUEST(py_qxi_option_comb_entrust_pb, qxi_option_comb_entrust_pb, plain),
    REQUEST(py_qxi_option_sep_entrust_pb, qxi_option_sep_entrust_pb, plain),
    REQUEST(py_qxi_get_option_combinable_pb, qxi_get_option_combinable_pb, plain),
    REQUEST(py_qxi_get_option_comb_position_pb, qxi_get_option_comb_position_pb, plain),
    // Margin (credit) and IPO
    REQUEST(py_qxi_get_credit_cash_pb, qxi_get_credit_cash_pb, decorated),
    REQUEST(py_qxi_get_credit_contracts_pb, qxi_get_credit_contracts_pb, decorated),
    REQUEST(py_qxi_get_borrowable_instruments_pb, qxi_get_borrowable_instruments_pb, decorated),
    REQUEST(py_qxi_get_borrowable_instruments_positions_pb, qxi_get_borrowable_instruments_positions_pb,
            decorated),
    REQUEST(py_qxi_get_collateral_instruments_pb, qxi_get_collateral_instruments_pb, decorated),
    REQUEST(py_qxi_repay_cash_directly_pb, qxi_repay_cash_directly_pb, decorated),
    REQUEST(py_qxi_get_ipo_quota_pb, qxi_get_ipo_quota_pb, decorated),
    REQUEST(py_qxi_get_ipo_instruments_pb, qxi_get_ipo_instruments_pb, decorated),
    REQUEST(py_qxi_get_ipo_match_number_pb, qxi_get_ipo_match_number_pb, decorated),
    REQUEST(py_qxi_get_ipo_lot_info_pb, qxi_get_ipo_lot_info_pb, decorated),
    // Strategy parameters, instrument pools and log
    REQUEST(py_qxi_get_parameters, qxi_get_parameters_pb, plain),
    REQUEST(py_qxi_set_parameters, qxi_set_parameters_pb, plain),
    REQUEST(py_qxi_add_parameters, qxi_add_parameters_pb, plain),
    REQUEST(py_qxi_get_instrument_pools_pb, qxi_get_instrument_pools_pb, plain),
    REQUEST(py_qxi_get_instrument_pool_by_name_pb, qxi_get_instrument_pool_by_name_pb, plain),
    REQUEST(py_qxi_set_instrument_pool_symbols_pb, qxi_set_instrument_pool_symbols_pb, plain),
    REQUEST(py_qxi_del_instrument_pool_by_name_pb, qxi_del_instrument_pool_by_name_pb, plain),
    REQUEST(py_qxi_log, qxi_log_pb, plain),
    // Market data, latest and history
    REQUEST(py_qxi_last_tick, qxi_last_tick_pb, decorated),
    REQUEST(py_qxi_current_price, qxi_current_price_pb, decorated),
    REQUEST(py_qxi_history_bars_pb, qxi_history_bars_pb, plain),
    REQUEST(py_qxi_history_ticks_pb, qxi_history_ticks_pb, plain),
    REQUEST(py_qxi_history_bars_n_pb, qxi_history_bars_n_pb, plain),
    REQUEST(py_qxi_history_ticks_n_pb, qxi_history_ticks_n_pb, plain),
    REQUEST(py_qxi_history_bars_l2, qxi_history_bars_l2_pb, decorated),
    REQUEST(py_qxi_history_ticks_l2, qxi_history_ticks_l2_pb, decorated),
    REQUEST(py_qxi_history_transaction_l2, qxi_history_transaction_l2_pb, decorated),
    REQUEST(py_qxi_history_order_l2, qxi_history_order_l2_pb, decorated),
    REQUEST(py_qxi_history_order_queue_l2, qxi_history_order_queue_l2_pb, decorated),
    REQUEST(py_qxi_get_open_call_auction, qxi_get_open_call_auction, plain),
    // Instruments, calendar, classification and fundamentals
    REQUEST(py_qxi_get_instruments, qxi_get_instruments, plain),
    REQUEST(py_qxi_get_history_instruments, qxi_get_history_instruments, plain),
    REQUEST(py_qxi_get_instrumentInfos, qxi_get_instrumentInfos, plain),
    REQUEST(py_qxi_get_fuzzy_match_instrumentInfos, qxi_get_fuzzy_match_instrumentInfos, plain),
    REQUEST(py_qxi_get_symbol_infos, qxi_get_symbol_infos, plain),
    REQUEST(py_qxi_get_symbols_v2, qxi_get_symbols_v2, plain),
    REQUEST(py_qxi_get_history_symbol, qxi_get_history_symbol, plain),
    REQUEST(py_qxi_get_constituents, qxi_get_constituents, plain),
    REQUEST(py_qxi_get_sector, qxi_get_sector, plain),
    REQUEST(py_qxi_get_industry, qxi_get_industry, plain),
    REQUEST(py_qxi_get_concept, qxi_get_concept, plain),
    REQUEST(py_qxi_get_continuous_contracts, qxi_get_continuous_contracts, plain),
    REQUEST(py_qxi_get_varietyinfos, qxi_get_varietyinfos, plain),
    REQUEST(py_qxi_get_contract_expire_rest_days, qxi_get_contract_expire_rest_days, plain),
    REQUEST(py_qxi_get_trading_dates, qxi_get_trading_dates, plain),
    REQUEST(py_qxi_get_previous_trading_date, qxi_get_previous_trading_date, plain),
    REQUEST(py_qxi_get_next_trading_date, qxi_get_next_trading_date, plain),
    REQUEST(py_qxi_get_previous_n_trading_dates, qxi_get_previous_n_trading_dates, plain),
    REQUEST(py_qxi_get_next_n_trading_dates, qxi_get_next_n_trading_dates, plain),
    REQUEST(py_get_trading_dates_by_year, qxi_get_trading_dates_by_year, plain),
    REQUEST(py_qxi_get_trading_time, qxi_get_trading_time, plain),
    REQUEST(py_qxi_get_trading_times_ext, qxi_get_trading_times_ext, plain),
    REQUEST(py_qxi_get_trading_session, qxi_get_trading_session, plain),
    REQUEST(py_qxi_get_dividends, qxi_get_dividends, plain),
    REQUEST(py_qxi_get_dividends_snapshot, qxi_get_dividends_snapshot, plain),
    REQUEST(py_qxi_get_fundamentals, qxi_get_fundamentals, plain),
    REQUEST(py_qxi_get_fundamentals_n, qxi_get_fundamentals_n, plain),
    REQUEST(py_qxi_get_convertible_bond_call_info, qxi_get_convertible_bond_call_info, plain),
    // Options reference
    REQUEST(py_qxi_option_get_symbols_by_exchange, qxi_option_get_symbols_by_exchange, plain),
    REQUEST(py_qxi_option_get_symbols_by_in_at_out, qxi_option_get_symbols_by_in_at_out, plain),
    REQUEST(py_qxi_option_get_delisted_dates, qxi_option_get_delisted_dates, plain),
    REQUEST(py_qxi_option_get_exercise_prices, qxi_option_get_exercise_prices, plain),
    // Stocks
    REQUEST(py_qxi_stk_get_index_constituents, qxi_stk_get_index_constituents, plain),
    REQUEST(py_qxi_stk_get_index_history_constituents, qxi_stk_get_index_history_constituents, plain),
    REQUEST(py_qxi_stk_get_industry_category, qxi_stk_get_industry_category, plain),
    REQUEST(py_qxi_stk_get_industry_constituents, qxi_stk_get_industry_constituents, plain),
    REQUEST(py_qxi_stk_get_symbol_industry, qxi_stk_get_symbol_industry, plain),
    REQUEST(py_qxi_stk_get_sector_category, qxi_stk_get_sector_category, plain),
    REQUEST(py_qxi_stk_get_sector_constituents, qxi_stk_get_sector_constituents, plain),
    REQUEST(py_qxi_stk_get_symbol_sector, qxi_stk_get_symbol_sector, plain),
    REQUEST(py_qxi_stk_get_dividend, qxi_stk_get_dividend, plain),
    REQUEST(py_stk_get_ration, stk_get_ration, plain),
    REQUEST(py_qxi_stk_get_adj_factor, qxi_stk_get_adj_factor, plain),
    REQUEST(py_qxi_stk_get_shareholder_num, qxi_stk_get_shareholder_num, plain),
    REQUEST(py_qxi_stk_get_top_shareholder, qxi_stk_get_top_shareholder, plain),
    REQUEST(py_qxi_stk_get_share_change, qxi_stk_get_share_change, plain),
    REQUEST(py_qxi_stk_get_fundamentals_balance, qxi_stk_get_fundamentals_balance, plain),
    REQUEST(py_qxi_stk_get_fundamentals_balance_pt, qxi_stk_get_fundamentals_balance_pt, plain),
    REQUEST(py_qxi_stk_get_fundamentals_cashflow, qxi_stk_get_fundamentals_cashflow, plain),
    REQUEST(py_qxi_stk_get_fundamentals_cashflow_pt, qxi_stk_get_fundamentals_cashflow_pt, plain),
    REQUEST(py_qxi_stk_get_fundamentals_income, qxi_stk_get_fundamentals_income, plain),
    REQUEST(py_qxi_stk_get_fundamentals_income_pt, qxi_stk_get_fundamentals_income_pt, plain),
    REQUEST(py_qxi_stk_get_finance_prime, qxi_stk_get_finance_prime, plain),
    REQUEST(py_qxi_stk_get_finance_prime_pt, qxi_stk_get_finance_prime_pt, plain),
    REQUEST(py_qxi_stk_get_finance_deriv, qxi_stk_get_finance_deriv, plain),
    REQUEST(py_qxi_stk_get_finance_deriv_pt, qxi_stk_get_finance_deriv_pt, plain),
    REQUEST(py_qxi_stk_get_daily_valuation, qxi_stk_get_daily_valuation, plain),
    REQUEST(py_qxi_stk_get_daily_valuation_pt, qxi_stk_get_daily_valuation_pt, plain),
    REQUEST(py_qxi_stk_get_daily_mktvalue, qxi_stk_get_daily_mktvalue, plain),
    REQUEST(py_qxi_stk_get_daily_mktvalue_pt, qxi_stk_get_daily_mktvalue_pt, plain),
    REQUEST(py_qxi_stk_get_daily_basic, qxi_stk_get_daily_basic, plain),
    REQUEST(py_qxi_stk_get_daily_basic_pt, qxi_stk_get_daily_basic_pt, plain),
    REQUEST(py_qxi_stk_abnor_change_stocks, qxi_stk_abnor_change_stocks, plain),
    REQUEST(py_qxi_stk_abnor_change_detail, qxi_stk_abnor_change_detail, plain),
    REQUEST(py_qxi_stk_quota_shszhk_infos, qxi_stk_quota_shszhk_infos, plain),
    REQUEST(py_qxi_stk_hk_inst_holding_detail_info, qxi_stk_hk_inst_holding_detail_info, plain),
    REQUEST(py_qxi_stk_hk_inst_holding_info, qxi_stk_hk_inst_holding_info, plain),
    REQUEST(py_qxi_stk_active_stock_top10_shszhk_info, qxi_stk_active_stock_top10_shszhk_info, plain),
    REQUEST(py_qxi_stk_get_money_flow, qxi_stk_get_money_flow, plain),
    REQUEST(py_qxi_stk_get_finance_audit, qxi_stk_get_finance_audit, plain),
    REQUEST(py_qxi_stk_get_finance_forecast, qxi_stk_get_finance_forecast, plain),
    // Funds
    REQUEST(py_qxi_fnd_get_etf_constituents, qxi_fnd_get_etf_components, plain),
    REQUEST(py_qxi_fnd_get_portfolio, qxi_fnd_get_portfolio, plain),
    REQUEST(py_qxi_fnd_get_net_value, qxi_fnd_get_net_value, plain),
    REQUEST(py_qxi_fnd_get_adj_factor, qxi_fnd_get_adj_factor, plain),
    REQUEST(py_qxi_fnd_get_dividend, qxi_fnd_get_dividend, plain),
    REQUEST(py_qxi_fnd_get_split, qxi_fnd_get_split, plain),
    REQUEST(py_qxi_fnd_get_share, qxi_fnd_get_share, plain),
    // Futures
    REQUEST(py_qxi_fut_get_continuous_contracts, qxi_fut_get_continuous_contracts, plain),
    REQUEST(py_qxi_fut_get_contract_info, qxi_fut_get_contract_info, plain),
    REQUEST(py_qxi_fut_get_transaction_ranking, qxi_fut_get_transaction_ranking, plain),
    REQUEST(py_qxi_fut_get_transaction_rankings, qxi_fut_get_transaction_rankings, plain),
    REQUEST(py_qxi_fut_get_warehouse_receipt, qxi_fut_get_warehouse_receipt, plain),
    // Bonds
    REQUEST(py_qxi_bnd_get_conversion_price, qxi_bnd_get_conversion_price, plain),
    REQUEST(py_qxi_bnd_get_call_info, qxi_bnd_get_call_info, plain),
    REQUEST(py_qxi_bnd_get_put_info, qxi_bnd_get_put_info, plain),
    REQUEST(py_qxi_bnd_get_amount_change, qxi_bnd_get_amount_change, plain),
    REQUEST(py_qxi_bnd_get_analysis, qxi_bnd_get_analysis, plain),
};

#undef REQUEST

}  // namespace

std::span<const Binding> request_bindings() { return table; }

}  // namespace csdk
