"""The test double itself: how it is activated, what its journal keeps, and that its
simulated answers are right (a host author trusts them)."""

import ctypes
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import c_sdk
import qxsdk_standin
from conftest import ROOT
from qxsdk_standin import OUT, Call, Truncated

DEFAULT_NOW = 1767225600000
PACKAGE_PARENT = os.path.dirname(os.path.dirname(qxsdk_standin.__file__))
MODULE_DIR = os.path.dirname(c_sdk.__file__)


def run_clean(code, *, env_extra=None, cwd=None, args=None):
    """Runs Python `code` (or `args`) in a fresh interpreter that can import the installed
    module and stand-in, with no library path or preload inherited from this process."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "LD_PRELOAD", "PYTHONPATH")}
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys([MODULE_DIR, PACKAGE_PARENT, os.path.join(ROOT, "standin")]))
    # A sanitizer build runs with its runtime preloaded; keep exactly that, nothing else.
    preload = [p for p in os.environ.get("LD_PRELOAD", "").split() if "san" in os.path.basename(p)]
    env.update(env_extra or {})
    if preload:
        env["LD_PRELOAD"] = " ".join(preload + env.get("LD_PRELOAD", "").split())
    command = args or [sys.executable, "-c", textwrap.dedent(code)]
    return subprocess.run(command, env=env, cwd=cwd, capture_output=True, text=True, timeout=300)


# ---------------------------------------------------------------- activation


def test_without_activation_the_module_does_not_load():
    done = run_clean("import c_sdk")
    assert done.returncode == 1
    assert "ImportError: libqxsdk.so: cannot open shared object file" in done.stderr


def test_activation_is_explicit_and_idempotent():
    done = run_clean("""
        import os, qxsdk_standin
        assert qxsdk_standin.loaded_library() is None      # importing loads nothing
        sdk = qxsdk_standin.activate()
        assert qxsdk_standin.activate() is sdk
        import c_sdk
        assert c_sdk.py_qxi_get_stop_error_code() == 0
        print(sdk.last().fn, os.path.samefile(qxsdk_standin.loaded_library(), qxsdk_standin.library_path()))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["qxi_get_stop_error_code", "True"]


def test_activation_after_another_library_loaded_names_it(tmp_path):
    # Any other file satisfying libqxsdk.so: here a copy of the stand-in in another folder.
    other = tmp_path / "libqxsdk.so"
    shutil.copy(qxsdk_standin.library_path(), other)
    done = run_clean("""
        import c_sdk, qxsdk_standin
        try:
            qxsdk_standin.activate()
        except RuntimeError as exc:
            print(exc)
    """, env_extra={"LD_LIBRARY_PATH": str(tmp_path)})
    assert done.returncode == 0, done.stderr
    assert str(other) in done.stdout and "already loaded" in done.stdout


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs a C++ compiler")
def test_a_library_missing_one_function_fails_at_import(tmp_path):
    # A do-nothing library generated from the header, less one of its functions.
    sys.path.insert(0, os.path.join(ROOT, "bench", "nullsdk"))
    try:
        import build as nullsdk
    finally:
        sys.path.pop(0)
    source, count = nullsdk.generate()
    assert count == 187
    source, removed = re.subn(r"\nint qxi_get_dividends\(.*?\n}\n", "\n", source, flags=re.S)
    assert removed == 1
    (tmp_path / "lacking.cpp").write_text(source)
    subprocess.run(["g++", "-std=c++20", "-shared", "-fPIC", "-I", os.path.dirname(nullsdk.HEADER),
                    "-Wl,-soname,libqxsdk.so", "-o", str(tmp_path / "libqxsdk.so"), str(tmp_path / "lacking.cpp")],
                   check=True)
    done = run_clean("import c_sdk", env_extra={"LD_LIBRARY_PATH": str(tmp_path)})
    assert done.returncode == 1
    assert "ImportError" in done.stderr and "undefined symbol: qxi_get_dividends" in done.stderr


def test_preloading_the_standin_file_keeps_working():
    done = run_clean("""
        import c_sdk, qxsdk_standin
        sdk = qxsdk_standin.activate()
        c_sdk.qxi_init()
        print(sdk.last())
    """, env_extra={"LD_PRELOAD": qxsdk_standin.library_path()})
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "Call(fn='qxi_init', args=())"


def test_installed_plugin_activates_nothing_by_itself(tmp_path):
    (tmp_path / "test_plain.py").write_text(textwrap.dedent("""
        import qxsdk_standin

        def test_nothing_loaded():
            assert qxsdk_standin.loaded_library() is None

        def test_fixture_activates(qxsdk):
            assert qxsdk.journal() == []
            assert qxsdk_standin.loaded_library() is not None
    """))
    done = run_clean(None, cwd=tmp_path, args=[sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                                "test_plain.py"])
    assert "2 passed" in done.stdout, done.stdout + done.stderr


def test_readme_quick_start_runs(tmp_path):
    with open(os.path.join(ROOT, "standin", "README.md")) as f:
        snippet = re.search(r"```python\n(.*?)```", f.read(), re.S).group(1)
    (tmp_path / "test_quick_start.py").write_text(snippet)
    done = run_clean(None, cwd=tmp_path, args=[sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                                "test_quick_start.py"])
    assert re.search(r"\b[1-9]\d* passed", done.stdout) and "failed" not in done.stdout, done.stdout + done.stderr


def test_fixture_is_the_activated_standin(qxsdk):
    assert qxsdk is qxsdk_standin.activate()
    assert os.path.samefile(qxsdk.path, qxsdk_standin.library_path())


# ---------------------------------------------------------------- journal


def test_journal_off_builds_nothing_and_reads_no_request(qxsdk):
    # A request in memory that cannot be read: touching it would end the process.
    done = run_clean("""
        import ctypes, mmap, qxsdk_standin
        sdk = qxsdk_standin.activate()
        libc = ctypes.CDLL(None)
        libc.mmap.restype = ctypes.c_void_p
        libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
        unreadable = libc.mmap(None, 1 << 16, 0, mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
        fn = sdk.lib.qxi_get_dividends
        fn.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p]
        res, n = ctypes.c_char_p(), ctypes.c_int()
        sdk.enable_journal(False)
        print(fn(unreadable, 1 << 16, ctypes.byref(res), ctypes.byref(n)), sdk.journal(), sdk.journal_bytes(),
              ctypes.string_at(res, n.value))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == """0 [] 0 b'{"fn":"qxi_get_dividends","req_len":65536}'"""


def test_journal_is_capped_by_bytes(qxsdk):
    request = b"r" * 1_000_000
    for i in range(40):  # 2 MB of text each: more than the default 64 MiB in all
        c_sdk.py_qxi_get_dividends(request + b"%02d" % i)
    kept = qxsdk.journal()
    assert 20 < len(kept) < 40 and qxsdk.journal_bytes() <= 64 << 20
    assert kept[-1] == Call("qxi_get_dividends", (request + b"39", 1_000_002, OUT, OUT))

    qxsdk.set_journal_caps(total_bytes=10_000)
    assert qxsdk.journal() == [] and qxsdk.journal_bytes() == 0  # every entry was larger
    qxsdk.set_journal_caps(entries=3, total_bytes=1 << 20)
    for i in range(5):
        c_sdk.py_qxi_get_dividends(b"%d" % i)
    assert [c.args[0] for c in qxsdk.journal()] == [b"2", b"3", b"4"]
    qxsdk.reset()
    for i in range(5):
        c_sdk.py_qxi_get_dividends(b"%d" % i)
    assert len(qxsdk.journal()) == 5  # reset restores the defaults
    with pytest.raises(ValueError):
        qxsdk.set_journal_caps(entries=-1)


def test_long_requests_are_recorded_truncated(qxsdk):
    qxsdk.set_journal_caps(request_bytes=4)
    c_sdk.py_qxi_get_dividends(b"0123456789")
    c_sdk.py_qxi_get_dividends(b"0123")
    first, second = qxsdk.journal()
    assert first.args == (Truncated(b"0123", 10), 10, OUT, OUT)
    assert first.args[0] != b"0123456789"
    assert second.args == (b"0123", 4, OUT, OUT)


@pytest.mark.parametrize("journal_on", [True, False])
def test_largest_request_needs_no_memory_beyond_itself(journal_on):
    done = run_clean(f"""
        import resource, qxsdk_standin
        sdk = qxsdk_standin.activate()
        import c_sdk
        sdk.enable_journal({journal_on})
        request = b"x" * (2**31 - 1)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        status, response = c_sdk.py_qxi_get_dividends(request)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(status, response, (after - before) // 1024, len(sdk.journal()))
    """)
    assert done.returncode == 0, done.stderr
    status, response, growth_mib, entries = done.stdout.split()
    assert (status, response) == ("0", """b'{"fn":"qxi_get_dividends","req_len":2147483647}'""")
    assert int(growth_mib) < 32
    assert entries == ("1" if journal_on else "0")


# ---------------------------------------------------------------- answers


def test_texts_each_get_their_own_allocation(qxsdk):
    strerror = qxsdk.lib.qxi_strerror
    strerror.restype, strerror.argtypes = ctypes.c_void_p, [ctypes.c_int]
    first = strerror(1001)
    second = strerror(1002)
    # The first text is freed only after the second exists, so they never share a block
    # (a host reading the first one now reads freed memory, which a sanitizer reports).
    assert first != second
    assert ctypes.string_at(second) == b"unknown bus topic"


@pytest.mark.skipif("libasan" not in os.environ.get("LD_PRELOAD", ""), reason="needs the sanitizer build")
def test_a_stale_text_read_is_reported_by_the_sanitizer():
    done = run_clean("""
        import ctypes, qxsdk_standin
        strerror = qxsdk_standin.activate().lib.qxi_strerror
        strerror.restype, strerror.argtypes = ctypes.c_void_p, [ctypes.c_int]
        first = strerror(1001)
        strerror(1002)
        ctypes.string_at(first)
    """)
    assert done.returncode != 0
    assert "heap-use-after-free" in done.stderr


def test_empty_orgcode_is_an_orgcode(qxsdk):
    assert c_sdk.py_qxi_get_orgcode() == b"org-standin"
    c_sdk.py_qxi_set_serv_addr_v5(b"tcp://a", b"", b"site")
    assert c_sdk.py_qxi_get_orgcode() == b""
    c_sdk.py_qxi_set_serv_addr_v5(b"tcp://a", b"org-1", b"site")
    assert c_sdk.py_qxi_get_orgcode() == b"org-1"


def test_reset_inside_a_run_ends_the_session(qxsdk):
    qxsdk.set_now(5_000)
    qxsdk.set_session(30, 1000)
    c_sdk.py_qxi_subscribe(b"A", b"tick", False)
    ticks = []

    def receiver(text, payload):
        ticks.append(text)
        if len(ticks) == 2:
            qxsdk.reset()

    c_sdk.py_qxi_set_data_callback(receiver)
    assert c_sdk.py_qxi_run() == 0
    assert ticks == ["tick", "tick"]
    assert c_sdk.qxi_now() == DEFAULT_NOW
    # The next run plays the default session (60 steps) from the reset clock.
    c_sdk.py_qxi_set_data_callback(receiver)
    c_sdk.py_qxi_subscribe(b"A", b"tick", False)
    assert c_sdk.py_qxi_run() == 0
    assert c_sdk.qxi_now() == DEFAULT_NOW + 60_000


def test_a_resubscribed_bar_starts_afresh(qxsdk):
    start = 1_000_000
    qxsdk.set_now(start)
    qxsdk.set_session(6, 1000)
    symbol = b"SHSE.600000"
    c_sdk.py_qxi_subscribe(symbol, b"tick", False)
    c_sdk.py_qxi_subscribe(symbol, b"2s", False)
    ticks, bars = {}, []

    def receiver(text, payload):
        data = json.loads(payload)
        if text == "bar":
            bars.append(data)
            return
        ticks[data["created_at"] - start] = data
        if data["created_at"] == start + 1000:
            c_sdk.py_qxi_unsubscribe(symbol, b"2s")
        elif data["created_at"] == start + 4000:
            c_sdk.py_qxi_subscribe(symbol, b"2s", False)

    c_sdk.py_qxi_set_data_callback(receiver)
    assert c_sdk.py_qxi_run() == 0
    assert [b["eob"] - start for b in bars] == [6000]
    bar = bars[0]
    assert bar["open"] == ticks[5000]["price"] and bar["close"] == ticks[6000]["price"]
    assert bar["volume"] == ticks[5000]["last_volume"] + ticks[6000]["last_volume"]
    assert bar["high"] == max(ticks[5000]["price"], ticks[6000]["price"])


def place(side, volume, price, symbol="A"):
    request = {"symbol": symbol, "volume": volume, "side": side}
    if price is not None:
        request["price"] = price
    return c_sdk.py_qxi_place_order(json.dumps(request))


def test_money_is_kept_in_whole_cents(qxsdk):
    assert place(1, 7, 10.01)[0] == 0
    assert place(2, 1, 10.01)[0] == 0
    assert c_sdk.py_qxi_get_positions(b"{}")[1] == b'[{"symbol":"A","volume":6,"vwap":10.0100}]'
    assert c_sdk.py_qxi_get_cash(b"{}")[1] == b'{"available":999939.94,"market_value":60.06,"nav":1000000.00}'

    qxsdk.reset()
    assert place(1, 100_000_000, 1234567.89, "B")[0] == 0
    assert c_sdk.py_qxi_get_cash(b"{}")[1] == (
        b'{"available":-123456788000000.00,"market_value":123456789000000.00,"nav":1000000.00}')


def test_vwap_is_the_average_of_the_opening_fills(qxsdk):
    place(1, 1, 10.00)
    place(1, 2, 10.01)
    assert json.loads(c_sdk.py_qxi_get_positions(b"{}")[1]) == [{"symbol": "A", "volume": 3, "vwap": 10.0067}]
    place(2, 5, 9.00)  # through zero: the short side opened at 9.00
    assert c_sdk.py_qxi_get_positions(b"{}")[1] == b'[{"symbol":"A","volume":-2,"vwap":9.0000}]'
    assert c_sdk.py_qxi_get_cash(b"{}")[1].startswith(b'{"available":1000014.98,"market_value":-18.00,')


@pytest.mark.parametrize("price", [0.001, 10.005, 0.009])
def test_prices_off_the_cent_grid_are_malformed(qxsdk, price):
    status, response = place(1, 1, price)
    assert status == 1003 and response is None
    assert json.loads(c_sdk.py_qxi_get_positions(b"{}")[1]) == []


def test_scripted_success_still_says_what_happened(qxsdk):
    assert c_sdk.py_qxi_get_ext_errormsg() == b""
    qxsdk.push_status("qxi_place_order_pb", 0)
    status, response = c_sdk.py_qxi_place_order(b"not json")
    assert status == 0
    assert json.loads(response) == {"fn": "qxi_place_order_pb", "req_len": 8, "error": 1003}
    assert b"malformed request" in c_sdk.py_qxi_get_ext_errormsg()

    qxsdk.push_status("qxi_send_msg_to_bus", 0)
    assert c_sdk.py_qxi_send_msg_to_bus(b"nowhere", b"hello") == 0
    assert c_sdk.py_qxi_get_ext_errormsg() == b'qxi_send_msg_to_bus: unknown bus topic "nowhere", nothing was sent'
    assert qxsdk.pending_events() == 0
