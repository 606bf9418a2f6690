"""Serialised-request bindings: what the library receives and what Python gets back."""

import builtins
import gc
import inspect

import pytest

import c_sdk
from conftest import growth_without_journal, refcount_growth, tb_names
from qxsdk_standin import OUT, Call

PAIR = "request/response"
STATUS = "status only"
RESPONSE = "response only"
DECORATED = True
PLAIN = False

# Python name, library function, shape, bound through adapt_to_python3.
MEMBERS = [
    # Orders, positions and accounts
    ("py_qxi_place_order", "qxi_place_order_pb", PAIR, DECORATED),
    ("py_qxi_cancel_order", "qxi_cancel_orders_pb", STATUS, DECORATED),
    ("py_qxi_cancel_all_orders", "qxi_cancel_all_orders_pb", STATUS, DECORATED),
    ("py_qxi_close_all_positions", "qxi_close_all_positions_pb", PAIR, DECORATED),
    ("py_qxi_get_orders", "qxi_get_orders_pb", PAIR, DECORATED),
    ("py_qxi_get_unfinished_orders", "qxi_get_unfinished_orders_pb", PAIR, DECORATED),
    ("py_qxi_get_execution_reports", "qxi_get_execution_reports_pb", PAIR, DECORATED),
    ("py_qxi_get_positions", "qxi_get_positions_pb", PAIR, DECORATED),
    ("py_qxi_get_cash", "qxi_get_cash_pb", PAIR, DECORATED),
    ("py_qxi_get_positions_pb_v2", "qxi_get_positions_pb_v2", PAIR, PLAIN),
    ("py_qxi_get_cash_pb_v2", "qxi_get_cash_pb_v2", PAIR, PLAIN),
    ("py_qxi_get_account_status", "qxi_get_account_status_pb", PAIR, DECORATED),
    ("py_qxi_get_accounts", "qxi_get_account_info_pb", RESPONSE, PLAIN),
    ("py_qxi_raw_func", "qxi_raw_func_pb", PAIR, DECORATED),
    ("py_qxi_get_entrustable_volume_by_symbol_pb", "qxi_get_entrustable_volume_by_symbol_pb", PAIR, DECORATED),
    ("py_qxi_place_algo_orders", "qxi_place_algo_orders_pb", PAIR, DECORATED),
    ("py_qxi_get_algo_orders", "qxi_get_algo_orders_pb", PAIR, DECORATED),
    ("py_qxi_pause_algo_orders", "qxi_pause_algo_orders_pb", STATUS, DECORATED),
    ("py_qxi_cancel_algo_orders", "qxi_cancel_algo_orders_pb", STATUS, DECORATED),
    ("py_qxi_option_comb_entrust_pb", "qxi_option_comb_entrust_pb", PAIR, PLAIN),
    ("py_qxi_option_sep_entrust_pb", "qxi_option_sep_entrust_pb", PAIR, PLAIN),
    ("py_qxi_get_option_combinable_pb", "qxi_get_option_combinable_pb", PAIR, PLAIN),
    ("py_qxi_get_option_comb_position_pb", "qxi_get_option_comb_position_pb", PAIR, PLAIN),
    # Margin (credit) and IPO
    ("py_qxi_get_credit_cash_pb", "qxi_get_credit_cash_pb", PAIR, DECORATED),
    ("py_qxi_get_credit_contracts_pb", "qxi_get_credit_contracts_pb", PAIR, DECORATED),
    ("py_qxi_get_borrowable_instruments_pb", "qxi_get_borrowable_instruments_pb", PAIR, DECORATED),
    ("py_qxi_get_borrowable_instruments_positions_pb", "qxi_get_borrowable_instruments_positions_pb", PAIR, DECORATED),
    ("py_qxi_get_collateral_instruments_pb", "qxi_get_collateral_instruments_pb", PAIR, DECORATED),
    ("py_qxi_repay_cash_directly_pb", "qxi_repay_cash_directly_pb", PAIR, DECORATED),
    ("py_qxi_get_ipo_quota_pb", "qxi_get_ipo_quota_pb", PAIR, DECORATED),
    ("py_qxi_get_ipo_instruments_pb", "qxi_get_ipo_instruments_pb", PAIR, DECORATED),
    ("py_qxi_get_ipo_match_number_pb", "qxi_get_ipo_match_number_pb", PAIR, DECORATED),
    ("py_qxi_get_ipo_lot_info_pb", "qxi_get_ipo_lot_info_pb", PAIR, DECORATED),
    # Strategy parameters, instrument pools and log
    ("py_qxi_get_parameters", "qxi_get_parameters_pb", PAIR, PLAIN),
    ("py_qxi_set_parameters", "qxi_set_parameters_pb", STATUS, PLAIN),
    ("py_qxi_add_parameters", "qxi_add_parameters_pb", STATUS, PLAIN),
    ("py_qxi_get_instrument_pools_pb", "qxi_get_instrument_pools_pb", PAIR, PLAIN),
    ("py_qxi_get_instrument_pool_by_name_pb", "qxi_get_instrument_pool_by_name_pb", PAIR, PLAIN),
    ("py_qxi_set_instrument_pool_symbols_pb", "qxi_set_instrument_pool_symbols_pb", STATUS, PLAIN),
    ("py_qxi_del_instrument_pool_by_name_pb", "qxi_del_instrument_pool_by_name_pb", STATUS, PLAIN),
    ("py_qxi_log", "qxi_log_pb", STATUS, PLAIN),
    # Market data, latest and history
    ("py_qxi_last_tick", "qxi_last_tick_pb", PAIR, DECORATED),
    ("py_qxi_current_price", "qxi_current_price_pb", PAIR, DECORATED),
    ("py_qxi_history_bars_pb", "qxi_history_bars_pb", PAIR, PLAIN),
    ("py_qxi_history_ticks_pb", "qxi_history_ticks_pb", PAIR, PLAIN),
    ("py_qxi_history_bars_n_pb", "qxi_history_bars_n_pb", PAIR, PLAIN),
    ("py_qxi_history_ticks_n_pb", "qxi_history_ticks_n_pb", PAIR, PLAIN),
    ("py_qxi_history_bars_l2", "qxi_history_bars_l2_pb", PAIR, DECORATED),
    ("py_qxi_history_ticks_l2", "qxi_history_ticks_l2_pb", PAIR, DECORATED),
    ("py_qxi_history_transaction_l2", "qxi_history_transaction_l2_pb", PAIR, DECORATED),
    ("py_qxi_history_order_l2", "qxi_history_order_l2_pb", PAIR, DECORATED),
    ("py_qxi_history_order_queue_l2", "qxi_history_order_queue_l2_pb", PAIR, DECORATED),
    ("py_qxi_get_open_call_auction", "qxi_get_open_call_auction", PAIR, PLAIN),
    # Instruments, calendar, classification and fundamentals
    ("py_qxi_get_instruments", "qxi_get_instruments", PAIR, PLAIN),
    ("py_qxi_get_history_instruments", "qxi_get_history_instruments", PAIR, PLAIN),
    ("py_qxi_get_instrumentInfos", "qxi_get_instrumentInfos", PAIR, PLAIN),
    ("py_qxi_get_fuzzy_match_instrumentInfos", "qxi_get_fuzzy_match_instrumentInfos", PAIR, PLAIN),
    ("py_qxi_get_symbol_infos", "qxi_get_symbol_infos", PAIR, PLAIN),
    ("py_qxi_get_symbols_v2", "qxi_get_symbols_v2", PAIR, PLAIN),
    ("py_qxi_get_history_symbol", "qxi_get_history_symbol", PAIR, PLAIN),
    ("py_qxi_get_constituents", "qxi_get_constituents", PAIR, PLAIN),
    ("py_qxi_get_sector", "qxi_get_sector", PAIR, PLAIN),
    ("py_qxi_get_industry", "qxi_get_industry", PAIR, PLAIN),
    ("py_qxi_get_concept", "qxi_get_concept", PAIR, PLAIN),
    ("py_qxi_get_continuous_contracts", "qxi_get_continuous_contracts", PAIR, PLAIN),
    ("py_qxi_get_varietyinfos", "qxi_get_varietyinfos", PAIR, PLAIN),
    ("py_qxi_get_contract_expire_rest_days", "qxi_get_contract_expire_rest_days", PAIR, PLAIN),
    ("py_qxi_get_trading_dates", "qxi_get_trading_dates", PAIR, PLAIN),
    ("py_qxi_get_previous_trading_date", "qxi_get_previous_trading_date", PAIR, PLAIN),
    ("py_qxi_get_next_trading_date", "qxi_get_next_trading_date", PAIR, PLAIN),
    ("py_qxi_get_previous_n_trading_dates", "qxi_get_previous_n_trading_dates", PAIR, PLAIN),
    ("py_qxi_get_next_n_trading_dates", "qxi_get_next_n_trading_dates", PAIR, PLAIN),
    ("py_get_trading_dates_by_year", "qxi_get_trading_dates_by_year", PAIR, PLAIN),
    ("py_qxi_get_trading_time", "qxi_get_trading_time", PAIR, PLAIN),
    ("py_qxi_get_trading_times_ext", "qxi_get_trading_times_ext", PAIR, PLAIN),
    ("py_qxi_get_trading_session", "qxi_get_trading_session", PAIR, PLAIN),
    ("py_qxi_get_dividends", "qxi_get_dividends", PAIR, PLAIN),
    ("py_qxi_get_dividends_snapshot", "qxi_get_dividends_snapshot", PAIR, PLAIN),
    ("py_qxi_get_fundamentals", "qxi_get_fundamentals", PAIR, PLAIN),
    ("py_qxi_get_fundamentals_n", "qxi_get_fundamentals_n", PAIR, PLAIN),
    ("py_qxi_get_convertible_bond_call_info", "qxi_get_convertible_bond_call_info", PAIR, PLAIN),
    # Options reference
    ("py_qxi_option_get_symbols_by_exchange", "qxi_option_get_symbols_by_exchange", PAIR, PLAIN),
    ("py_qxi_option_get_symbols_by_in_at_out", "qxi_option_get_symbols_by_in_at_out", PAIR, PLAIN),
    ("py_qxi_option_get_delisted_dates", "qxi_option_get_delisted_dates", PAIR, PLAIN),
    ("py_qxi_option_get_exercise_prices", "qxi_option_get_exercise_prices", PAIR, PLAIN),
    # Stocks
    ("py_qxi_stk_get_index_constituents", "qxi_stk_get_index_constituents", PAIR, PLAIN),
    ("py_qxi_stk_get_index_history_constituents", "qxi_stk_get_index_history_constituents", PAIR, PLAIN),
    ("py_qxi_stk_get_industry_category", "qxi_stk_get_industry_category", PAIR, PLAIN),
    ("py_qxi_stk_get_industry_constituents", "qxi_stk_get_industry_constituents", PAIR, PLAIN),
    ("py_qxi_stk_get_symbol_industry", "qxi_stk_get_symbol_industry", PAIR, PLAIN),
    ("py_qxi_stk_get_sector_category", "qxi_stk_get_sector_category", PAIR, PLAIN),
    ("py_qxi_stk_get_sector_constituents", "qxi_stk_get_sector_constituents", PAIR, PLAIN),
    ("py_qxi_stk_get_symbol_sector", "qxi_stk_get_symbol_sector", PAIR, PLAIN),
    ("py_qxi_stk_get_dividend", "qxi_stk_get_dividend", PAIR, PLAIN),
    ("py_stk_get_ration", "stk_get_ration", PAIR, PLAIN),
    ("py_qxi_stk_get_adj_factor", "qxi_stk_get_adj_factor", PAIR, PLAIN),
    ("py_qxi_stk_get_shareholder_num", "qxi_stk_get_shareholder_num", PAIR, PLAIN),
    ("py_qxi_stk_get_top_shareholder", "qxi_stk_get_top_shareholder", PAIR, PLAIN),
    ("py_qxi_stk_get_share_change", "qxi_stk_get_share_change", PAIR, PLAIN),
    ("py_qxi_stk_get_fundamentals_balance", "qxi_stk_get_fundamentals_balance", PAIR, PLAIN),
    ("py_qxi_stk_get_fundamentals_balance_pt", "qxi_stk_get_fundamentals_balance_pt", PAIR, PLAIN),
    ("py_qxi_stk_get_fundamentals_cashflow", "qxi_stk_get_fundamentals_cashflow", PAIR, PLAIN),
    ("py_qxi_stk_get_fundamentals_cashflow_pt", "qxi_stk_get_fundamentals_cashflow_pt", PAIR, PLAIN),
    ("py_qxi_stk_get_fundamentals_income", "qxi_stk_get_fundamentals_income", PAIR, PLAIN),
    ("py_qxi_stk_get_fundamentals_income_pt", "qxi_stk_get_fundamentals_income_pt", PAIR, PLAIN),
    ("py_qxi_stk_get_finance_prime", "qxi_stk_get_finance_prime", PAIR, PLAIN),
    ("py_qxi_stk_get_finance_prime_pt", "qxi_stk_get_finance_prime_pt", PAIR, PLAIN),
    ("py_qxi_stk_get_finance_deriv", "qxi_stk_get_finance_deriv", PAIR, PLAIN),
    ("py_qxi_stk_get_finance_deriv_pt", "qxi_stk_get_finance_deriv_pt", PAIR, PLAIN),
    ("py_qxi_stk_get_daily_valuation", "qxi_stk_get_daily_valuation", PAIR, PLAIN),
    ("py_qxi_stk_get_daily_valuation_pt", "qxi_stk_get_daily_valuation_pt", PAIR, PLAIN),
    ("py_qxi_stk_get_daily_mktvalue", "qxi_stk_get_daily_mktvalue", PAIR, PLAIN),
    ("py_qxi_stk_get_daily_mktvalue_pt", "qxi_stk_get_daily_mktvalue_pt", PAIR, PLAIN),
    ("py_qxi_stk_get_daily_basic", "qxi_stk_get_daily_basic", PAIR, PLAIN),
    ("py_qxi_stk_get_daily_basic_pt", "qxi_stk_get_daily_basic_pt", PAIR, PLAIN),
    ("py_qxi_stk_abnor_change_stocks", "qxi_stk_abnor_change_stocks", PAIR, PLAIN),
    ("py_qxi_stk_abnor_change_detail", "qxi_stk_abnor_change_detail", PAIR, PLAIN),
    ("py_qxi_stk_quota_shszhk_infos", "qxi_stk_quota_shszhk_infos", PAIR, PLAIN),
    ("py_qxi_stk_hk_inst_holding_detail_info", "qxi_stk_hk_inst_holding_detail_info", PAIR, PLAIN),
    ("py_qxi_stk_hk_inst_holding_info", "qxi_stk_hk_inst_holding_info", PAIR, PLAIN),
    ("py_qxi_stk_active_stock_top10_shszhk_info", "qxi_stk_active_stock_top10_shszhk_info", PAIR, PLAIN),
    ("py_qxi_stk_get_money_flow", "qxi_stk_get_money_flow", PAIR, PLAIN),
    ("py_qxi_stk_get_finance_audit", "qxi_stk_get_finance_audit", PAIR, PLAIN),
    ("py_qxi_stk_get_finance_forecast", "qxi_stk_get_finance_forecast", PAIR, PLAIN),
    # Funds
    ("py_qxi_fnd_get_etf_constituents", "qxi_fnd_get_etf_components", PAIR, PLAIN),
    ("py_qxi_fnd_get_portfolio", "qxi_fnd_get_portfolio", PAIR, PLAIN),
    ("py_qxi_fnd_get_net_value", "qxi_fnd_get_net_value", PAIR, PLAIN),
    ("py_qxi_fnd_get_adj_factor", "qxi_fnd_get_adj_factor", PAIR, PLAIN),
    ("py_qxi_fnd_get_dividend", "qxi_fnd_get_dividend", PAIR, PLAIN),
    ("py_qxi_fnd_get_split", "qxi_fnd_get_split", PAIR, PLAIN),
    ("py_qxi_fnd_get_share", "qxi_fnd_get_share", PAIR, PLAIN),
    # Futures
    ("py_qxi_fut_get_continuous_contracts", "qxi_fut_get_continuous_contracts", PAIR, PLAIN),
    ("py_qxi_fut_get_contract_info", "qxi_fut_get_contract_info", PAIR, PLAIN),
    ("py_qxi_fut_get_transaction_ranking", "qxi_fut_get_transaction_ranking", PAIR, PLAIN),
    ("py_qxi_fut_get_transaction_rankings", "qxi_fut_get_transaction_rankings", PAIR, PLAIN),
    ("py_qxi_fut_get_warehouse_receipt", "qxi_fut_get_warehouse_receipt", PAIR, PLAIN),
    # Bonds
    ("py_qxi_bnd_get_conversion_price", "qxi_bnd_get_conversion_price", PAIR, PLAIN),
    ("py_qxi_bnd_get_call_info", "qxi_bnd_get_call_info", PAIR, PLAIN),
    ("py_qxi_bnd_get_put_info", "qxi_bnd_get_put_info", PAIR, PLAIN),
    ("py_qxi_bnd_get_amount_change", "qxi_bnd_get_amount_change", PAIR, PLAIN),
    ("py_qxi_bnd_get_analysis", "qxi_bnd_get_analysis", PAIR, PLAIN),
]

WITH_REQUEST = [m for m in MEMBERS if m[2] != RESPONSE]
PAIRS = [m for m in MEMBERS if m[2] == PAIR]
STATUS_ONLY = [m for m in MEMBERS if m[2] == STATUS]

# One of each kind, for the cases that are the same code path for every member.
DIVIDENDS = ("py_qxi_get_dividends", "qxi_get_dividends", PAIR, PLAIN)
ORDERS = ("py_qxi_get_orders", "qxi_get_orders_pb", PAIR, DECORATED)
LOG = ("py_qxi_log", "qxi_log_pb", STATUS, PLAIN)
CANCEL = ("py_qxi_cancel_order", "qxi_cancel_orders_pb", STATUS, DECORATED)
SAMPLES = [DIVIDENDS, ORDERS, LOG, CANCEL]
SAMPLE_PAIRS = [DIVIDENDS, ORDERS]


def ids(members):
    return [m[0] for m in members]


def expected_call(fn, shape, request):
    if shape == RESPONSE:
        return Call(fn, (OUT, OUT))
    if shape == STATUS:
        return Call(fn, (bytes(request), len(request)))
    return Call(fn, (bytes(request), len(request), OUT, OUT))


def call(name, *args, **kwargs):
    return getattr(c_sdk, name)(*args, **kwargs)



# ---------------------------------------------------------------- the table itself


def test_table_matches_the_family_sizes():
    assert len(MEMBERS) == 141
    assert len({m[0] for m in MEMBERS}) == 141
    assert (len(PAIRS), len(STATUS_ONLY)) == (131, 9)
    assert sum(m[3] for m in MEMBERS) == 33


@pytest.mark.parametrize("name, fn, shape, decorated", MEMBERS, ids=ids(MEMBERS))
def test_member_calls_its_library_function(qxsdk, name, fn, shape, decorated):
    binding = getattr(c_sdk, name)
    assert binding.__name__ == ("wrapper" if decorated else name)
    request = name.encode() + b"\x00\xfftail"
    args = () if shape == RESPONSE else (request,)

    # Success: the library's own status and a copy of its response.
    qxsdk.push_status(fn, 0)
    if shape != STATUS:
        qxsdk.push_response(fn, b"res\x00" + fn.encode())
    result = binding(*args)
    if shape == STATUS:
        assert result == 0 and type(result) is int
    else:
        assert result == (0, b"res\x00" + fn.encode())
        assert type(result) is tuple and type(result[0]) is int and type(result[1]) is bytes
    assert qxsdk.journal() == [expected_call(fn, shape, request)]

    # Failure: the status comes back; a response pair leaves the response unread.
    qxsdk.clear_journal()
    qxsdk.push_status(fn, 1003)
    if shape != STATUS:
        qxsdk.push_response(fn, b"unread")
    result = binding(*args)
    assert result == (1003 if shape == STATUS else (1003, None))
    assert qxsdk.journal() == [expected_call(fn, shape, request)]


@pytest.mark.parametrize("name, fn, shape, decorated", WITH_REQUEST, ids=ids(WITH_REQUEST))
def test_member_text_request(qxsdk, name, fn, shape, decorated):
    binding = getattr(c_sdk, name)
    if decorated:
        qxsdk.push_status(fn, 0)
        if shape != STATUS:
            qxsdk.push_response(fn, b"text accepted")
        result = binding("ascii text")
        assert result == (0 if shape == STATUS else (0, b"text accepted"))
        assert qxsdk.journal() == [expected_call(fn, shape, b"ascii text")]
        qxsdk.clear_journal()
        with pytest.raises(UnicodeEncodeError):
            binding("账户")
    else:
        with pytest.raises(TypeError, match="expected bytes, str found"):
            binding("ascii text")
    assert qxsdk.journal() == []


@pytest.mark.parametrize("name, fn, shape, decorated", MEMBERS, ids=ids(MEMBERS))
def test_member_introspection(name, fn, shape, decorated):
    binding = getattr(c_sdk, name)
    assert binding.__doc__ is None
    assert binding.__module__ == "c_sdk"
    signature = str(inspect.signature(binding))
    if decorated:
        assert signature == "(*args, **kwargs)"
    else:
        assert signature == ("()" if shape == RESPONSE else "(req, /)")
        assert binding.__self__ is None


# ---------------------------------------------------------------- requests


@pytest.mark.parametrize("name, fn, shape, decorated", SAMPLES, ids=ids(SAMPLES))
@pytest.mark.parametrize(
    "bad, message",
    [
        (None, "object of type 'NoneType' has no len()"),
        (7, "object of type 'int' has no len()"),
        (memoryview(b"abc"), "expected bytes, memoryview found"),
        ([b"abc"], "expected bytes, list found"),
        (["abc"], "expected bytes, list found"),
        ((b"abc",), "expected bytes, tuple found"),
    ],
    ids=["None", "int", "memoryview", "list", "list-of-str", "tuple"],
)
def test_non_bytes_requests_are_refused_before_the_call(qxsdk, name, fn, shape, decorated, bad, message):
    with pytest.raises(TypeError) as info:
        call(name, bad)
    assert str(info.value) == message
    assert "c_sdk." + name in tb_names(info)
    assert qxsdk.journal() == []


@pytest.mark.parametrize("name, fn, shape, decorated", SAMPLES, ids=ids(SAMPLES))
@pytest.mark.parametrize("kind", [bytes, bytearray])
def test_empty_request_is_a_non_null_pointer(qxsdk, name, fn, shape, decorated, kind):
    call(name, kind())
    # A null pointer would journal as None.
    assert qxsdk.journal() == [expected_call(fn, shape, b"")]
    assert qxsdk.journal()[0].args[0] == b""


@pytest.mark.parametrize("name, fn, shape, decorated", SAMPLES, ids=ids(SAMPLES))
def test_request_with_nul_bytes_passes_whole(qxsdk, name, fn, shape, decorated):
    request = b"\x00a\x00\x00b\x00"
    call(name, request)
    assert qxsdk.journal() == [expected_call(fn, shape, request)]


@pytest.mark.parametrize("name, fn, shape, decorated", SAMPLES, ids=ids(SAMPLES))
def test_bytearray_and_bytes_make_identical_calls(qxsdk, name, fn, shape, decorated):
    request = b'{"symbol":"SHSE.600000"}\x00\x01'
    from_bytes = call(name, request)
    from_bytearray = call(name, bytearray(request))
    first, second = qxsdk.journal()
    assert first == second == expected_call(fn, shape, request)
    assert from_bytes == from_bytearray


class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


class ShortLen(bytes):
    def __len__(self):
        return 1


class LongLen(bytearray):
    def __len__(self):
        return 1000


class BadLen(bytes):
    def __len__(self):
        raise ValueError("no length today")


class StrLen(bytearray):
    def __len__(self):
        return "3"


@pytest.mark.parametrize("name, fn, shape, decorated", SAMPLES, ids=ids(SAMPLES))
@pytest.mark.parametrize("kind", [BytesSub, ByteArraySub, ShortLen, LongLen])
def test_subclasses_pass_their_true_byte_count(qxsdk, name, fn, shape, decorated, kind):
    request = kind(b"abc\x00def")
    call(name, request)
    assert qxsdk.journal() == [expected_call(fn, shape, b"abc\x00def")]


@pytest.mark.parametrize("name, fn, shape, decorated", SAMPLES, ids=ids(SAMPLES))
def test_failing_length_stops_before_the_call(qxsdk, name, fn, shape, decorated):
    with pytest.raises(ValueError, match="no length today") as info:
        call(name, BadLen(b"abc"))
    assert "c_sdk." + name in tb_names(info)
    with pytest.raises(TypeError):
        call(name, StrLen(b"abc"))
    assert qxsdk.journal() == []


def test_request_of_two_gib_is_refused_before_the_call(qxsdk):
    try:
        huge = bytearray(2**31)
    except MemoryError:
        pytest.skip("not enough memory for a 2 GiB request")
    try:
        for name, fn, shape, decorated in [DIVIDENDS, LOG]:
            with pytest.raises(OverflowError):
                call(name, huge)
        assert qxsdk.journal() == []
    finally:
        del huge
        gc.collect()


# ---------------------------------------------------------------- responses


@pytest.mark.parametrize("name, fn, shape, decorated", SAMPLE_PAIRS, ids=ids(SAMPLE_PAIRS))
def test_success_with_empty_response(qxsdk, name, fn, shape, decorated):
    qxsdk.push_response(fn, b"", 0)
    qxsdk.push_response(fn, b"ignored", 0)
    assert call(name, b"q") == (0, b"")
    assert call(name, b"q") == (0, b"")
    assert qxsdk.journal() == [expected_call(fn, shape, b"q")] * 2


@pytest.mark.parametrize("name, fn, shape, decorated", SAMPLE_PAIRS, ids=ids(SAMPLE_PAIRS))
def test_response_length_is_what_the_library_says(qxsdk, name, fn, shape, decorated):
    qxsdk.push_response(fn, b"0123456789", 4)
    assert call(name, b"q") == (0, b"0123")
    assert qxsdk.journal() == [expected_call(fn, shape, b"q")]


@pytest.mark.parametrize("name, fn, shape, decorated", SAMPLE_PAIRS, ids=ids(SAMPLE_PAIRS))
def test_broken_responses_raise_system_error_after_the_call(qxsdk, name, fn, shape, decorated):
    qxsdk.push_response(fn, b"abc", -3)
    with pytest.raises(SystemError) as info:
        call(name, b"q")
    assert "c_sdk." + name in tb_names(info)
    qxsdk.push_response(fn, None, 5)
    with pytest.raises(SystemError) as info:
        call(name, b"q")
    assert "c_sdk." + name in tb_names(info)
    qxsdk.push_response(fn, None, 0)
    assert call(name, b"q") == (0, b"")
    assert qxsdk.journal() == [expected_call(fn, shape, b"q")] * 3


@pytest.mark.parametrize("name, fn, shape, decorated", SAMPLE_PAIRS, ids=ids(SAMPLE_PAIRS))
@pytest.mark.parametrize("success", [0, "equal to 0"], ids=["int", "other"])
def test_a_length_left_unwritten_is_broken(qxsdk, name, fn, shape, decorated, success):
    # The library stores the response but not its length: read as a negative length.
    c_sdk.CSDK_OPERATE_SUCCESS = success if success == 0 else Matches(0)
    qxsdk.push_response_without_length(fn, b"abc")
    with pytest.raises(SystemError) as info:
        call(name, b"q")
    assert "c_sdk." + name in tb_names(info)
    qxsdk.push_status(fn, 5)
    qxsdk.push_response_without_length(fn, b"abc")
    assert call(name, b"q") == (5, None)


def test_broken_response_ignored_on_failure(qxsdk):
    qxsdk.push_status("qxi_get_dividends", 1000)
    qxsdk.push_response("qxi_get_dividends", None, 5)
    qxsdk.push_status("qxi_get_dividends", 1001)
    qxsdk.push_response("qxi_get_dividends", b"abc", -3)
    assert c_sdk.py_qxi_get_dividends(b"q") == (1000, None)
    assert c_sdk.py_qxi_get_dividends(b"q") == (1001, None)
    assert len(qxsdk.calls("qxi_get_dividends")) == 2


def test_response_only_member(qxsdk):
    qxsdk.push_response("qxi_get_account_info_pb", b'[{"account":"a"}]')
    assert c_sdk.py_qxi_get_accounts() == (0, b'[{"account":"a"}]')
    qxsdk.push_response("qxi_get_account_info_pb", None, 2)
    with pytest.raises(SystemError):
        c_sdk.py_qxi_get_accounts()
    assert qxsdk.journal() == [Call("qxi_get_account_info_pb", (OUT, OUT))] * 2


def test_responses_are_independent_copies(qxsdk):
    qxsdk.push_response("qxi_get_dividends", b"first")
    first = c_sdk.py_qxi_get_dividends(b"q")
    # The library reuses (here: frees) its buffer at the next call.
    qxsdk.push_response("qxi_get_dividends", b"SECOND")
    second = c_sdk.py_qxi_get_dividends(b"q")
    qxsdk.push_response("qxi_get_dividends", b"first")
    third = c_sdk.py_qxi_get_dividends(b"q")
    c_sdk.py_qxi_get_orders(b"x" * 64)
    assert first == (0, b"first") and second == (0, b"SECOND")
    assert third == first and third[1] is not first[1]
    assert len(qxsdk.journal()) == 4


# ---------------------------------------------------------------- the success value


@pytest.mark.parametrize("name, fn, shape, decorated", SAMPLE_PAIRS, ids=ids(SAMPLE_PAIRS))
def test_success_value_rebound_to_another_int(qxsdk, name, fn, shape, decorated):
    c_sdk.CSDK_OPERATE_SUCCESS = 1003
    qxsdk.push_status(fn, 1003)
    qxsdk.push_response(fn, b"ok")
    assert call(name, b"q") == (1003, b"ok")
    assert call(name, b"q") == (0, None)
    c_sdk.CSDK_OPERATE_SUCCESS = 0
    qxsdk.push_response(fn, b"back")
    assert call(name, b"q") == (0, b"back")
    assert qxsdk.journal() == [expected_call(fn, shape, b"q")] * 3


class Matches:
    """A success value that equals a set of statuses and records what it was compared with."""

    def __init__(self, *statuses, result=None):
        self.statuses = statuses
        self.result = result
        self.seen = []

    def __eq__(self, other):
        self.seen.append(other)
        if self.result is not None:
            return self.result
        return other in self.statuses

    __hash__ = None


class Unsure:
    def __bool__(self):
        raise ArithmeticError("cannot tell")


class Raising:
    def __eq__(self, other):
        raise LookupError("no comparison")

    __hash__ = None


@pytest.mark.parametrize("name, fn, shape, decorated", SAMPLE_PAIRS, ids=ids(SAMPLE_PAIRS))
def test_success_value_custom_equality(qxsdk, name, fn, shape, decorated):
    success = Matches(7, 8)
    c_sdk.CSDK_OPERATE_SUCCESS = success
    qxsdk.push_status(fn, 8)
    qxsdk.push_response(fn, b"eight")
    assert call(name, b"q") == (8, b"eight")
    assert call(name, b"q") == (0, None)
    assert success.seen == [8, 0]
    # The truth of whatever __eq__ returns decides.
    c_sdk.CSDK_OPERATE_SUCCESS = Matches(result="yes")
    qxsdk.push_response(fn, b"truthy")
    assert call(name, b"q") == (0, b"truthy")
    c_sdk.CSDK_OPERATE_SUCCESS = Matches(result="")
    assert call(name, b"q") == (0, None)
    assert qxsdk.journal() == [expected_call(fn, shape, b"q")] * 4


class SaysEqual(int):
    """An int whose own equality answers for it."""

    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False

    __hash__ = int.__hash__


def test_an_int_subclass_success_value_compares_by_its_own_equality(qxsdk):
    c_sdk.CSDK_OPERATE_SUCCESS = SaysEqual(0)
    for _ in range(2):  # the first read, then whatever was remembered
        qxsdk.push_status("qxi_get_dividends", 5)
        qxsdk.push_status("qxi_get_serv_addr", 5)
        assert c_sdk.py_qxi_get_dividends(b"q")[1] is not None
        assert c_sdk.py_qxi_get_serv_addr(b"md") is not None


@pytest.mark.parametrize("name, fn, shape, decorated", SAMPLE_PAIRS, ids=ids(SAMPLE_PAIRS))
@pytest.mark.parametrize(
    "success, error",
    [(Raising(), LookupError), (Matches(result=Unsure()), ArithmeticError)],
    ids=["eq-raises", "bool-raises"],
)
def test_success_comparison_errors_propagate_after_the_call(qxsdk, name, fn, shape, decorated, success, error):
    c_sdk.CSDK_OPERATE_SUCCESS = success
    with pytest.raises(error) as info:
        call(name, b"q")
    assert "c_sdk." + name in tb_names(info)
    assert qxsdk.journal() == [expected_call(fn, shape, b"q")]


@pytest.mark.parametrize("name, fn, shape, decorated", STATUS_ONLY, ids=ids(STATUS_ONLY))
def test_status_only_members_ignore_the_success_value(qxsdk, name, fn, shape, decorated):
    success = Matches(result=True)
    c_sdk.CSDK_OPERATE_SUCCESS = success
    qxsdk.push_status(fn, 1002)
    assert call(name, b"q") == 1002
    del c_sdk.CSDK_OPERATE_SUCCESS
    assert call(name, b"q") == 0
    assert success.seen == []
    assert qxsdk.journal() == [expected_call(fn, shape, b"q")] * 2


def test_missing_success_value_raises_after_the_call(qxsdk):
    del c_sdk.CSDK_OPERATE_SUCCESS
    assert not hasattr(builtins, "CSDK_OPERATE_SUCCESS")
    for name, fn, shape, decorated in SAMPLE_PAIRS + [("py_qxi_get_accounts", "qxi_get_account_info_pb", RESPONSE, PLAIN)]:
        qxsdk.clear_journal()
        with pytest.raises(NameError) as info:
            call(name, *(() if shape == RESPONSE else (b"q",)))
        assert str(info.value) == "name 'CSDK_OPERATE_SUCCESS' is not defined"
        assert "c_sdk." + name in tb_names(info)
        assert qxsdk.journal() == [expected_call(fn, shape, b"q")]

    # A builtin of that name then counts, and its removal is seen too.
    builtins.CSDK_OPERATE_SUCCESS = 1001
    try:
        qxsdk.clear_journal()
        qxsdk.push_status("qxi_get_dividends", 1001)
        qxsdk.push_response("qxi_get_dividends", b"from builtins")
        assert c_sdk.py_qxi_get_dividends(b"q") == (1001, b"from builtins")
        assert c_sdk.py_qxi_get_dividends(b"q") == (0, None)
        # The module global wins over the builtin once it is back.
        c_sdk.CSDK_OPERATE_SUCCESS = 0
        qxsdk.push_response("qxi_get_dividends", b"from module")
        assert c_sdk.py_qxi_get_dividends(b"q") == (0, b"from module")
        del c_sdk.CSDK_OPERATE_SUCCESS
        assert c_sdk.py_qxi_get_dividends(b"q") == (0, None)
    finally:
        del builtins.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError):
        c_sdk.py_qxi_get_dividends(b"q")
    assert len(qxsdk.calls("qxi_get_dividends")) == 5


# ---------------------------------------------------------------- argument errors


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("py_qxi_get_dividends", (), {}, "py_qxi_get_dividends() takes exactly one argument (0 given)"),
        ("py_qxi_get_dividends", (b"a", b"b"), {}, "py_qxi_get_dividends() takes exactly one argument (2 given)"),
        ("py_qxi_get_dividends", (None, None), {}, "py_qxi_get_dividends() takes exactly one argument (2 given)"),
        ("py_qxi_get_dividends", (), {"req": b"a"}, "py_qxi_get_dividends() takes no keyword arguments"),
        ("py_qxi_get_dividends", (b"a",), {"req": b"a"}, "py_qxi_get_dividends() takes no keyword arguments"),
        ("py_qxi_log", (), {}, "py_qxi_log() takes exactly one argument (0 given)"),
        ("py_qxi_get_accounts", (b"a",), {}, "py_qxi_get_accounts() takes no arguments (1 given)"),
        ("py_qxi_get_accounts", (None, None), {}, "py_qxi_get_accounts() takes no arguments (2 given)"),
        ("py_qxi_get_accounts", (), {"req": b"a"}, "py_qxi_get_accounts() takes no keyword arguments"),
        # Decorated: the wrapped binding reports under its own name, after the encoding.
        ("py_qxi_get_orders", (), {}, "py_qxi_get_orders() takes exactly one argument (0 given)"),
        ("py_qxi_get_orders", ("a", "b"), {}, "py_qxi_get_orders() takes exactly one argument (2 given)"),
        ("py_qxi_get_orders", (), {"req": "a"}, "py_qxi_get_orders() takes no keyword arguments"),
        ("py_qxi_cancel_order", (), {"req": b"a"}, "py_qxi_cancel_order() takes no keyword arguments"),
    ],
)
def test_argument_errors(qxsdk, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(name, *args, **kwargs)
    assert str(info.value) == message
    assert "c_sdk." + name in tb_names(info)
    assert qxsdk.journal() == []


def test_decorated_member_traceback_shows_both_layers(qxsdk):
    with pytest.raises(UnicodeEncodeError) as info:
        c_sdk.py_qxi_get_orders("é")
    names = tb_names(info)
    assert "c_sdk.py_qxi_get_orders" not in names  # the binding never ran
    assert any(n.startswith("c_sdk.") for n in names[1:])
    with pytest.raises(TypeError) as info:
        c_sdk.py_qxi_get_orders(None)
    assert "c_sdk.py_qxi_get_orders" in tb_names(info)
    assert qxsdk.journal() == []


# ---------------------------------------------------------------- resources


def test_no_reference_growth_over_every_member(qxsdk):
    qxsdk.enable_journal(False)

    def action():
        for name, fn, shape, decorated in MEMBERS:
            if shape == RESPONSE:
                getattr(c_sdk, name)()
            else:
                getattr(c_sdk, name)(b"request")
        qxsdk.push_status("qxi_get_dividends", 1003)
        c_sdk.py_qxi_get_dividends(bytearray(b"failed"))
        c_sdk.py_qxi_get_orders("text")
        try:
            c_sdk.py_qxi_get_dividends(None)
        except TypeError:
            pass
        try:
            c_sdk.py_qxi_get_accounts(1)
        except TypeError:
            pass

    try:
        growth = refcount_growth(action, repeat=30, rounds=3)
    finally:
        qxsdk.enable_journal(True)
    assert growth < 50, f"{growth} blocks more after {30 * (len(MEMBERS) + 4)} calls"
    qxsdk.clear_journal()
    action()
    journal = qxsdk.journal()
    assert len(journal) == len(MEMBERS) + 2
    assert [c.fn for c in journal[: len(MEMBERS)]] == [m[1] for m in MEMBERS]


def test_no_growth_on_success_value_errors(qxsdk):
    c_sdk.CSDK_OPERATE_SUCCESS = Raising()

    def action():
        try:
            c_sdk.py_qxi_get_dividends(b"q")
        except LookupError:
            pass

    growth = growth_without_journal(qxsdk, action, repeat=2000)
    assert growth < 50
    action()
    assert qxsdk.journal() == [expected_call("qxi_get_dividends", PAIR, b"q")]
