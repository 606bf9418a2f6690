/* Interface of the qxsdk trading library: every function the c_sdk module calls.
 *
 * Conventions shared by all functions:
 *  - a status is a plain int; success is the value the host package publishes as
 *    CSDK_OPERATE_SUCCESS, anything else is a failure code for qxi_strerror;
 *  - a serialised request is (const char* req, int req_len); the buffer belongs to the
 *    caller and is valid only for the duration of the call;
 *  - a serialised response is stored through (char** res, int* res_len) on success; the
 *    buffer belongs to the library and stays valid until the next library call;
 *  - texts are NUL-terminated; returned texts belong to the library;
 *  - events reach the client only through the callback registered with
 *    qxi_set_event_callback_pb, on the thread that is inside qxi_run or qxi_poll.
 */
#ifndef QXSDK_H
#define QXSDK_H

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define QXSDK_API __declspec(dllimport)
#else
#define QXSDK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Event receiver: (event text, payload bytes, payload length). */
typedef void (*qxi_event_callback)(const char* text, const char* payload, int payload_len);

/* ---- Request/response family: int fn(const char* req, int req_len, char** res, int* res_len) ---- */

QXSDK_API int qxi_place_order_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_close_all_positions_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_orders_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_unfinished_orders_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_execution_reports_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_positions_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_cash_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_positions_pb_v2(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_cash_pb_v2(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_account_status_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_raw_func_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_entrustable_volume_by_symbol_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_place_algo_orders_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_algo_orders_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_option_comb_entrust_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_option_sep_entrust_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_option_combinable_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_option_comb_position_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_credit_cash_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_credit_contracts_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_borrowable_instruments_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_borrowable_instruments_positions_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_collateral_instruments_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_repay_cash_directly_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_ipo_quota_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_ipo_instruments_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_ipo_match_number_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_ipo_lot_info_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_parameters_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_instrument_pools_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_instrument_pool_by_name_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_last_tick_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_current_price_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_history_bars_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_history_ticks_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_history_bars_n_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_history_ticks_n_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_history_bars_l2_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_history_ticks_l2_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_history_transaction_l2_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_history_order_l2_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_history_order_queue_l2_pb(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_open_call_auction(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_instruments(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_history_instruments(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_instrumentInfos(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_fuzzy_match_instrumentInfos(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_symbol_infos(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_symbols_v2(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_history_symbol(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_constituents(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_sector(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_industry(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_concept(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_continuous_contracts(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_varietyinfos(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_contract_expire_rest_days(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_trading_dates(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_previous_trading_date(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_next_trading_date(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_previous_n_trading_dates(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_next_n_trading_dates(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_trading_dates_by_year(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_trading_time(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_trading_times_ext(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_trading_session(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_dividends(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_dividends_snapshot(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_fundamentals(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_fundamentals_n(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_get_convertible_bond_call_info(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_option_get_symbols_by_exchange(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_option_get_symbols_by_in_at_out(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_option_get_delisted_dates(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_option_get_exercise_prices(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_index_constituents(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_index_history_constituents(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_industry_category(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_industry_constituents(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_symbol_industry(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_sector_category(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_sector_constituents(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_symbol_sector(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_dividend(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int stk_get_ration(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_adj_factor(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_shareholder_num(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_top_shareholder(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_share_change(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_fundamentals_balance(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_fundamentals_balance_pt(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_fundamentals_cashflow(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_fundamentals_cashflow_pt(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_fundamentals_income(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_fundamentals_income_pt(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_finance_prime(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_finance_prime_pt(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_finance_deriv(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_finance_deriv_pt(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_daily_valuation(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_daily_valuation_pt(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_daily_mktvalue(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_daily_mktvalue_pt(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_daily_basic(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_daily_basic_pt(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_abnor_change_stocks(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_abnor_change_detail(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_quota_shszhk_infos(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_hk_inst_holding_detail_info(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_hk_inst_holding_info(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_active_stock_top10_shszhk_info(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_money_flow(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_finance_audit(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_stk_get_finance_forecast(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_fnd_get_etf_components(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_fnd_get_portfolio(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_fnd_get_net_value(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_fnd_get_adj_factor(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_fnd_get_dividend(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_fnd_get_split(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_fnd_get_share(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_fut_get_continuous_contracts(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_fut_get_contract_info(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_fut_get_transaction_ranking(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_fut_get_transaction_rankings(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_fut_get_warehouse_receipt(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_bnd_get_conversion_price(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_bnd_get_call_info(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_bnd_get_put_info(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_bnd_get_amount_change(const char* req, int req_len, char** res, int* res_len);
QXSDK_API int qxi_bnd_get_analysis(const char* req, int req_len, char** res, int* res_len);

/* ---- Status-only family: int fn(const char* req, int req_len) ---- */
QXSDK_API int qxi_cancel_orders_pb(const char* req, int req_len);
QXSDK_API int qxi_cancel_all_orders_pb(const char* req, int req_len);
QXSDK_API int qxi_pause_algo_orders_pb(const char* req, int req_len);
QXSDK_API int qxi_cancel_algo_orders_pb(const char* req, int req_len);
QXSDK_API int qxi_set_parameters_pb(const char* req, int req_len);
QXSDK_API int qxi_add_parameters_pb(const char* req, int req_len);
QXSDK_API int qxi_set_instrument_pool_symbols_pb(const char* req, int req_len);
QXSDK_API int qxi_del_instrument_pool_by_name_pb(const char* req, int req_len);
QXSDK_API int qxi_log_pb(const char* req, int req_len);

/* ---- Response-only family: int fn(char** res, int* res_len) ---- */
QXSDK_API int qxi_get_account_info_pb(char** res, int* res_len);

/* ---- Session, configuration and control ---- */
QXSDK_API int qxi_init(void);
QXSDK_API int qxi_set_token(const char* token);
QXSDK_API void qxi_set_apitoken(const char* token);
QXSDK_API const char* qxi_get_encrypted_token(void);
QXSDK_API const char* qxi_get_orgcode(void);
QXSDK_API void qxi_set_mfp(const char* mfp);
QXSDK_API void qxi_set_serv_addr(const char* addr);
QXSDK_API void qxi_set_serv_addr_v5(const char* addr, const char* orgcode, const char* site_id);
QXSDK_API int qxi_get_serv_addr(const char* serv_id, char** addr);
QXSDK_API int qxi_use_dsproxy(void);
QXSDK_API void qxi_set_ctp_md_info(const char* front_addresses, const char* user_name,
                                   const char* password);
QXSDK_API void qxi_set_strategy_id(const char* strategy_id);
QXSDK_API void qxi_set_account_id(const char* account_ids);
QXSDK_API void qxi_set_mode_consistency(bool mode);
QXSDK_API void qxi_set_mode(int mode);
QXSDK_API void qxi_set_simtrade_only(void);
/* The two trailing arguments are reserved and passed as null. */
QXSDK_API void qxi_set_version(const char* sdk_version, const char* sdk_lang, const char* reserved1,
                               const char* reserved2);
QXSDK_API void qxi_set_max_wait_time(int max_wait_time);
QXSDK_API void qxi_set_backtest_threadnum(int n);
QXSDK_API void qxi_set_backtest_intraday(int intraday);
QXSDK_API int qxi_run(void);
QXSDK_API int qxi_poll(void);
QXSDK_API int qxi_stop(void);
QXSDK_API int qxi_get_stop_error_code(void);
QXSDK_API const char* qxi_strerror(int errorno);
QXSDK_API const char* qxi_get_ext_errormsg(void);
QXSDK_API const char* qxi_get_c_version(void);
QXSDK_API long long qxi_now(void);
QXSDK_API double qxi_now_plus(void);

/* ---- Market data ---- */
QXSDK_API int qxi_subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous);
QXSDK_API int qxi_unsubscribe(const char* symbols, const char* frequency);
QXSDK_API int qxi_current_pb(const char* symbols, bool include_call_auction, const char* fields,
                             char** res, int* res_len);

/* ---- Events ---- */
QXSDK_API int qxi_set_event_callback_pb(qxi_event_callback callback);

/* ---- Timers, schedules and the message bus ---- */
QXSDK_API int qxi_schedule(const char* date_rule, const char* time_rule);
QXSDK_API void qxi_set_timer(int interval);
QXSDK_API int qxi_user_timer(int period, int start_delay);
QXSDK_API void qxi_user_timer_stop(int timer_id);
QXSDK_API void qxi_set_bus_info(const char* server_addr, const char* user_name,
                                const char* password);
QXSDK_API void qxi_set_bus_secure(int in_mode, const char* tlsca, const char* tlscert,
                                  const char* tlskey, bool skip_verify);
QXSDK_API void qxi_add_bus_topic(const char* topic);
QXSDK_API int qxi_send_msg_to_bus(const char* topic, const char* msg);

/* ---- Trading and back-test ---- */
QXSDK_API int qxi_set_backtest_config(const char* start_time, const char* end_time,
                                      double initial_cash, double transaction_ratio,
                                      double commission_ratio, double commission_unit,
                                      double slippage_ratio, double option_float_margin_ratio1,
                                      double option_float_margin_ratio2, int adjust, int match_mode,
                                      int check_cache);
QXSDK_API int qxi_smart_reorder(const char* symbol, double price, int volume, int side,
                                int order_type, int position_effect, int repeat_n,
                                int max_price_offset, int time_out, int time_wait,
                                const char* account);
QXSDK_API int qxi_smart_reorder_cancel(int reorder_id);
QXSDK_API int qxi_algo_order_batch_pb(const char* req, int req_len, const char* algo_name,
                                      const char* algo_params, char** res, int* res_len);
QXSDK_API int qxi_get_child_orders_pb(const char* account_id, const char* algo_id, char** res,
                                      int* res_len);

#ifdef __cplusplus
}
#endif

#endif /* QXSDK_H */
