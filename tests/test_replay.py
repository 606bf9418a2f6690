"""Replay: the stand-in answering from a session the tap recorded.

Sessions are recorded in child interpreters with the tap in front of the stand-in (this
process has the stand-in loaded as libqxsdk.so already); they are replayed in children
too when the replay is recorded again, and here, through the `qxsdk` fixture, otherwise.
"""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest
import qxsdk_standin

import c_sdk
from conftest import ROOT

try:
    import qxsdk_tap
except ImportError:
    if os.environ.get("CI"):
        raise  # CI installs ./tap: these tests never skip there
    pytest.skip("qxsdk_tap is not installed (pip install ./tap)", allow_module_level=True)

from qxsdk_tap import Call, Event, Recording
from test_standin import run_pytest
from test_tap import SESSION_HELPERS

STANDIN = qxsdk_standin.library_path()
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" or "san" in v}

# The tap in front of the stand-in, recording into `record`; the stand-in replays `replay` if given.
PREAMBLE = """
import ctypes, sys
sys.path[:0] = [{host!r}]
import qxsdk_standin, qxsdk_tap
tap = qxsdk_tap.activate(target={standin!r}, record={record!r}, **{options!r})
sdk = qxsdk_standin.StandIn(ctypes.CDLL({standin!r}))
RECORDING = {replay!r} is None
if not RECORDING:
    sdk.replay({replay!r}, strict={strict!r})
import c_sdk

def script(method, *args):
    # The recorded session is scripted; its replay answers from the recording alone.
    if RECORDING:
        getattr(sdk, method)(*args)
"""


def session(code, record, replay=None, strict=True, options=None):
    fields = dict(host=os.path.join(ROOT, "standin"), standin=STANDIN, record=record, replay=replay, strict=strict,
                  options=options or {})
    done = subprocess.run([sys.executable, "-c", PREAMBLE.format(**fields) + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120, env=ENV)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


# ---- A recording replayed and recorded again is the same, byte for byte

CONTRACT = SESSION_HELPERS + """
show("request", lambda: c_sdk.py_qxi_get_dividends(b'{"a":1}'))
script("push_response", "qxi_get_dividends", None, 5)
show("null response, positive length", lambda: c_sdk.py_qxi_get_dividends(b"x"))
script("push_response", "qxi_get_dividends", b"abc", -3)
show("negative length", lambda: c_sdk.py_qxi_get_dividends(b"y"))
script("push_response", "qxi_get_dividends", b"", 0)
script("push_status", "qxi_get_dividends", 7)
show("failure status", lambda: c_sdk.py_qxi_get_dividends(b"z"))
script("push_text", "qxi_strerror", None)
show("null text", lambda: c_sdk.qxi_strerror(3))
show("text", lambda: c_sdk.py_qxi_strerror(1003))
script("push_text", "qxi_get_serv_addr", None)
show("null stored text", lambda: c_sdk.py_qxi_get_serv_addr("md"))
show("stored text", lambda: c_sdk.py_qxi_get_serv_addr("td"))
show("clock", lambda: (c_sdk.qxi_now(), c_sdk.qxi_now_plus()))
show("ids", lambda: (c_sdk.py_qxi_user_timer(1000, 5), c_sdk.py_qxi_smart_reorder("A", 1.5, 100, 1, 1, 1, 3, 2, 30, 5, "acc")))
show("reals and flags", lambda: (c_sdk.py_qxi_set_backtest_config("s", "e", 1e6, 0.1, 0.25, -0.0, 1e-300, 3.0, 7.5, 1, 2, 0),
                                 c_sdk.py_qxi_subscribe("A,B", "tick", True)))
show("secrets", lambda: (c_sdk.py_qxi_set_token("tok"), c_sdk.py_qxi_get_encrypted_token()))

c_sdk.py_qxi_set_data_callback(receiver)
script("push_event", b"plain", b'{"k":1}')
script("push_event", None, b"null text")
script("push_event", b"null payload", None, 4)
script("push_event", b"negative", b"abc", -2)
script("push_event", b"nested", b"{}")
show("poll", lambda: c_sdk.qxi_poll())
script("fire_from_thread", b"from a library thread", b"{}")
show("after the thread event", lambda: c_sdk.qxi_now())
print("received", received)
"""


def comparable(record):
    """Calls and events of a recording without threads and times; events delivered from a
    library thread are kept apart (they start in another place relative to the calls)."""
    entries = sorted((e for e in Recording(record).entries() if isinstance(e, (Call, Event))), key=lambda e: e.seq)
    calls = [(c.fn, c.result, c.args) for c in entries if isinstance(c, Call)]
    events = [(e.text, e.payload, e.length, e.inside_fn) for e in entries if isinstance(e, Event)]
    return calls, events


@pytest.mark.parametrize("strict", [True, False], ids=["strict", "per function"])
def test_a_replayed_recording_records_the_same_again(tmp_path, strict):
    first, second = str(tmp_path / "first.qxtap"), str(tmp_path / "second.qxtap")
    printed = session(CONTRACT, first)
    replayed = session(CONTRACT + "print(sdk.divergence(), sdk.replay_left())\n", second, replay=first,
                       strict=strict)
    assert replayed == printed + "None 0\n"
    assert printed.count("SystemError") == 3  # null response, negative length, null text
    assert comparable(second) == comparable(first)
    calls, events = comparable(first)
    assert ("qxi_set_token", 0, (qxsdk_tap.Redacted(),)) in calls
    assert (b"from a library thread", b"{}", 2, None) in events and (None, b"null text", 9, "qxi_poll") in events


def test_the_example_gives_the_same_results_replayed(tmp_path):
    example, record = os.path.join(ROOT, "examples", "strategy.py"), str(tmp_path / "strategy.qxtap")
    runs = [subprocess.run([sys.executable, example, option, record], capture_output=True, text=True, env=ENV,
                           timeout=300) for option in ("--record", "--replay")]
    assert [run.returncode for run in runs] == [0, 0], runs[1].stderr
    recorded, replayed = (run.stdout.splitlines() for run in runs)
    assert replayed[1] == "Replaying the session recorded in " + record
    # The replay exits non-zero when it left the recording or did not play all of it.
    assert replayed[2:] == recorded[2:] and recorded[2] == "run finished with status 0 (ok)"


# ---- Leaving the recording

SMALL = """
def receiver(text, payload):
    if payload == b"1":
        c_sdk.py_qxi_get_cash(b"in tick 1")
c_sdk.py_qxi_set_data_callback(receiver)
script("push_response", "qxi_get_dividends", b"first")
c_sdk.py_qxi_get_dividends(b"a")
script("push_event", b"tick", b"1")
script("push_event", b"tick", b"2")
c_sdk.qxi_poll()
script("push_response", "qxi_get_dividends", b"second")
c_sdk.py_qxi_get_dividends(b"b")
"""


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    record = str(tmp_path_factory.mktemp("small") / "small.qxtap")
    session(SMALL, record)
    return record


def play(calling_ticks=(b"1",), requests=(b"a", b"b"), fn="py_qxi_get_dividends", extra=False):
    """The small session again, changed as asked; the status of each call it makes, in order."""
    statuses = []

    def receiver(text, payload):
        if payload in calling_ticks:
            statuses.append(c_sdk.py_qxi_get_cash(b"in tick " + payload)[0])

    c_sdk.py_qxi_set_data_callback(receiver)
    statuses.append(getattr(c_sdk, fn)(requests[0])[0])
    statuses.append(c_sdk.qxi_poll())
    statuses.append(c_sdk.py_qxi_get_dividends(requests[1])[0])
    if extra:
        statuses.append(c_sdk.py_qxi_get_stop_error_code())
    return statuses


@pytest.mark.parametrize("strict, change, fails_from, words", [
    (True, dict(requests=(b"x", b"b")), 0,
     'at call 2: expected qxi_get_dividends("a", 1, OUT, OUT) (recorded call 2 of 5), '
     'came qxi_get_dividends("x", 1, OUT, OUT)'),
    (True, dict(fn="py_qxi_get_cash"), 0, 'came qxi_get_cash_pb("a", 1, OUT, OUT)'),
    (True, dict(extra=True), 4, "at call 6: expected no more calls (all 5 recorded calls were made), "
                                "came qxi_get_stop_error_code()"),
    (True, dict(calling_ticks=()), 1,
     'after call 3: expected qxi_get_cash_pb("in tick 1", 9, OUT, OUT) (recorded call 4 of 5) from the callback '
     'of the "tick" event delivered inside qxi_poll, came the return of that callback'),
    (True, dict(calling_ticks=(b"1", b"2")), 2,
     'at call 5: expected the callback of the "tick" event delivered inside qxi_poll to return, the recording '
     'going on with qxi_get_dividends("b", 1, OUT, OUT) (recorded call 5 of 5), came qxi_get_cash_pb("in tick 2", '
     '9, OUT, OUT)'),
    (False, dict(requests=(b"x", b"y"), extra=True), 4,
     "at call 6: expected no more calls of qxi_get_stop_error_code (the recording has 0)"),
])
def test_a_replay_fails_from_the_first_call_that_leaves_the_recording(qxsdk, small, strict, change, fails_from,
                                                                       words):
    qxsdk.replay(small, strict=strict)
    statuses = play(**change)
    assert statuses == [0] * fails_from + [1006] * (len(statuses) - fails_from)
    assert words in qxsdk.divergence() and qxsdk.divergence().startswith("replay differs from the recording ")
    assert c_sdk.py_qxi_get_ext_errormsg() == qxsdk.divergence().encode()
    assert c_sdk.py_qxi_strerror(1006) == b"the replay differs from the recording"
    qxsdk.reset()  # ends the replay: the fixture fails a test whose replay diverged


def test_per_function_replay_answers_each_function_in_its_recorded_order(qxsdk, small):
    cash = [c.response.data for c in Recording(small).calls() if c.fn == "qxi_get_cash_pb"]
    qxsdk.replay(small, strict=False)
    assert c_sdk.py_qxi_get_dividends(b"other") == (0, b"first")
    assert [c_sdk.py_qxi_get_cash(b"out of order")] == [(0, data) for data in cash]
    assert c_sdk.py_qxi_get_dividends(b"other") == (0, b"second")
    got = []
    c_sdk.py_qxi_set_data_callback(lambda text, payload: got.append(payload))
    assert c_sdk.qxi_poll() == 0 and got == [b"1", b"2"]
    assert qxsdk.divergence() is None and qxsdk.replay_left() == 0


# ---- What the fixture and the reader make of it

HOST_TESTS = """
    import c_sdk, pytest

    def test_diverged(qxsdk):
        qxsdk.replay("small.qxtap")
        c_sdk.py_qxi_get_stop_error_code()

    def test_diverged_and_failed(qxsdk):
        qxsdk.replay("small.qxtap")
        assert c_sdk.py_qxi_get_stop_error_code() == 0

    def test_not_played_to_the_end(qxsdk):
        qxsdk.replay("small.qxtap")
        c_sdk.py_qxi_set_data_callback(print)

    @pytest.mark.qxsdk(allow_unused=True)
    def test_allowed_to_stop_short(qxsdk):
        qxsdk.replay("small.qxtap")
        c_sdk.py_qxi_set_data_callback(print)

    def test_reset_after_a_divergence_on_purpose(qxsdk):
        qxsdk.replay("small.qxtap")
        c_sdk.py_qxi_get_stop_error_code()
        assert qxsdk.divergence()
        qxsdk.reset()
"""


def test_the_fixture_fails_a_replay_that_diverged_or_stopped_short(tmp_path, small):
    shutil.copy(small, tmp_path / "small.qxtap")
    done, results = run_pytest(tmp_path, {"pytest.ini": "[pytest]\nqxsdk_activate = true\n",
                                          "test_host.py": HOST_TESTS})
    diverged = "at call 1: expected qxi_set_event_callback_pb(CALLBACK) (recorded call 1 of 5), came qxi_get_stop_error_code()"
    assert [kind for kind, _ in results["test_diverged"]] == ["error"] and diverged in results["test_diverged"][0][1]
    assert [kind for kind, _ in results["test_diverged_and_failed"]] == ["failure"]
    # once per diverged test; the summary's one-line reasons depend on the terminal's width
    reports = done.stdout.split("short test summary info")[0]
    assert "qxsdk replay" in reports and reports.count(diverged) == 2
    assert [kind for kind, _ in results["test_not_played_to_the_end"]] == ["error"]
    assert ('replay: 6 recorded calls and events not played, the next: qxi_get_dividends("a", 1, OUT, OUT) '
            "(recorded call 2 of 5)") in results["test_not_played_to_the_end"][0][1]
    assert results["test_allowed_to_stop_short"] == results["test_reset_after_a_divergence_on_purpose"] == []


def test_a_recording_with_dropped_entries_is_refused(tmp_path):
    record = str(tmp_path / "dropped.qxtap")
    session("sdk.push_response('qxi_get_dividends', b'x' * 100000)\nc_sdk.py_qxi_get_dividends(b'big')\n", record,
            options={"buffer_bytes": 4096})  # the call's entry is larger than the buffer
    with pytest.raises(ValueError, match=r"dropped while it was recorded \(its buffer was full: calls 1, events 0\)"):
        qxsdk_standin.activate().replay(record)
