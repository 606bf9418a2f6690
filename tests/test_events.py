"""The event bridge: registration, delivery through the library's run and poll, and
how failures inside delivery are reported without reaching the library."""

import gc
import json
import os
import subprocess
import sys
import textwrap
import time
import weakref

import pytest

import c_sdk
import qxsdk_standin
from conftest import ROOT, growth_without_journal
from qxsdk_standin import OUT, Call

REGISTER = Call("qxi_set_event_callback_pb", (OUT,))


class Recorder:
    def __init__(self, result=None):
        self.events = []
        self.result = result

    def __call__(self, text, payload):
        self.events.append((text, payload))
        return self.result


@pytest.fixture
def reports(monkeypatch):
    """Both reports of every failed event: through sys.excepthook and as unraisable."""

    class Reports:
        printed = []      # exceptions handed to sys.excepthook
        unraisable = []   # (context object, exception)

    monkeypatch.setattr(sys, "excepthook", lambda t, v, tb: Reports.printed.append(v))
    monkeypatch.setattr(sys, "unraisablehook", lambda u: Reports.unraisable.append((u.object, u.exc_value)))
    yield Reports
    for name in ("last_type", "last_value", "last_traceback"):
        if hasattr(sys, name):
            delattr(sys, name)


def assert_reported_twice(reports, errors):
    """Each failed event was printed once and reported once as unraisable, in order."""
    assert [type(e) for e in reports.printed] == errors
    assert [(ctx, type(e)) for ctx, e in reports.unraisable] == [("c_sdk.callback_wrapper", t) for t in errors]
    # The same error both times (an error set from C may be instantiated once per report).
    assert [repr(e) for e in reports.printed] == [repr(e) for _, e in reports.unraisable]


# ---------------------------------------------------------------- registration


def test_registration_stores_f_and_registers_every_time(qxsdk):
    assert "f" not in vars(c_sdk)
    first, second = Recorder(), Recorder()
    assert c_sdk.py_qxi_set_data_callback(first) is None
    assert c_sdk.f is first
    assert c_sdk.py_qxi_set_data_callback(second) is None
    assert c_sdk.f is second
    qxsdk.push_event(b"e", b"p")
    c_sdk.qxi_poll()
    assert first.events == [] and second.events == [("e", b"p")]
    assert qxsdk.journal() == [REGISTER, REGISTER, Call("qxi_poll", ())]


def test_registration_argument_errors(qxsdk):
    for args, kwargs, message in [
        ((), {}, "py_qxi_set_data_callback() takes exactly one argument (0 given)"),
        ((print, print), {}, "py_qxi_set_data_callback() takes exactly one argument (2 given)"),
        ((), {"pythonf": print}, "py_qxi_set_data_callback() takes no keyword arguments"),
    ]:
        with pytest.raises(TypeError) as info:
            c_sdk.py_qxi_set_data_callback(*args, **kwargs)
        assert str(info.value) == message
    assert "f" not in vars(c_sdk)
    assert qxsdk.journal() == []


def test_events_before_any_registration_are_dropped_by_the_library(qxsdk):
    qxsdk.push_event(b"e", b"p")
    assert c_sdk.qxi_poll() == 0
    assert qxsdk.delivered_events() == 0 and qxsdk.pending_events() == 0


# ---------------------------------------------------------------- delivery


def test_queued_events_then_session_events_in_order(qxsdk):
    receiver = Recorder()
    c_sdk.py_qxi_set_data_callback(receiver)
    qxsdk.set_session(2, 1000)
    c_sdk.py_qxi_set_timer(1000)
    for text in (b"first", b"second", b"third"):
        qxsdk.push_event(text, text.upper())
    assert c_sdk.py_qxi_run() == 0
    texts = [t for t, _ in receiver.events]
    assert texts == ["first", "second", "third", "timer", "timer"]
    assert receiver.events[0] == ("first", b"FIRST")
    assert [json.loads(p)["now"] for t, p in receiver.events[3:]] == [1767225601000, 1767225602000]
    assert qxsdk.journal() == [REGISTER, Call("qxi_set_timer", (1000,)), Call("qxi_run", ())]


@pytest.mark.parametrize("text, payload, length, expected", [
    (b"tick", b"\x00a\x00b\x00", None, ("tick", b"\x00a\x00b\x00")),
    (b"", b"", 0, ("", b"")),
    (b"bar", b"abcdef", 3, ("bar", b"abc")),
    (b"bar", b"abcdef", 0, ("bar", b"")),
    (b"x", None, 0, ("x", b"")),
    ("\u884c\u60c5".encode(), b"\xff\xfe", None, ("\u884c\u60c5", b"\xff\xfe")),
    (b"t\x00ext", b"p", None, ("t", b"p")),
])
def test_text_and_payload_conversion(qxsdk, text, payload, length, expected):
    receiver = Recorder()
    c_sdk.py_qxi_set_data_callback(receiver)
    qxsdk.push_event(text, payload, length)
    assert c_sdk.qxi_poll() == 0
    assert receiver.events == [expected]
    assert type(receiver.events[0][0]) is str and type(receiver.events[0][1]) is bytes
    assert qxsdk.journal() == [REGISTER, Call("qxi_poll", ())]


def test_legacy_flag_makes_texts_bytes(qxsdk, reports):
    receiver = Recorder()
    c_sdk.py_qxi_set_data_callback(receiver)

    class Broken:
        def __bool__(self):
            raise KeyError("IS_PY2")

    for flag in (True, 1, [0], False, None, Broken()):
        c_sdk.IS_PY2 = flag
        qxsdk.push_event(b"\xe8\xa1\x8c", b"p")
        qxsdk.push_event(b"", b"")
        c_sdk.qxi_poll()
    assert receiver.events == [(b"\xe8\xa1\x8c", b"p"), (b"", b"")] * 3 + [("\u884c", b"p"), ("", b"")] * 2
    assert_reported_twice(reports, [KeyError, KeyError])
    del c_sdk.IS_PY2
    qxsdk.push_event(b"e", b"p")
    c_sdk.qxi_poll()
    assert str(reports.printed[-1]) == "name 'IS_PY2' is not defined"
    assert len(receiver.events) == 10
    assert qxsdk.journal()[1:] == [Call("qxi_poll", ())] * 7


def test_receiver_result_is_dropped_and_freed(qxsdk):
    class Result:
        pass

    results = []

    def receiver(text, payload):
        obj = Result()
        results.append(weakref.ref(obj))
        return obj

    c_sdk.py_qxi_set_data_callback(receiver)
    qxsdk.flood_events(b"e", b"p", 5)
    c_sdk.qxi_poll()
    assert len(results) == 5 and all(r() is None for r in results)


def test_bound_method_receiver(qxsdk):
    class Strategy:
        def __init__(self):
            self.seen = []

        def on_event(self, text, payload):
            self.seen.append((self, text, payload))

    strategy = Strategy()
    c_sdk.py_qxi_set_data_callback(strategy.on_event)
    qxsdk.push_event(b"e", b"p")
    c_sdk.qxi_poll()
    assert strategy.seen == [(strategy, "e", b"p")]


# ---------------------------------------------------------------- failures inside delivery


def test_invalid_utf8_text_is_reported_and_skipped(qxsdk, reports):
    receiver = Recorder()
    c_sdk.py_qxi_set_data_callback(receiver)
    qxsdk.push_event(b"bad\xff", b"p1")
    qxsdk.push_event(b"good", b"p2")
    assert c_sdk.qxi_poll() == 0
    assert receiver.events == [("good", b"p2")]
    assert_reported_twice(reports, [UnicodeDecodeError])
    assert sys.last_value is reports.printed[0]
    assert sys.last_type is UnicodeDecodeError
    assert qxsdk.delivered_events() == 2


def test_reports_reach_stderr_with_the_trampoline_named(qxsdk, capfd, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
    monkeypatch.setattr(sys, "excepthook", sys.__excepthook__)
    c_sdk.py_qxi_set_data_callback(Recorder())
    qxsdk.push_event(b"\xc3", b"p")
    qxsdk.push_event(b"neg", b"", -1)
    c_sdk.qxi_poll()
    err = capfd.readouterr().err
    assert err.count("UnicodeDecodeError") == 2
    assert err.count("SystemError") == 2
    assert err.count("Exception ignored in: 'c_sdk.callback_wrapper'") == 2
    assert "c_sdk.callback_wrapper" in err.splitlines()[1]  # the traceback entry
    del sys.last_type, sys.last_value, sys.last_traceback


def test_negative_length_is_reported_not_delivered(qxsdk, reports):
    receiver = Recorder()
    c_sdk.py_qxi_set_data_callback(receiver)
    qxsdk.push_event(b"neg", b"", -1)
    qxsdk.push_event(b"neg", b"abc", -2**31)
    qxsdk.push_event(b"next", b"ok")
    c_sdk.qxi_poll()
    assert receiver.events == [("next", b"ok")]
    assert_reported_twice(reports, [SystemError, SystemError])


def test_missing_receiver_is_reported_before_a_bad_payload(qxsdk, reports):
    c_sdk.py_qxi_set_data_callback(Recorder())
    del c_sdk.f
    qxsdk.push_event(b"neg", b"", -1)
    c_sdk.qxi_poll()
    assert_reported_twice(reports, [NameError])
    assert str(reports.printed[0]) == "name 'f' is not defined"


def test_raising_receiver_does_not_stop_the_run(qxsdk, reports):
    calls = []

    def receiver(text, payload):
        calls.append(text)
        if text == "tick":
            raise ValueError("strategy bug in " + text)

    c_sdk.py_qxi_set_data_callback(receiver)
    qxsdk.set_session(3, 1000)
    c_sdk.py_qxi_subscribe(b"SHSE.600000", b"tick", 0)
    c_sdk.py_qxi_set_timer(1000)
    assert c_sdk.py_qxi_run() == 0
    assert calls == ["tick", "timer"] * 3
    assert_reported_twice(reports, [ValueError] * 3)
    assert str(reports.printed[0]) == "strategy bug in tick"
    assert [c.fn for c in qxsdk.journal()] == ["qxi_set_event_callback_pb", "qxi_subscribe", "qxi_set_timer", "qxi_run"]


def test_uncallable_receiver_is_reported_for_every_event(qxsdk, reports):
    c_sdk.py_qxi_set_data_callback(None)
    qxsdk.flood_events(b"e", b"p", 3)
    assert c_sdk.qxi_poll() == 0
    assert_reported_twice(reports, [TypeError] * 3)
    assert "'NoneType' object is not callable" in str(reports.printed[0])
    assert qxsdk.journal() == [REGISTER, Call("qxi_poll", ())]


def test_receiver_replaced_between_events(qxsdk):
    first, second = Recorder(), Recorder()
    c_sdk.py_qxi_set_data_callback(first)
    qxsdk.push_event(b"one", b"")
    c_sdk.qxi_poll()
    c_sdk.f = second  # no library call needed
    qxsdk.push_event(b"two", b"")
    c_sdk.qxi_poll()
    assert first.events == [("one", b"")] and second.events == [("two", b"")]
    assert qxsdk.journal() == [REGISTER, Call("qxi_poll", ()), Call("qxi_poll", ())]
    # The module keeps no reference of its own to a replaced receiver.
    gone = weakref.ref(first)
    del first
    gc.collect()
    assert gone() is None


def test_receiver_replaced_during_an_event(qxsdk):
    later = Recorder()
    seen = []

    def first(text, payload):
        seen.append(text)
        if text == "a":
            c_sdk.f = later
        elif text == "c":
            c_sdk.py_qxi_set_data_callback(first)

    c_sdk.py_qxi_set_data_callback(first)
    for text in (b"a", b"b"):
        qxsdk.push_event(text, b"")
    c_sdk.qxi_poll()
    assert seen == ["a"] and later.events == [("b", b"")]
    c_sdk.f = first
    for text in (b"c", b"d"):
        qxsdk.push_event(text, b"")
    c_sdk.qxi_poll()
    assert seen == ["a", "c", "d"]
    assert qxsdk.journal().count(REGISTER) == 2


def test_globals_rebound_inside_events_are_read_by_the_next_event(qxsdk, monkeypatch):
    """IS_PY2 and f are read from the namespace for every event, whether they change
    inside a receiver, inside IS_PY2's own truth test, or move to builtins."""
    import builtins

    seen = []
    later = Recorder()

    def toggling(text, payload):
        seen.append(text)
        c_sdk.IS_PY2 = not c_sdk.IS_PY2

    class Switch:
        """A legacy flag whose truth test hands events to `later`."""

        def __bool__(self):
            c_sdk.f = later
            return False

    c_sdk.py_qxi_set_data_callback(toggling)
    monkeypatch.setattr(c_sdk, "IS_PY2", False)
    for text in (b"a", b"b", b"c"):
        qxsdk.push_event(text, b"")
    c_sdk.qxi_poll()
    assert seen == ["a", b"b", "c"]

    c_sdk.IS_PY2 = Switch()
    qxsdk.push_event(b"d", b"")
    c_sdk.qxi_poll()
    assert seen == ["a", b"b", "c"] and later.events == [("d", b"")]

    c_sdk.IS_PY2 = False
    in_builtins = Recorder()
    monkeypatch.setattr(builtins, "f", in_builtins, raising=False)
    del c_sdk.f
    qxsdk.push_event(b"e", b"")
    c_sdk.qxi_poll()
    c_sdk.f = later
    qxsdk.push_event(b"f", b"")
    c_sdk.qxi_poll()
    assert in_builtins.events == [("e", b"")] and later.events == [("d", b""), ("f", b"")]


def test_receiver_deleted_during_its_own_call(qxsdk, reports):
    class Receiver:
        def __init__(self):
            self.texts = []

        def __call__(self, text, payload):
            del c_sdk.f  # the only other reference
            gc.collect()
            self.texts.append(text)  # still alive: the bridge holds it for the call
            log.append(list(self.texts))

    log = []
    receiver = Receiver()
    alive = weakref.ref(receiver)
    c_sdk.py_qxi_set_data_callback(receiver)
    del receiver
    qxsdk.flood_events(b"e", b"p", 3)
    c_sdk.qxi_poll()
    assert log == [["e"]]
    gc.collect()
    assert alive() is None
    assert_reported_twice(reports, [NameError, NameError])
    assert str(reports.printed[0]) == "name 'f' is not defined"
    assert qxsdk.delivered_events() == 3


def test_events_the_bridge_cannot_take_are_dropped_with_a_line_on_stderr(qxsdk, capfd, reports):
    receiver = Recorder()
    c_sdk.py_qxi_set_data_callback(receiver)
    qxsdk.push_event(None, b"payload")
    qxsdk.push_event(b"null payload", None, 4)
    qxsdk.push_event(b"fine", b"")
    c_sdk.qxi_poll()
    qxsdk.fire_from_thread(b"from a library thread", b"p")
    # ... also while this thread waits inside a library call, holding the lock.
    qxsdk.fire_from_thread_in_next_call(b"while the caller holds the lock", b"p")
    assert c_sdk.py_qxi_get_dividends(b"q")[0] == 0
    assert receiver.events == [("fine", b"")]
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 4 and all(line.startswith("c_sdk: ") for line in lines)
    assert "null event text" in lines[0] and "null payload" in lines[1]
    assert lines[2] == lines[3] and "thread without the interpreter lock" in lines[2]
    assert reports.printed == [] and reports.unraisable == []
    assert qxsdk.delivered_events() == 5


# ---------------------------------------------------------------- receivers calling back in


def test_stop_from_inside_an_event_ends_the_run(qxsdk):
    seen = []

    def receiver(text, payload):
        seen.append(text)
        if len(seen) == 2:
            assert c_sdk.py_qxi_stop() == 0

    c_sdk.py_qxi_set_data_callback(receiver)
    qxsdk.set_session(100, 1000)
    c_sdk.py_qxi_set_timer(1000)
    qxsdk.flood_events(b"q", b"", 5)
    assert c_sdk.py_qxi_run() == 0
    assert seen == ["q", "q"] and qxsdk.pending_events() == 3
    assert [c.fn for c in qxsdk.journal()] == ["qxi_set_event_callback_pb", "qxi_set_timer", "qxi_run", "qxi_stop"]
    # The rest is delivered by the next poll; the session clock did not move.
    assert c_sdk.qxi_poll() == 0
    assert seen == ["q"] * 5 and c_sdk.qxi_now() == 1767225600000


def test_order_placed_from_inside_an_event(qxsdk):
    seen = []
    responses = []

    def receiver(text, payload):
        seen.append(text)
        if text == "tick" and not responses:
            order = json.dumps({"symbol": json.loads(payload)["symbol"], "volume": 200, "side": 1, "price": 12.5})
            responses.append(c_sdk.py_qxi_place_order(order))

    c_sdk.py_qxi_set_data_callback(receiver)
    qxsdk.set_session(2, 1000)
    c_sdk.py_qxi_subscribe(b"SZSE.000001", b"tick", 0)
    c_sdk.py_qxi_run()
    status, response = responses[0]
    assert status == 0 and json.loads(response)["filled_volume"] == 200
    # The fill is delivered right after the event that caused it.
    assert seen == ["tick", "execution_report", "tick"]
    place = qxsdk.calls("qxi_place_order_pb")
    assert len(place) == 1 and json.loads(place[0].args[0]) == {"symbol": "SZSE.000001", "volume": 200, "side": 1, "price": 12.5}


def test_nested_poll_is_refused_by_the_library_not_the_bridge(qxsdk):
    statuses = []
    c_sdk.py_qxi_set_data_callback(lambda t, p: statuses.append(c_sdk.qxi_poll()))
    qxsdk.push_event(b"e", b"")
    assert c_sdk.qxi_poll() == 0
    assert statuses == [1005]
    assert qxsdk.journal() == [REGISTER, Call("qxi_poll", ()), Call("qxi_poll", ())]


def test_system_exit_in_the_receiver_ends_the_process():
    script = textwrap.dedent("""
        import os, sys
        import qxsdk_standin
        qxsdk = qxsdk_standin.activate()
        import c_sdk
        def receiver(text, payload):
            print("event", text, [c.fn for c in qxsdk.journal()], flush=True)
            if text == "exit":
                raise SystemExit(7)
        c_sdk.py_qxi_set_data_callback(receiver)
        for text in (b"before", b"exit", b"after"):
            qxsdk.push_event(text, b"")
        try:
            c_sdk.qxi_poll()
        finally:
            print("poll returned", flush=True)
    """)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(c_sdk.__file__), os.path.dirname(os.path.dirname(qxsdk_standin.__file__)),
         os.path.join(ROOT, "standin"), os.path.join(ROOT, "tests")])
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 7, done.stderr
    assert done.stdout.splitlines() == [
        "event before ['qxi_set_event_callback_pb', 'qxi_poll']",
        "event exit ['qxi_set_event_callback_pb', 'qxi_poll']",
    ]


# ---------------------------------------------------------------- volume


def test_a_million_events_without_growth(qxsdk):
    count = [0]

    def receiver(text, payload):
        count[0] += 1

    c_sdk.py_qxi_set_data_callback(receiver)
    payload = b"x" * 200
    qxsdk.flood_events(b"tick", payload, 1000)
    c_sdk.qxi_poll()  # warm up
    gc.collect()
    blocks = sys.getallocatedblocks()
    refs = sys.getrefcount(receiver), sys.getrefcount(payload)
    started = time.perf_counter()
    qxsdk.flood_events(b"tick", payload, 1_000_000)
    assert c_sdk.qxi_poll() == 0
    elapsed = time.perf_counter() - started
    gc.collect()
    assert count[0] == 1_001_000
    assert sys.getallocatedblocks() - blocks < 50
    assert (sys.getrefcount(receiver), sys.getrefcount(payload)) == refs
    assert elapsed < 10, f"{elapsed:.1f} s for a million events"
    assert qxsdk.journal()[1:] == [Call("qxi_poll", ())] * 2


def test_failing_events_without_growth(qxsdk, reports):
    receiver = Recorder(result=[1, 2, 3])
    c_sdk.py_qxi_set_data_callback(receiver)

    def action():
        receiver.events.clear()
        qxsdk.push_event(b"\xff", b"p")
        qxsdk.push_event(b"neg", b"", -1)
        qxsdk.push_event(b"ok", b"data")
        c_sdk.qxi_poll()
        reports.printed.clear()
        reports.unraisable.clear()

    growth = growth_without_journal(qxsdk, action, repeat=500)
    assert growth < 50, f"{growth} more blocks"
    assert qxsdk.delivered_events() == 3 * (1 + 3 * 500)
