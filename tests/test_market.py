"""Market-data subscription and snapshot bindings."""

import builtins
import json

import pytest

import c_sdk
from conftest import assert_argument_error, growth_without_journal, swallow, tb_names
from qxsdk_standin import OUT, Call



class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


class Sized:
    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n


def test_each_binding_passes_its_arguments_in_c_order(qxsdk):
    assert all(getattr(c_sdk, n).__name__ == "wrapper"
               for n in ("py_qxi_subscribe", "py_qxi_unsubscribe", "py_qxi_current"))
    assert c_sdk.py_qxi_subscribe(b"SHSE.600000,SZSE.000001", b"60s", 1) == 0
    assert c_sdk.py_qxi_unsubscribe(b"SHSE.600000", b"*") == 0
    qxsdk.push_response("qxi_current_pb", b"snap\x00shot")
    assert c_sdk.py_qxi_current(b"SHSE.600000", b"price,volume", 0) == (0, b"snap\x00shot")
    assert qxsdk.journal() == [
        Call("qxi_subscribe", (b"SHSE.600000,SZSE.000001", b"60s", True)),
        Call("qxi_unsubscribe", (b"SHSE.600000", b"*")),
        Call("qxi_current_pb", (b"SHSE.600000", False, b"price,volume", OUT, OUT)),
    ]


@pytest.mark.parametrize("name, params, fn, order", [
    ("py_qxi_subscribe", ("symbols", "frequency", "unsubscribe_previous"), "qxi_subscribe", (0, 1, 2)),
    ("py_qxi_unsubscribe", ("symbols", "frequency"), "qxi_unsubscribe", (0, 1)),
    ("py_qxi_current", ("symbols", "fields", "include_call_auction"), "qxi_current_pb", (0, 2, 1)),
])
def test_keywords_and_positions_make_the_same_call(qxsdk, name, params, fn, order):
    binding = getattr(c_sdk, name)
    values = [b"SHSE.1", b"tick", True][: len(params)]
    binding(*values)
    binding(**dict(zip(params, values)))
    binding(**dict(reversed(list(zip(params, values)))))
    binding(values[0], **dict(zip(params[1:], (v.decode() for v in values[1:2]))), **dict(zip(params[2:], values[2:])))
    calls = qxsdk.journal()
    assert len(calls) == 4 and all(c == calls[0] for c in calls)
    assert calls[0].args[: len(params)] == tuple(values[i] for i in order)


@pytest.mark.parametrize("given, seen", [
    (0, False), (1, True), ([], False), ([0], True), ((), False), (None, False), ("", False),
    ("0", True), (b"", False), (0.0, False), (-0.5, True), (Sized(0), False), (Sized(2), True)])
def test_flags_take_the_truth_value_of_any_object(qxsdk, given, seen):
    c_sdk.py_qxi_subscribe(b"A", b"tick", given)
    c_sdk.py_qxi_current(b"A", b"f", given)
    assert qxsdk.journal() == [Call("qxi_subscribe", (b"A", b"tick", seen)),
                             Call("qxi_current_pb", (b"A", seen, b"f", OUT, OUT))]


def test_texts_accepted_and_refused(qxsdk):
    c_sdk.py_qxi_subscribe(b"", b"", 0)
    c_sdk.py_qxi_subscribe("SHSE.1", bytearray(b"1m"), 0)
    c_sdk.py_qxi_unsubscribe(b"A\x00B", "tick\x00x")
    c_sdk.py_qxi_current(bytearray(), "", [])
    assert qxsdk.journal() == [
        Call("qxi_subscribe", (b"", b"", False)),
        Call("qxi_subscribe", (b"SHSE.1", b"1m", False)),
        Call("qxi_unsubscribe", (b"A", b"tick")),
        Call("qxi_current_pb", (b"", False, b"", OUT, OUT)),
    ]
    qxsdk.clear_journal()
    for args in [(None, b"tick", 0), (b"A", 5, 0), (b"A", memoryview(b"x"), 0)]:
        with pytest.raises(TypeError) as info:
            c_sdk.py_qxi_subscribe(*args)
        assert str(info.value).startswith("expected bytes, ")
        assert "c_sdk.py_qxi_subscribe" in tb_names(info)
    for args in [("SHSE.\u4e2d", b"tick"), (b"A", "t\u00efck")]:
        with pytest.raises(UnicodeEncodeError):
            c_sdk.py_qxi_unsubscribe(*args)
    with pytest.raises(UnicodeEncodeError):
        c_sdk.py_qxi_current(b"A", fields="\u00e9", include_call_auction=BadBool())
    assert qxsdk.journal() == []


@pytest.mark.parametrize("name, args, error", [
    # qxi_current_pb takes the flag before the fields: symbols, flag, fields.
    ("py_qxi_current", (None, None, BadBool()), TypeError),
    ("py_qxi_current", (b"A", None, BadBool()), ZeroDivisionError),
    ("py_qxi_current", (b"A", 7, BadBool()), ZeroDivisionError),
    ("py_qxi_current", (b"A", None, 1), TypeError),
    ("py_qxi_subscribe", (b"A", None, BadBool()), TypeError),
    ("py_qxi_subscribe", (b"A", b"tick", BadBool()), ZeroDivisionError),
    ("py_qxi_subscribe", (1, None, BadBool()), TypeError),
])
def test_first_failing_conversion_in_library_order(qxsdk, name, args, error):
    with pytest.raises(error) as info:
        getattr(c_sdk, name)(*args)
    assert "c_sdk." + name in tb_names(info)
    assert qxsdk.journal() == []


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("py_qxi_subscribe", (b"A", b"tick"), {}, "py_qxi_subscribe() takes exactly 3 positional arguments (2 given)"),
    ("py_qxi_subscribe", (b"A", b"tick", 0, 1), {}, "py_qxi_subscribe() takes exactly 3 positional arguments (4 given)"),
    ("py_qxi_subscribe", (), {"frequency": b"t", "unsubscribe_previous": 0}, "py_qxi_subscribe() takes exactly 3 positional arguments (0 given)"),
    ("py_qxi_subscribe", (b"A",), {"symbols": b"B", "frequency": b"t", "unsubscribe_previous": 0}, "py_qxi_subscribe() got multiple values for keyword argument 'symbols'"),
    ("py_qxi_unsubscribe", (b"A",), {}, "py_qxi_unsubscribe() takes exactly 2 positional arguments (1 given)"),
    ("py_qxi_unsubscribe", (b"A", b"t"), {"freq": b"t"}, "py_qxi_unsubscribe() got an unexpected keyword argument 'freq'"),
    # A missing keyword: the count is the number of parameters bound before it.
    ("py_qxi_current", (), {"symbols": b"A", "include_call_auction": 1}, "py_qxi_current() takes exactly 3 positional arguments (1 given)"),
    ("py_qxi_current", (None, None), {}, "py_qxi_current() takes exactly 3 positional arguments (2 given)"),
    ("py_qxi_current", (b"A", b"f", 0), {"fields": b"f"}, "py_qxi_current() got multiple values for keyword argument 'fields'"),
    ("py_qxi_current", (None, None, None), {"include_call_auction_": 1}, "py_qxi_current() got an unexpected keyword argument 'include_call_auction_'"),
])
def test_argument_errors_before_any_conversion(qxsdk, name, args, kwargs, message):
    assert_argument_error(qxsdk, name, args, kwargs, message)


def test_statuses_come_back_unchanged(qxsdk):
    for status in (-1, 1000, -2**31, 2**31 - 1):
        qxsdk.push_status("qxi_subscribe", status)
        qxsdk.push_status("qxi_unsubscribe", status)
        assert c_sdk.py_qxi_subscribe(b"A", b"tick", 0) == status
        assert c_sdk.py_qxi_unsubscribe(b"A", b"tick") == status
    # The success value is not consulted by these two.
    del c_sdk.CSDK_OPERATE_SUCCESS
    assert c_sdk.py_qxi_subscribe(b"A", b"tick", 0) == 0
    assert len(qxsdk.journal()) == 9


def test_snapshot_response_pairs(qxsdk):
    qxsdk.push_response("qxi_current_pb", b"")
    assert c_sdk.py_qxi_current(b"A", b"f", 0) == (0, b"")
    qxsdk.push_response("qxi_current_pb", b"abcdef", 3)
    assert c_sdk.py_qxi_current(b"A", b"f", 0) == (0, b"abc")
    for status in (1, -1, 1003):
        qxsdk.push_status("qxi_current_pb", status)
        qxsdk.push_response("qxi_current_pb", b"x", -5)  # never read on failure
        assert c_sdk.py_qxi_current(b"A", b"f", 0) == (status, None)
    qxsdk.push_response("qxi_current_pb", b"x", -5)
    with pytest.raises(SystemError) as info:
        c_sdk.py_qxi_current(b"A", b"f", 0)
    assert "c_sdk.py_qxi_current" in tb_names(info)
    qxsdk.push_response("qxi_current_pb", None, 4)
    with pytest.raises(SystemError):
        c_sdk.py_qxi_current(b"A", b"f", 0)
    assert qxsdk.journal() == [Call("qxi_current_pb", (b"A", False, b"f", OUT, OUT))] * 7


def test_snapshot_success_value_is_looked_up_after_the_call(qxsdk):
    c_sdk.CSDK_OPERATE_SUCCESS = 1003
    qxsdk.push_status("qxi_current_pb", 1003)
    qxsdk.push_response("qxi_current_pb", b"ok at 1003")
    assert c_sdk.py_qxi_current(b"A", b"f", 1) == (1003, b"ok at 1003")
    assert c_sdk.py_qxi_current(b"A", b"f", 1) == (0, None)
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match="^name 'CSDK_OPERATE_SUCCESS' is not defined$"):
        c_sdk.py_qxi_current(b"A", b"f", 1)
    builtins.CSDK_OPERATE_SUCCESS = 0
    try:
        assert c_sdk.py_qxi_current(b"A", b"f", 1) == (0, b'{"fn":"qxi_current_pb"}')
    finally:
        del builtins.CSDK_OPERATE_SUCCESS
    assert len(qxsdk.calls("qxi_current_pb")) == 4


def test_subscriptions_drive_the_event_stream(qxsdk):
    received = []
    c_sdk.py_qxi_set_data_callback(lambda text, payload: received.append((text, json.loads(payload))))
    qxsdk.set_session(4, 1000)
    assert c_sdk.py_qxi_subscribe("SHSE.600000, SZSE.000001", "tick", False) == 0
    assert c_sdk.py_qxi_subscribe(b"SHSE.600000", b"2s", 0) == 0
    assert c_sdk.py_qxi_run() == 0
    ticks = [p["symbol"] for t, p in received if t == "tick"]
    bars = [p for t, p in received if t == "bar"]
    assert ticks == ["SHSE.600000", "SZSE.000001"] * 4
    assert [(b["symbol"], b["frequency"], b["eob"] - b["bob"]) for b in bars] == [("SHSE.600000", "2s", 2000)] * 2

    # Replacing every earlier subscription, then dropping it.
    received.clear()
    c_sdk.py_qxi_subscribe(b"SZSE.000001", b"tick", [1])
    c_sdk.py_qxi_run()
    assert {(t, p["symbol"]) for t, p in received} == {("tick", "SZSE.000001")}
    received.clear()
    c_sdk.py_qxi_unsubscribe(b"*", b"*")
    c_sdk.py_qxi_run()
    assert received == []
    assert [c.fn for c in qxsdk.journal()] == ["qxi_set_event_callback_pb", "qxi_subscribe", "qxi_subscribe",
                                             "qxi_run", "qxi_subscribe", "qxi_run", "qxi_unsubscribe", "qxi_run"]


def test_no_reference_growth(qxsdk):
    def action():
        c_sdk.py_qxi_subscribe(b"A", "tick", [0])
        c_sdk.py_qxi_unsubscribe(symbols="A", frequency=bytearray(b"tick"))
        c_sdk.py_qxi_current(b"A", b"f", 1)
        qxsdk.push_status("qxi_current_pb", 3)
        c_sdk.py_qxi_current(fields=b"f", symbols="A", include_call_auction=0)
        qxsdk.push_response("qxi_current_pb", b"x", -1)
        swallow([lambda: c_sdk.py_qxi_current(b"A", b"f", BadBool()),
                    lambda: c_sdk.py_qxi_current(b"A", b"f", 0),
                    lambda: c_sdk.py_qxi_subscribe(b"A", None, 0),
                    lambda: c_sdk.py_qxi_unsubscribe(b"A", x=1)], (ZeroDivisionError, SystemError, TypeError))

    growth = growth_without_journal(qxsdk, action, repeat=1000)
    assert growth < 50, f"{growth} more blocks"
    qxsdk.clear_journal()
    action()
    assert [c.fn for c in qxsdk.journal()] == ["qxi_subscribe", "qxi_unsubscribe"] + ["qxi_current_pb"] * 3
