"""The tap (qxsdk-tap): transparent forwarding, the recording, and reading it back.

This process already has the stand-in loaded as libqxsdk.so, so every session through
the tap runs in a child interpreter, with the tap activated (or preloaded) in front of
a target library, and c_sdk imported after it.
"""

import ctypes
import ctypes.util
import importlib.util
import json
import os
import shutil
import signal
import stat
import struct
import subprocess
import sys
import textwrap
import time

import pytest
import qxsdk_standin

from conftest import ROOT

try:
    import qxsdk_tap
except ImportError:
    if os.environ.get("CI"):
        raise  # CI installs ./tap: these tests never skip there
    pytest.skip("qxsdk_tap is not installed (pip install ./tap)", allow_module_level=True)

from qxsdk_tap import CALLBACK, Call, Event, Gap, Recording, Redacted, Request, Response, StoredText

TESTS = os.path.dirname(os.path.abspath(__file__))
STANDIN = qxsdk_standin.library_path()

ALONE = """
import ctypes, os, sys
sys.path[:0] = [{standin_pkg!r}, {tests!r}]
import qxsdk_standin
sdk = qxsdk_standin.activate()
import c_sdk
"""

# The tap in front of TARGET; `sdk` controls the target when it is the stand-in.
THROUGH_TAP = """
import ctypes, os, sys
sys.path[:0] = [{standin_pkg!r}, {tests!r}]
import qxsdk_standin, qxsdk_tap
tap = qxsdk_tap.activate(target={target!r}, record={record!r}, **{options!r})
sdk = qxsdk_standin.StandIn(ctypes.CDLL({target!r})) if {target!r} == {standin!r} else None
import c_sdk
"""


def child(code, mode="record", record=None, target=STANDIN, options=None, env=None, timeout=120):
    """Runs `code` in a new interpreter with the stand-in alone (mode "alone") or the tap
    in front of `target`, forwarding ("forward") or recording into `record` ("record")."""
    fields = dict(standin_pkg=os.path.join(ROOT, "standin"), tests=TESTS, target=target, standin=STANDIN,
                  record=record if mode == "record" else None, options=options or {})
    preamble = (ALONE if mode == "alone" else THROUGH_TAP).format(**fields)
    return subprocess.run([sys.executable, "-c", preamble + textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env)


def ok(done):
    assert done.returncode == 0, done.stdout + done.stderr
    return done


def load_file(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# ---- The generated forwarding functions


def test_generated_forwarding_functions_match_the_header():
    gen_tap = load_file("gen_tap", os.path.join(ROOT, "tools", "gen_tap.py"))
    with open(gen_tap.OUTPUT) as f:
        committed = f.read()
    assert committed == gen_tap.generate(), "tap/native/forward.cpp is stale: run python3 tools/gen_tap.py"


# ---- What the caller sees through the tap

# For sessions whose output is compared between runs: show() prints what a call returned
# or raised; receiver() keeps each event and calls the library from the "nested" one.
SESSION_HELPERS = """
def show(label, thunk):
    try:
        value = thunk()
    except Exception as error:
        value = "%s: %s" % (type(error).__name__, error)
    print(label, repr(value), flush=True)

received = []
def receiver(text, payload):
    received.append((text, payload))
    if text == "nested":
        received.append(c_sdk.py_qxi_get_dividends(b"from an event"))
"""

CONTRACT_CASES = SESSION_HELPERS + """
show("request", lambda: c_sdk.py_qxi_get_dividends(b'{"a":1}'))
sdk.push_response("qxi_get_dividends", None, 5)
show("null response, positive length", lambda: c_sdk.py_qxi_get_dividends(b"x"))
sdk.push_response("qxi_get_dividends", b"abc", -3)
show("negative length", lambda: c_sdk.py_qxi_get_dividends(b"y"))
sdk.push_status("qxi_get_dividends", 7)
show("failure status", lambda: c_sdk.py_qxi_get_dividends(b"z"))
sdk.push_text("qxi_strerror", None)
show("null text, direct", lambda: c_sdk.qxi_strerror(3))
sdk.push_text("qxi_strerror", None)
show("null text, binding", lambda: c_sdk.py_qxi_strerror(3))
show("text", lambda: c_sdk.py_qxi_strerror(1003))
sdk.push_text("qxi_get_serv_addr", None)
show("null stored text", lambda: c_sdk.py_qxi_get_serv_addr("md"))
show("stored text", lambda: c_sdk.py_qxi_get_serv_addr("md"))
show("clock", lambda: (c_sdk.qxi_now(), c_sdk.qxi_now_plus()))

c_sdk.py_qxi_set_data_callback(receiver)
sdk.push_event(b"plain", b'{"k":1}')
sdk.push_event(None, b"null text")
sdk.push_event(b"null payload", None, 4)
sdk.push_event(b"negative", b"abc", -2)
sdk.push_event(b"nested", b"{}")
show("poll", lambda: c_sdk.qxi_poll())
sdk.fire_from_thread(b"from a library thread", b"{}")
print("received", received, flush=True)
"""


@pytest.fixture(scope="module")
def contract_runs(tmp_path_factory):
    """The contract cases with the stand-in alone, through the tap forwarding, and
    through the tap recording (into a file that existed with wider permissions)."""
    record = str(tmp_path_factory.mktemp("contract") / "contract.qxtap")
    with open(record, "w") as f:
        f.write("old contents")
    os.chmod(record, 0o644)
    runs = {mode: ok(child(CONTRACT_CASES, mode=mode, record=record)) for mode in ("alone", "forward", "record")}
    return runs, record


def module_report(text):
    return [line for line in text.splitlines() if not line.startswith("qxsdk tap:")]


@pytest.mark.parametrize("mode", ["forward", "record"])
def test_the_caller_sees_what_the_target_produced(contract_runs, mode):
    runs, _ = contract_runs
    alone, tapped = runs["alone"], runs[mode]
    assert tapped.stdout == alone.stdout
    # The module's own reports (the event from a library thread, the null text) too.
    assert module_report(tapped.stderr) == module_report(alone.stderr)
    assert "received [('plain', b'{\"k\":1}')" in alone.stdout  # the cases did run


def find(entries, predicate):
    found = [e for e in entries if predicate(e)]
    assert found, "no such entry"
    return found[0]


def calls_of(entries, fn):
    return [e for e in entries if isinstance(e, Call) and e.fn == fn]


# (what is recorded, check on the list of entries)
RECORDED = {
    "a request and its response whole": lambda es: calls_of(es, "qxi_get_dividends")[0].args
    == (Request(b'{"a":1}', 7), Response(b'{"fn":"qxi_get_dividends","req_len":7}', 38)),
    "a null response with a positive length, unread": lambda es: calls_of(es, "qxi_get_dividends")[1].args[1]
    == Response(None, 5),
    "a negative length as stored": lambda es: calls_of(es, "qxi_get_dividends")[2].args[1] == Response(b"", -3),
    "a failure status with its response": lambda es: calls_of(es, "qxi_get_dividends")[3].result == 7
    and calls_of(es, "qxi_get_dividends")[3].response.data.startswith(b'{"fn"'),
    "a null returned text": lambda es: [c.result for c in calls_of(es, "qxi_strerror")]
    == [None, None, b"malformed request"],
    "a null and a real stored text": lambda es: calls_of(es, "qxi_get_serv_addr")[0].args[1] == StoredText(None)
    and calls_of(es, "qxi_get_serv_addr")[1].args[1].data.startswith(b"tcp://127.0.0.1:"),
    "the clock as answered": lambda es: calls_of(es, "qxi_now")[0].result == 1767225600000
    and calls_of(es, "qxi_now_plus")[0].result == 1767225600.0,
    "the callback argument": lambda es: calls_of(es, "qxi_set_event_callback_pb")[0].args == (CALLBACK,),
    "events as delivered, inside the poll": lambda es: [
        (e.text, e.payload, e.length, e.inside_fn) for e in es if isinstance(e, Event) and e.inside
    ] == [
        (b"plain", b'{"k":1}', 7, "qxi_poll"),
        (None, b"null text", 9, "qxi_poll"),
        (b"null payload", None, 4, "qxi_poll"),
        (b"negative", b"", -2, "qxi_poll"),
        (b"nested", b"{}", 2, "qxi_poll"),
    ] and all(e.inside == calls_of(es, "qxi_poll")[0].seq for e in es if isinstance(e, Event) and e.inside),
    "a call made from inside an event": lambda es: calls_of(es, "qxi_get_dividends")[4].parent
    == find(es, lambda e: isinstance(e, Event) and e.text == b"nested").seq
    and calls_of(es, "qxi_get_dividends")[4].args[0] == Request(b"from an event", 13),
    "an event from a library thread": lambda es: find(
        es, lambda e: isinstance(e, Event) and e.text == b"from a library thread"
    ).inside == 0
    and find(es, lambda e: isinstance(e, Event) and e.text == b"from a library thread").thread
    != calls_of(es, "qxi_poll")[0].thread,
    "start order and durations": lambda es: [c.seq for c in es if isinstance(c, Call) and c.parent == 0]
    == sorted(c.seq for c in es if isinstance(c, Call) and c.parent == 0)
    and all(c.duration_ns >= 0 for c in es if isinstance(c, Call)),
}


@pytest.mark.parametrize("case", sorted(RECORDED))
def test_the_recording_holds_what_the_target_produced(contract_runs, case):
    _, record = contract_runs
    recording = Recording(record)
    entries = recording.entries()
    assert RECORDED[case](entries)
    assert recording.trailer is not None and not recording.truncated
    assert stat.S_IMODE(os.stat(record).st_mode) == 0o600


# ---- Secrets


SECRETS = {
    "qxi_set_token.token": ("c_sdk.py_qxi_set_token('tok-secret-1')", b"tok-secret-1"),
    "qxi_set_apitoken.token": ("c_sdk.py_qxi_set_apitoken('api-secret-2')", b"api-secret-2"),
    "qxi_set_ctp_md_info.password": ("c_sdk.py_qxi_set_ctp_md_info('tcp://md', 'user', 'md-secret-3')",
                                     b"md-secret-3"),
    "qxi_set_bus_info.password": ("c_sdk.py_qxi_set_bus_info('tcp://bus', 'user', 'bus-secret-4')",
                                  b"bus-secret-4"),
    "qxi_set_bus_secure.tlskey": ("c_sdk.py_qxi_set_bus_secure(1, 'ca.pem', 'cert.pem', 'key-secret-5', False)",
                                  b"key-secret-5"),
    # The stand-in derives the encrypted token from the token set last (tok-secret-1).
    "qxi_get_encrypted_token.result": ("c_sdk.py_qxi_get_encrypted_token()", b"enc-"),
}


@pytest.fixture(scope="module")
def secret_runs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("secrets")
    code = "\n".join(call for call, _ in SECRETS.values()) + "\nprint(tap.secrets)\n"
    runs = {}
    for redact in (True, False):
        record = str(folder / ("redacted.qxtap" if redact else "clear.qxtap"))
        done = ok(child(code, record=record, options={"redact": redact}))
        runs[redact] = (record, done.stdout)
    return runs


@pytest.mark.parametrize("redact", [True, False], ids=["redacted", "in clear"])
@pytest.mark.parametrize("secret", sorted(SECRETS))
def test_secrets_reach_the_file_only_when_asked(secret_runs, secret, redact):
    record, printed = secret_runs[redact]
    assert sorted(eval(printed)) == sorted(SECRETS)  # the tap's one list is this one
    fn, item = secret.split(".")
    call = calls_of(Recording(record).entries(), fn)[0]
    value = call.result if item == "result" else call.arg(item)
    with open(record, "rb") as f:
        raw = f.read()
    clear = SECRETS[secret][1]
    if redact:
        assert value == Redacted(False)
        assert clear not in raw
    else:
        assert isinstance(value, bytes) and value.startswith(clear)
        assert clear in raw
    assert Recording(record).header.info["redacted"] == (sorted(SECRETS, key=list(SECRETS).index) if redact else [])


# ---- A target whose exported functions call each other


@pytest.fixture(scope="module")
def self_calling_target(tmp_path_factory):
    """A do-nothing library whose qxi_get_cash_pb answers with qxi_get_positions_pb's
    response (a tail call), whose qxi_poll asks qxi_now, and whose qxi_stop asks qxi_now
    from a thread of its own, all through their exported names."""
    nullsdk = load_file("nullsdk_build", os.path.join(ROOT, "bench", "nullsdk", "build.py"))
    bodies = {
        "qxi_get_positions_pb": [
            "    (void)req; (void)req_len;",
            '    static char positions[] = "positions";',
            "    *res = positions; *res_len = 9;",
            "    return 0;",
        ],
        "qxi_get_cash_pb": ["    return qxi_get_positions_pb(req, req_len, res, res_len);"],
        "qxi_now": ["    return 1234;"],
        "qxi_poll": [
            "    static char payload[32];",
            "    int n = __builtin_snprintf(payload, sizeof payload, \"%lld\", qxi_now());",
            '    if (event_callback) event_callback("now", payload, n);',
            "    return 0;",
        ],
        "qxi_stop": [
            "    pthread_t thread;",
            "    long long now = 0;",
            "    pthread_create(&thread, nullptr, ask_the_clock, &now);",
            "    pthread_join(thread, nullptr);",
            "    return static_cast<int>(now - 1234);",
        ],
    }
    extra = """
#include <pthread.h>
static void* ask_the_clock(void* out) {
    *static_cast<long long*>(out) = qxi_now();
    return nullptr;
}
"""
    library = str(tmp_path_factory.mktemp("selfcall") / "libqxsdk.so")
    return nullsdk.compile_library(nullsdk.generate(bodies=bodies, extra=extra)[0], library)


SELF_CALLS = """
got = []
c_sdk.py_qxi_set_data_callback(lambda text, payload: got.append((text, payload)))
print(c_sdk.py_qxi_get_cash(b"{}"), c_sdk.qxi_poll(), got, c_sdk.py_qxi_stop())
"""


@pytest.mark.parametrize("route", ["activate", "LD_PRELOAD"])
def test_the_targets_own_calls_reach_it_unrecorded(self_calling_target, tmp_path, route):
    record = str(tmp_path / "self.qxtap")
    if route == "activate":
        done = ok(child(SELF_CALLS, record=record, target=self_calling_target))
    else:
        env = dict(os.environ, QXSDK_TAP_TARGET=self_calling_target, QXSDK_TAP_RECORD=record,
                   PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "standin")] + sys.path))
        env["LD_PRELOAD"] = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), qxsdk_tap.library_path()]))
        done = subprocess.run([sys.executable, "-c", "import c_sdk\n" + SELF_CALLS], capture_output=True,
                              text=True, timeout=120, env=env)
        ok(done)
    assert done.stdout.strip() == "(0, b'positions') 0 [('now', b'1234')] 0"
    entries = Recording(record).entries()
    assert [e.fn for e in entries if isinstance(e, Call)] == [
        "qxi_set_event_callback_pb", "qxi_get_cash_pb", "qxi_poll", "qxi_stop"]
    assert calls_of(entries, "qxi_get_cash_pb")[0].response == Response(b"positions", 9)
    assert [(e.text, e.payload, e.inside_fn) for e in entries if isinstance(e, Event)] == [
        (b"now", b"1234", "qxi_poll")]


# ---- Starting the tap


def fresh_tap(tmp_path):
    """A second, separate instance of the tap library (a copy of its file), not in the
    global scope: what activate() refuses to do in a process that has a libqxsdk.so."""
    copy = str(tmp_path / "libqxsdk-copy.so")
    shutil.copy(qxsdk_tap.library_path(), copy)
    return qxsdk_tap.Tap(ctypes.CDLL(copy, mode=os.RTLD_LOCAL))


@pytest.mark.parametrize("target, message", [
    ("/nonexistent/libqxsdk.so", "cannot load the target library"),
    (ctypes.util.find_library("m") or "libm.so.6", "lacks the function qxi_place_order_pb"),
    ("itself", "the target library is the tap itself"),
])
def test_a_target_that_cannot_serve_is_refused(tmp_path, target, message):
    tap = fresh_tap(tmp_path)
    with pytest.raises(RuntimeError, match=message):
        tap.start(tap.path if target == "itself" else target, str(tmp_path / "r.qxtap"))
    assert tap.target is None and not tap.recording


def test_activate_refuses_when_another_library_is_loaded():
    # This process imported c_sdk against the stand-in.
    with pytest.raises(RuntimeError, match="another libqxsdk.so is already loaded.*" + STANDIN):
        qxsdk_tap.activate(target=STANDIN)


# ---- The buffer, full


FLOOD = """
import threading
big = b"x" * 100000  # larger than the buffer
sdk.enable_journal(False)
sdk.push_response("qxi_get_dividends", big)
c_sdk.py_qxi_get_dividends(b"big")
def work(k):
    for i in range(2000):
        c_sdk.py_qxi_get_dividends(b"t%d-%d" % (k, i))
threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
for t in threads: t.start()
for t in threads: t.join()
c_sdk.py_qxi_get_dividends(b"last")
tap.finish()
print(tuple(tap.stats()))
"""


@pytest.mark.parametrize("on_full", ["drop", "wait"])
def test_a_full_buffer_drops_and_counts_or_waits(tmp_path, on_full):
    record = str(tmp_path / "full.qxtap")
    done = ok(child(FLOOD, record=record, options={"on_full": on_full, "buffer_bytes": 4096}))
    calls, events, dropped_calls, dropped_events, written, _ = eval(done.stdout)
    assert calls + dropped_calls == 8002 and events == dropped_events == 0
    assert written == os.path.getsize(record)
    recording = Recording(record)
    entries = recording.entries()
    recorded = [e for e in entries if isinstance(e, Call)]
    gaps = [e for e in entries if isinstance(e, Gap)]
    assert len(recorded) == calls and sum(g.dropped_calls for g in gaps) == dropped_calls
    assert recording.trailer.info["dropped_calls"] == dropped_calls and not recording.truncated
    # Every recorded request is whole and each thread's calls are in its order.
    for k in range(4):
        mine = [int(c.args[0].data.split(b"-")[1]) for c in recorded if c.args[0].data.startswith(b"t%d-" % k)]
        assert mine == sorted(mine)
    if on_full == "wait":
        assert dropped_calls == 0 and not gaps
        assert recorded[0].response == Response(b"x" * 100000, 100000)
        assert recorded[-1].args[0] == Request(b"last", 4)
    else:
        assert dropped_calls >= 1 and gaps  # the big response at least
        assert "were not recorded" in done.stderr
        assert all(c.args[0].data != b"big" for c in recorded)


# ---- A recording process killed


KEEPS_CALLING = """
print("started", flush=True)
i = 0
while True:
    c_sdk.py_qxi_get_dividends(b"call %d" % i)
    i += 1
"""


def test_a_killed_recording_reads_up_to_its_last_complete_entry(tmp_path):
    record = str(tmp_path / "killed.qxtap")
    fields = dict(standin_pkg=os.path.join(ROOT, "standin"), tests=TESTS, target=STANDIN, standin=STANDIN,
                  record=record, options={"buffer_bytes": 1 << 16, "on_full": "wait"})
    proc = subprocess.Popen([sys.executable, "-c", THROUGH_TAP.format(**fields) + KEEPS_CALLING],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert proc.stdout.readline() == b"started\n"
        deadline = time.monotonic() + 60
        while os.path.getsize(record) < 200000 and time.monotonic() < deadline:
            time.sleep(0.01)
    finally:
        proc.send_signal(signal.SIGKILL)
        proc.communicate()
    with open(record, "rb") as f:
        raw = f.read()
    recording = Recording(record)
    calls = recording.calls()
    assert len(calls) > 1000 and recording.trailer is None
    assert [c.args[0].data for c in calls] == [b"call %d" % i for i in range(len(calls))]
    # Cut inside a length or inside a body, it still reads its complete prefix. The cuts are
    # placed by the frames (8-byte length, then the body) so that none falls on a boundary.
    starts = [16]
    while starts[-1] + 8 <= len(raw) and starts[-1] + 8 + struct.unpack_from("<Q", raw, starts[-1])[0] <= len(raw):
        starts.append(starts[-1] + 8 + struct.unpack_from("<Q", raw, starts[-1])[0])
    middle = starts[len(starts) // 2]
    for cut in (middle + 3, middle + 9, starts[-2] + 9):
        path = str(tmp_path / ("cut%d.qxtap" % cut))
        with open(path, "wb") as f:
            f.write(raw[:cut])
        prefix = Recording(path)
        cut_calls = prefix.calls()
        assert prefix.truncated and [c.args for c in cut_calls] == [c.args for c in calls[: len(cut_calls)]]


# ---- Summary


SUMMARISED = """
sdk.push_status("qxi_get_dividends", 1003)
sdk.push_status("qxi_get_dividends", 1003)
sdk.push_status("qxi_get_dividends", 5)
for i in range(10):
    c_sdk.py_qxi_get_dividends(b"x")
c_sdk.py_qxi_user_timer(1000, 0)
c_sdk.qxi_now()
c_sdk.py_qxi_set_data_callback(lambda text, payload: None)
c_sdk.py_qxi_subscribe("SHSE.600000", "tick", False)
sdk.set_session(5, 1000)
c_sdk.py_qxi_run()
"""


@pytest.mark.parametrize("form", ["json", "text"])
def test_summary_counts_calls_failures_latency_and_events(tmp_path, form):
    record = str(tmp_path / "summary.qxtap")
    ok(child(SUMMARISED, record=record))
    args = [sys.executable, "-m", "qxsdk_tap", "summary", record] + (["--json"] if form == "json" else [])
    done = ok(subprocess.run(args, capture_output=True, text=True, timeout=60))
    durations = sorted(c.duration_ns for c in Recording(record).calls() if c.fn == "qxi_get_dividends")
    if form == "text":
        row = [line for line in done.stdout.splitlines() if line.startswith("qxi_get_dividends ")][0]
        assert row.split()[1] == "10" and row.endswith("  5 x1, 1003 x2")
        assert [line.split()[:2] for line in done.stdout.splitlines() if line.startswith("tick ")] == [["tick", "5"]]
        return
    summary = json.loads(done.stdout)
    row = summary["functions"]["qxi_get_dividends"]
    assert row["calls"] == 10 and row["failures"] == {"1003": 2, "5": 1}
    assert row["p50_ns"] == durations[4] and row["p99_ns"] == row["max_ns"] == durations[-1]
    # Ids and clock values are results, not failures.
    assert summary["functions"]["qxi_user_timer"]["failures"] == {}
    assert summary["functions"]["qxi_now"]["failures"] == {}
    assert summary["events"]["tick"]["count"] == 5 and summary["events"]["tick"]["per_second"] > 0
    assert summary["complete"] and not summary["truncated"]


# ---- The example, recorded


def test_the_example_gives_the_same_results_recorded_through_the_tap(tmp_path):
    example = os.path.join(ROOT, "examples", "strategy.py")
    record = str(tmp_path / "strategy.qxtap")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" or "san" in v}
    alone = ok(subprocess.run([sys.executable, example], capture_output=True, text=True, env=env, timeout=300))
    tapped = ok(subprocess.run([sys.executable, example, "--record", record], capture_output=True, text=True,
                               env=env, timeout=300))
    results = alone.stdout.splitlines()[1:]
    assert results[0] == "run finished with status 0 (ok)"
    assert [line for line in tapped.stdout.splitlines()[1:] if not line.startswith("Recording ")] == results
    entries = Recording(record).entries()
    run = calls_of(entries, "qxi_run")[0]
    events = [e for e in entries if isinstance(e, Event)]
    assert sum(e.text == b"tick" for e in events) == 100 and all(e.inside == run.seq for e in events)
    assert calls_of(entries, "qxi_place_order_pb")[0].parent in {e.seq for e in events}


FORKS = """
c_sdk.py_qxi_get_dividends(b"before")
pid = os.fork()
if pid == 0:
    for i in range(1000):
        c_sdk.py_qxi_get_dividends(b"in the child")
    sys.exit(0 if c_sdk.py_qxi_get_dividends(b"child")[0] == 0 else 1)  # exits as a process does: at_unload runs
_, status = os.waitpid(pid, 0)
c_sdk.py_qxi_get_dividends(b"after")
print(status)
"""


def test_a_forked_child_forwards_without_touching_the_recording(tmp_path):
    record = str(tmp_path / "fork.qxtap")
    done = ok(child(FORKS, record=record))
    assert done.stdout.strip() == "0"
    entries = Recording(record).entries()
    assert [type(e).__name__ for e in entries] == ["Call", "Call", "Trailer"]
    assert [c.args[0].data for c in entries[:2]] == [b"before", b"after"]
    assert entries[2].info["calls"] == 2
