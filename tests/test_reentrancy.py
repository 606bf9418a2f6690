"""Python code run inside a call (a later conversion, the comparison with the success
value, another thread) never makes the library read freed memory, nor the caller get a
copy of freed memory."""

import threading
import time

import pytest

import c_sdk
from qxsdk_standin import OUT, Call

ORIGINAL = b"SHSE.600000," * 200


class Resizer:
    """Every conversion hook at once; each one resizes the bytearray first."""

    def __init__(self, victim, value=1):
        self.victim = victim
        self.value = value
        self.errors = []

    def resize(self):
        try:
            self.victim.clear()
            self.victim.extend(b"X" * 100000)
        except BufferError as exc:
            self.errors.append(exc)
            raise

    def __bool__(self):
        self.resize()
        return bool(self.value)

    def __float__(self):
        self.resize()
        return float(self.value)

    def __int__(self):
        self.resize()
        return int(self.value)

    __index__ = __int__


def backtest_args(start, hook):
    return (start, b"2026-12-31", hook, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1, 2, 3)


def smart_reorder_args(symbol, hook):
    return (symbol, 10.5, hook, 1, 2, 3, 4, 5, 6, 7, b"acct")


# (callable name, arguments with the bytearray text first and the resizing hook after it)
TEXT_CASES = [
    ("py_qxi_subscribe", lambda ba, h: (ba, b"tick", h)),
    ("py_qxi_current", lambda ba, h: (ba, b"price", h)),
    ("py_qxi_set_backtest_config", backtest_args),
    ("py_qxi_smart_reorder", smart_reorder_args),
    ("py_qxi_set_bus_secure", lambda ba, h: (1, ba, b"cert", b"key", h)),
    ("qxi_set_bus_secure", lambda ba, h: (1, ba, b"cert", b"key", h)),
]


class ByteArraySub(bytearray):
    pass


@pytest.mark.parametrize("kind", [bytearray, ByteArraySub])
@pytest.mark.parametrize("name, make_args", TEXT_CASES, ids=[c[0] for c in TEXT_CASES])
def test_text_cannot_be_resized_by_a_later_conversion(qxsdk, name, make_args, kind):
    ba = kind(ORIGINAL)
    hook = Resizer(ba)
    with pytest.raises(BufferError):
        getattr(c_sdk, name)(*make_args(ba, hook))
    assert len(hook.errors) == 1
    assert qxsdk.journal() == []  # refused before the library was called
    assert ba == ORIGINAL
    # The export ends with the call: the caller may resize it again.
    ba.clear()
    assert ba == b""


def test_text_export_is_released_after_a_successful_call(qxsdk):
    ba = bytearray(b"SHSE.600000")
    assert c_sdk.py_qxi_subscribe(ba, ba, True) == 0
    assert c_sdk.qxi_set_bus_secure(1, ba, ba, ba, False) is None
    assert c_sdk.py_qxi_set_bus_secure(1, ba, ba, ba, False) is None
    ba.extend(b",SZSE.000001")
    assert c_sdk.py_qxi_subscribe(ba, b"tick", 0) == 0
    assert qxsdk.journal() == [
        Call("qxi_subscribe", (b"SHSE.600000", b"SHSE.600000", True)),
        Call("qxi_set_bus_secure", (1, b"SHSE.600000", b"SHSE.600000", b"SHSE.600000", False)),
        Call("qxi_set_bus_secure", (1, b"SHSE.600000", b"SHSE.600000", b"SHSE.600000", False)),
        Call("qxi_subscribe", (b"SHSE.600000,SZSE.000001", b"tick", False)),
    ]


def test_text_export_is_released_when_a_later_conversion_fails(qxsdk):
    ba = bytearray(b"A")

    class Fails:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        c_sdk.py_qxi_subscribe(ba, b"tick", Fails())
    with pytest.raises(TypeError):
        c_sdk.py_qxi_subscribe(ba, 5, True)
    ba.extend(b"B")  # no export left behind
    assert ba == b"AB"
    assert qxsdk.journal() == []


def test_mutation_in_place_is_seen_not_freed(qxsdk):
    """Writing into the held storage (no resize) is allowed: the library reads valid memory."""
    ba = bytearray(b"AAAA")

    class Poke:
        def __bool__(self):
            ba[0] = ord("Z")
            return True

    assert c_sdk.py_qxi_subscribe(ba, b"tick", Poke()) == 0
    assert qxsdk.last() == Call("qxi_subscribe", (b"ZAAA", b"tick", True))


class ResizingSuccess:
    """A success value whose comparison tries to resize the request."""

    def __init__(self, victim):
        self.victim = victim

    def __eq__(self, other):
        self.victim.extend(b"X" * 100000)
        return other == 0

    __hash__ = None


@pytest.mark.parametrize("name, fn, args", [
    ("py_qxi_get_dividends", "qxi_get_dividends", lambda ba: (ba,)),
    ("py_qxi_algo_order_batch", "qxi_algo_order_batch_pb", lambda ba: (ba, b"twap", b"{}")),
    ("py_qxi_get_child_orders", "qxi_get_child_orders_pb", lambda ba: (ba, b"algo")),
])
def test_request_stays_exported_through_the_comparison(qxsdk, name, fn, args):
    ba = bytearray(b'{"symbol":"SHSE.600000"}')
    c_sdk.CSDK_OPERATE_SUCCESS = ResizingSuccess(ba)
    with pytest.raises(BufferError):
        getattr(c_sdk, name)(*args(ba))
    assert qxsdk.last().fn == fn
    assert qxsdk.last().args[0] == b'{"symbol":"SHSE.600000"}'
    assert ba == b'{"symbol":"SHSE.600000"}'
    ba.extend(b"!")  # released after the call
    assert ba.endswith(b"}!")


class Reentrant:
    """A success value whose comparison calls the library, which frees the response it
    handed out for the call being compared."""

    def __init__(self, call):
        self.call = call
        self.seen = []

    def __eq__(self, other):
        self.seen.append(other)
        self.call()
        return other == 0

    def __ne__(self, other):
        self.seen.append(other)
        self.call()
        return other != 0

    __hash__ = None


PAIR_CASES = [
    ("py_qxi_get_dividends", "qxi_get_dividends", (b"req",)),
    ("py_qxi_get_orders", "qxi_get_orders_pb", (b"req",)),
    ("py_qxi_get_accounts", "qxi_get_account_info_pb", ()),
    ("py_qxi_current", "qxi_current_pb", (b"A", b"f", True)),
    ("py_qxi_algo_order_batch", "qxi_algo_order_batch_pb", (b"req", b"twap", b"{}")),
    ("py_qxi_get_child_orders", "qxi_get_child_orders_pb", (b"acct", b"algo")),
]


@pytest.mark.parametrize("name, fn, args", PAIR_CASES, ids=[c[0] for c in PAIR_CASES])
def test_response_survives_a_library_call_in_the_comparison(qxsdk, name, fn, args):
    response = b"response of " + fn.encode() + b"\x00 with a NUL" * 20
    success = c_sdk.CSDK_OPERATE_SUCCESS = Reentrant(c_sdk.py_qxi_get_stop_error_code)
    qxsdk.push_response(fn, response)
    assert getattr(c_sdk, name)(*args) == (0, response)
    # A failure status drops the copy.
    qxsdk.push_status(fn, 1000)
    qxsdk.push_response(fn, b"unread")
    assert getattr(c_sdk, name)(*args) == (1000, None)
    assert success.seen == [0, 1000]
    assert [c.fn for c in qxsdk.journal()] == [fn, "qxi_get_stop_error_code"] * 2


def test_server_address_survives_a_library_call_in_the_comparison(qxsdk):
    success = c_sdk.CSDK_OPERATE_SUCCESS = Reentrant(c_sdk.py_qxi_get_stop_error_code)
    qxsdk.push_text("qxi_get_serv_addr", b"tcp://10.0.0.1:7001")
    assert c_sdk.py_qxi_get_serv_addr(b"md") == b"tcp://10.0.0.1:7001"
    qxsdk.push_status("qxi_get_serv_addr", 1000)
    assert c_sdk.py_qxi_get_serv_addr(b"md") is None
    # A null text is a broken contract only when the status is a success.
    qxsdk.push_text("qxi_get_serv_addr", None)
    with pytest.raises(SystemError, match="null text"):
        c_sdk.py_qxi_get_serv_addr(b"md")
    qxsdk.push_status("qxi_get_serv_addr", 1000)
    qxsdk.push_text("qxi_get_serv_addr", None)
    assert c_sdk.py_qxi_get_serv_addr(b"md") is None
    assert success.seen == [0, 1000, 0, 1000]


def test_broken_response_with_a_python_success_value(qxsdk):
    """Copied before the comparison only when well formed; reported only on success."""
    c_sdk.CSDK_OPERATE_SUCCESS = Reentrant(lambda: None)
    fn = "qxi_get_dividends"
    for data, length in [(b"abc", -1), (None, 5)]:
        qxsdk.push_response(fn, data, length)
        with pytest.raises(SystemError):
            c_sdk.py_qxi_get_dividends(b"q")
        qxsdk.push_status(fn, 7)
        qxsdk.push_response(fn, data, length)
        assert c_sdk.py_qxi_get_dividends(b"q") == (7, None)
    qxsdk.push_response(fn, None, 0)
    assert c_sdk.py_qxi_get_dividends(b"q") == (0, b"")


@pytest.mark.parametrize("name, fn, args", PAIR_CASES, ids=[c[0] for c in PAIR_CASES])
def test_length_the_library_leaves_unset_is_refused(qxsdk, name, fn, args):
    # The stand-in always writes the length; it stores -1 here, which is what the
    # module presets, so this is the path an unwritten length takes.
    qxsdk.push_response(fn, b"abc", -1)
    with pytest.raises(SystemError) as info:
        getattr(c_sdk, name)(*args)
    assert "Negative size" in str(info.value)
    qxsdk.push_status(fn, 1000)
    qxsdk.push_response(fn, b"abc", -1)
    assert getattr(c_sdk, name)(*args) == (1000, None)


def test_responses_intact_while_another_thread_calls_the_library(qxsdk):
    qxsdk.enable_journal(False)
    stop = threading.Event()

    def other():
        while not stop.is_set():
            c_sdk.py_qxi_get_orders(b"other")

    class Yielding:
        def __eq__(self, other):
            time.sleep(0)  # lets the other thread run (and free this call's response)
            return other == 0

        __hash__ = None

    c_sdk.CSDK_OPERATE_SUCCESS = Yielding()
    thread = threading.Thread(target=other)
    thread.start()
    try:
        bad = 0
        for i in range(2000):
            request = b"x" * (i % 50)
            expected = b'{"fn":"qxi_algo_order_batch_pb","req_len":%d}' % len(request)
            bad += c_sdk.py_qxi_algo_order_batch(request, b"twap", b"{}") != (0, expected)
    finally:
        stop.set()
        thread.join()
        qxsdk.enable_journal(True)
    assert bad == 0


def test_exports_and_guarded_copies_leak_nothing(qxsdk):
    from conftest import growth_without_journal

    ba = bytearray(b"SHSE.600000")
    request = bytearray(b'{"n":1}')

    class Success:
        def __eq__(self, other):
            return other == 0

        def __ne__(self, other):
            return other != 0

        __hash__ = None

    def calls():
        c_sdk.py_qxi_subscribe(ba, ba, True)
        c_sdk.qxi_send_msg_to_bus(ba, ba)
        c_sdk.py_qxi_get_dividends(request)
        try:
            c_sdk.py_qxi_subscribe(ba, b"tick", Resizer(ba))
        except BufferError:
            pass
        c_sdk.CSDK_OPERATE_SUCCESS = Success()
        c_sdk.py_qxi_get_dividends(request)
        c_sdk.py_qxi_get_serv_addr(b"md")
        c_sdk.CSDK_OPERATE_SUCCESS = 0

    assert growth_without_journal(qxsdk, calls, repeat=1000) < 50  # a leak per call shows >= 1000
    ba.extend(b"!")  # every export was released
    request.extend(b"!")


def call_in():
    c_sdk.py_qxi_get_dividends(b"q")
    c_sdk.qxi_poll()  # nested: refused as busy by the library


class Calling:
    """A legacy flag whose truth test calls the library."""

    def __init__(self, legacy):
        self.legacy = legacy

    def __bool__(self):
        call_in()
        return self.legacy


class CallingKey:
    """A namespace key met by the lookup of `name` (same hash, placed before it), whose
    equality test calls the library."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        call_in()
        return False


def place_calling_key(name):
    namespace = vars(c_sdk)
    value = namespace.pop(name)
    namespace[CallingKey(name)] = None
    namespace[name] = value


@pytest.mark.parametrize("how", ["overwrite", "free"])
@pytest.mark.parametrize("where", ["legacy flag", "IS_PY2", "f"], ids=["truth", "IS_PY2-key", "f-key"])
def test_event_survives_library_calls_in_the_legacy_flag(qxsdk, where, how):
    """Python code run inside a delivery, before the receiver (a non-bool IS_PY2's truth
    test, the equality test of a namespace key met by a lookup), may call the library,
    which may end the life of the event's text and payload: the stand-in overwrites or
    frees them then. The event still arrives whole: it was copied before."""
    events = []
    c_sdk.py_qxi_set_data_callback(lambda text, data: events.append((text, data)))
    qxsdk.expire_event_buffers(how)
    for legacy in (False, True):
        c_sdk.IS_PY2 = Calling(legacy) if where == "legacy flag" else legacy
        if where != "legacy flag":
            place_calling_key(where)
        qxsdk.push_event(b"tick", b"payload\x00" * 100)
        assert c_sdk.qxi_poll() == 0
    assert events == [("tick", b"payload\x00" * 100), (b"tick", b"payload\x00" * 100)]
