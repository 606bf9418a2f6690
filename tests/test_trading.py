"""Back-test configuration, smart re-orders and algorithmic order batches."""

import json
import math

import pytest

import c_sdk
from conftest import assert_argument_error, growth_without_journal, swallow, tb_names
from qxsdk_standin import OUT, Call

CONFIG = ("start_time", "end_time", "initial_cash", "transaction_ratio", "commission_ratio",
          "commission_unit", "slippage_ratio", "option_float_margin_ratio1",
          "option_float_margin_ratio2", "adjust", "match_mode", "check_cache")
CONFIG_ARGS = (b"2024-01-02 09:30:00", b"2024-06-28 15:00:00", 500000.0, 1.0, 0.0003, 5.0, 0.001,
               0.15, 0.07, 1, 0, 2)
REORDER = ("symbol", "price", "volume", "side", "order_type", "position_effect", "repeat_n",
           "max_price_offset", "time_out", "time_wait", "account")
REORDER_ARGS = (b"SHSE.600000", 10.25, 300, 1, 2, 1, 5, 3, 30, 2, b"acc-1")



class Real:
    def __float__(self):
        return 2.5


def test_all_five_are_wrappers(qxsdk):
    for name in ("py_qxi_set_backtest_config", "py_qxi_smart_reorder", "py_qxi_smart_reorder_cancel",
                 "py_qxi_algo_order_batch", "py_qxi_get_child_orders"):
        assert getattr(c_sdk, name).__name__ == "wrapper"
    assert qxsdk.journal() == []


# ---------------------------------------------------------------- back-test configuration


def test_backtest_config_passes_twelve_values_in_order(qxsdk):
    assert c_sdk.py_qxi_set_backtest_config(*CONFIG_ARGS) == 0
    assert c_sdk.py_qxi_set_backtest_config(**dict(zip(CONFIG, CONFIG_ARGS))) == 0
    assert c_sdk.py_qxi_set_backtest_config(*CONFIG_ARGS[:6], **dict(reversed(list(zip(CONFIG[6:], CONFIG_ARGS[6:]))))) == 0
    assert qxsdk.journal() == [Call("qxi_set_backtest_config", CONFIG_ARGS)] * 3
    qxsdk.push_status("qxi_set_backtest_config", -12)
    assert c_sdk.py_qxi_set_backtest_config(*CONFIG_ARGS) == -12


def test_backtest_config_conversions(qxsdk):
    c_sdk.py_qxi_set_backtest_config("2024-01-02", bytearray(b"2024-02-01"), 1, True, 0, -3, Real(),
                                     2**60, float("inf"), 1.9, -2.9, True)
    received = qxsdk.last().args
    assert received[:9] == (b"2024-01-02", b"2024-02-01", 1.0, 1.0, 0.0, -3.0, 2.5, float(2**60), math.inf)
    assert all(type(v) is float for v in received[2:9])
    assert received[9:] == (1, -2, 1)
    c_sdk.py_qxi_set_backtest_config(*CONFIG_ARGS[:8], float("nan"), 0, 0, 0)
    assert math.isnan(qxsdk.last().args[8])


def test_backtest_config_cash_reaches_the_account(qxsdk):
    c_sdk.py_qxi_set_backtest_config(*CONFIG_ARGS[:2], 123456, *CONFIG_ARGS[3:])
    status, response = c_sdk.py_qxi_get_cash(b"{}")
    assert status == 0 and json.loads(response)["available"] == 123456.0


@pytest.mark.parametrize("index, bad, error", [
    (0, None, TypeError),          # before any other argument is converted
    (1, "2024-\u00e9", UnicodeEncodeError),
    (2, "1000", TypeError),        # a text becomes bytes, which is no real number
    (2, None, TypeError),
    (6, [0.1], TypeError),
    (9, 2**31, OverflowError),
    (10, "0", TypeError),
    (11, -2**31 - 1, OverflowError),
])
def test_backtest_config_refusals(qxsdk, index, bad, error):
    args = list(CONFIG_ARGS)
    args[index] = bad
    with pytest.raises(error):
        c_sdk.py_qxi_set_backtest_config(*args)
    assert qxsdk.journal() == []


def test_backtest_config_first_failure_wins(qxsdk):
    # A bad start time is reported although everything after it is bad as well.
    with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
        c_sdk.py_qxi_set_backtest_config(None, None, "x", "x", "x", "x", "x", "x", "x", 2**40, None, None)
    with pytest.raises(TypeError, match="^must be real number, not NoneType$"):
        c_sdk.py_qxi_set_backtest_config(b"a", b"b", 1, 1, 1, 1, 1, 1, None, 2**40, None, None)
    with pytest.raises(OverflowError):
        c_sdk.py_qxi_set_backtest_config(b"a", b"b", 1, 1, 1, 1, 1, 1, 1, 2**40, None, None)
    assert qxsdk.journal() == []


# ---------------------------------------------------------------- smart re-orders


def test_smart_reorder_and_cancel(qxsdk):
    first = c_sdk.py_qxi_smart_reorder(*REORDER_ARGS)
    second = c_sdk.py_qxi_smart_reorder(**dict(zip(REORDER, REORDER_ARGS)))
    assert (first, second) == (1, 2)
    assert c_sdk.py_qxi_smart_reorder_cancel(first) == 0
    assert c_sdk.py_qxi_smart_reorder_cancel(first) == 1004  # the library no longer knows it
    qxsdk.push_status("qxi_smart_reorder", -7)
    assert c_sdk.py_qxi_smart_reorder("SHSE.1", 9, 1.9, True, 0, 0, 0, 0, 0, 0, "") == -7
    assert qxsdk.journal() == [
        Call("qxi_smart_reorder", REORDER_ARGS),
        Call("qxi_smart_reorder", REORDER_ARGS),
        Call("qxi_smart_reorder_cancel", (1,)),
        Call("qxi_smart_reorder_cancel", (1,)),
        Call("qxi_smart_reorder", (b"SHSE.1", 9.0, 1, 1, 0, 0, 0, 0, 0, 0, b"")),
    ]


def test_smart_reorder_refusals(qxsdk):
    args = list(REORDER_ARGS)
    args[2] = 2**31
    with pytest.raises(OverflowError):
        c_sdk.py_qxi_smart_reorder(*args)
    args[2] = 100
    args[10] = None
    with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
        c_sdk.py_qxi_smart_reorder(*args)
    with pytest.raises(TypeError, match="an integer is required"):
        c_sdk.py_qxi_smart_reorder_cancel("1")
    with pytest.raises(OverflowError):
        c_sdk.py_qxi_smart_reorder_cancel(-2**31 - 1)
    assert qxsdk.journal() == []


# ---------------------------------------------------------------- algorithmic orders


def test_algo_order_batch_request_and_texts(qxsdk):
    qxsdk.push_response("qxi_algo_order_batch_pb", b"batch\x00ok")
    assert c_sdk.py_qxi_algo_order_batch(b"\x01\x00req", b"TWAP", b"{\"slices\":4}") == (0, b"batch\x00ok")
    c_sdk.py_qxi_algo_order_batch("ascii request", "VWAP", "")
    c_sdk.py_qxi_algo_order_batch(algo_params=b"p", req=bytearray(), algo_name=b"n\x00cut")
    assert qxsdk.journal() == [
        Call("qxi_algo_order_batch_pb", (b"\x01\x00req", 5, b"TWAP", b"{\"slices\":4}", OUT, OUT)),
        Call("qxi_algo_order_batch_pb", (b"ascii request", 13, b"VWAP", b"", OUT, OUT)),
        Call("qxi_algo_order_batch_pb", (b"", 0, b"n", b"p", OUT, OUT)),
    ]


def test_algo_order_batch_refusals(qxsdk):
    # The length of the request is taken before anything is converted.
    with pytest.raises(TypeError) as info:
        c_sdk.py_qxi_algo_order_batch(None, None, None)
    assert str(info.value) == "object of type 'NoneType' has no len()"
    assert "c_sdk.py_qxi_algo_order_batch" in tb_names(info)
    with pytest.raises(TypeError, match="^expected bytes, list found$"):
        c_sdk.py_qxi_algo_order_batch([b"r"], None, None)
    with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
        c_sdk.py_qxi_algo_order_batch(b"r", None, b"p")
    with pytest.raises(UnicodeEncodeError):
        c_sdk.py_qxi_algo_order_batch(b"r", "T\u00e9", b"p")
    assert qxsdk.journal() == []


@pytest.mark.parametrize("name, args, fn, received", [
    ("py_qxi_algo_order_batch", (b"r", b"n", b"p"), "qxi_algo_order_batch_pb", (b"r", 1, b"n", b"p", OUT, OUT)),
    ("py_qxi_get_child_orders", (b"acc", b"algo-9"), "qxi_get_child_orders_pb", (b"acc", b"algo-9", OUT, OUT)),
])
def test_response_pairs(qxsdk, name, args, fn, received):
    binding = getattr(c_sdk, name)
    qxsdk.push_response(fn, b"")
    assert binding(*args) == (0, b"")
    qxsdk.push_response(fn, b"0123456789", 4)
    assert binding(*args) == (0, b"0123")
    for status in (1, -1, 1003):
        qxsdk.push_status(fn, status)
        qxsdk.push_response(fn, None, -9)  # unread on failure
        assert binding(*args) == (status, None)
    qxsdk.push_response(fn, b"", -1)
    with pytest.raises(SystemError):
        binding(*args)
    c_sdk.CSDK_OPERATE_SUCCESS = 1003
    qxsdk.push_status(fn, 1003)
    qxsdk.push_response(fn, b"partial")
    assert binding(*args) == (1003, b"partial")
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match="^name 'CSDK_OPERATE_SUCCESS' is not defined$"):
        binding(*args)
    assert qxsdk.journal() == [Call(fn, received)] * 8


def test_child_orders_arguments(qxsdk):
    c_sdk.py_qxi_get_child_orders(algo_id="a1", account_id=bytearray(b"acc"))
    assert qxsdk.journal() == [Call("qxi_get_child_orders_pb", (b"acc", b"a1", OUT, OUT))]
    qxsdk.clear_journal()
    with pytest.raises(TypeError, match="^expected bytes, int found$"):
        c_sdk.py_qxi_get_child_orders(b"acc", 1)
    assert qxsdk.journal() == []


# ---------------------------------------------------------------- argument errors


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("py_qxi_set_backtest_config", CONFIG_ARGS[:9], {"match_mode": 0, "check_cache": 0},
     "py_qxi_set_backtest_config() takes exactly 12 positional arguments (9 given)"),
    ("py_qxi_set_backtest_config", CONFIG_ARGS + (0,), {},
     "py_qxi_set_backtest_config() takes exactly 12 positional arguments (13 given)"),
    ("py_qxi_set_backtest_config", CONFIG_ARGS, {"adjust": 1},
     "py_qxi_set_backtest_config() got multiple values for keyword argument 'adjust'"),
    ("py_qxi_set_backtest_config", (), dict(zip(CONFIG[1:], CONFIG_ARGS[1:])),
     "py_qxi_set_backtest_config() takes exactly 12 positional arguments (0 given)"),
    ("py_qxi_smart_reorder", REORDER_ARGS[:10], {},
     "py_qxi_smart_reorder() takes exactly 11 positional arguments (10 given)"),
    ("py_qxi_smart_reorder", REORDER_ARGS, {"acount": b"x"},
     "py_qxi_smart_reorder() got an unexpected keyword argument 'acount'"),
    ("py_qxi_smart_reorder_cancel", (), {"reorder_id": 1}, "py_qxi_smart_reorder_cancel() takes no keyword arguments"),
    ("py_qxi_smart_reorder_cancel", (1, 2), {}, "py_qxi_smart_reorder_cancel() takes exactly one argument (2 given)"),
    ("py_qxi_algo_order_batch", (None, None), {}, "py_qxi_algo_order_batch() takes exactly 3 positional arguments (2 given)"),
    ("py_qxi_get_child_orders", (b"a",), {"algo": b"x"}, "py_qxi_get_child_orders() takes exactly 2 positional arguments (1 given)"),
])
def test_argument_errors_before_any_conversion(qxsdk, name, args, kwargs, message):
    assert_argument_error(qxsdk, name, args, kwargs, message)


def test_no_reference_growth(qxsdk):
    def action():
        c_sdk.py_qxi_set_backtest_config(*CONFIG_ARGS)
        c_sdk.py_qxi_set_backtest_config("a", "b", 1, 2, 3, 4, 5, 6, 7, 8.5, 9, 10)
        c_sdk.py_qxi_smart_reorder(**dict(zip(REORDER, REORDER_ARGS)))
        c_sdk.py_qxi_smart_reorder_cancel(1)
        c_sdk.py_qxi_algo_order_batch("req", b"n", b"p")
        qxsdk.push_status("qxi_get_child_orders_pb", 5)
        c_sdk.py_qxi_get_child_orders(b"a", b"b")
        swallow([lambda: c_sdk.py_qxi_set_backtest_config(*CONFIG_ARGS[:11], 2**31),
                    lambda: c_sdk.py_qxi_algo_order_batch(None, b"n", b"p"),
                    lambda: c_sdk.py_qxi_smart_reorder(*REORDER_ARGS[:10])])

    growth = growth_without_journal(qxsdk, action, repeat=500)
    assert growth < 50, f"{growth} more blocks"
    qxsdk.clear_journal()
    action()
    assert [c.fn for c in qxsdk.journal()] == ["qxi_set_backtest_config"] * 2 + [
        "qxi_smart_reorder", "qxi_smart_reorder_cancel", "qxi_algo_order_batch_pb", "qxi_get_child_orders_pb"]
