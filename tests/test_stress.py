"""The module under load and in unusual processes: several threads calling bindings
while another runs a session, a forked child, a second interpreter, and a flood of
events to a receiver that always raises."""

import json
import os
import random
import sys
import threading
import time

import pytest
from conftest import run_child

import c_sdk

REQUEST_BINDINGS = ["py_qxi_get_dividends", "py_qxi_get_orders", "py_qxi_stk_get_dividend", "py_qxi_last_tick",
                    "py_qxi_get_trading_dates", "py_qxi_history_bars_pb"]


def library_names(bindings):
    """The library function behind each request binding, read from its default response."""
    return {name: json.loads(getattr(c_sdk, name)(b"")[1])["fn"] for name in bindings}


def calls_during_session(qxsdk, success=0, calls_per_thread=1500, threads=3):
    """Threads make request calls with random requests while another thread plays sessions
    with tick and timer events, `success` standing for success; returns every wrong
    response or event seen."""
    fns = library_names(REQUEST_BINDINGS)
    qxsdk.enable_journal(False)
    wrong, events, runs = [], [], []
    done, delivering = threading.Event(), threading.Event()

    def receiver(text, payload):
        events.append(text)
        delivering.set()
        try:
            json.loads(payload)
        except ValueError:
            wrong.append(("event", text, payload))

    c_sdk.py_qxi_set_data_callback(receiver)
    assert c_sdk.py_qxi_subscribe(b"SHSE.600000,SZSE.000001", b"tick", False) == 0
    c_sdk.py_qxi_set_timer(1000)

    def session():
        while not done.is_set() or len(runs) < 2:  # the calls start during the first run
            qxsdk.set_session(20, 1000)
            status = c_sdk.py_qxi_run()
            runs.append(status)
            if status != 0:
                wrong.append(("run", status))

    def caller(seed):
        rng = random.Random(seed)
        delivering.wait(10)
        for _ in range(calls_per_thread):
            name = rng.choice(REQUEST_BINDINGS)
            request = bytes(rng.randrange(256) for _ in range(rng.randrange(64)))
            result = getattr(c_sdk, name)(request)
            expected = (0, b'{"fn":"%s","req_len":%d}' % (fns[name].encode(), len(request)))
            if result != expected:
                wrong.append((name, request, result))

    c_sdk.CSDK_OPERATE_SUCCESS = success
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often, in the middle of calls
    try:
        runner = threading.Thread(target=session)
        runner.start()
        workers = [threading.Thread(target=caller, args=(seed,)) for seed in range(threads)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        done.set()
        runner.join()
    finally:
        sys.setswitchinterval(interval)
    assert len(runs) >= 2 and len(events) >= 100, (len(runs), len(events))
    return wrong


def test_threads_calling_bindings_during_a_session(qxsdk):
    wrong = calls_during_session(qxsdk)
    assert not wrong, f"{len(wrong)} wrong answers, the first: {wrong[:2]}"


class ZeroWithPythonEquality:
    """A success value whose comparison lets other threads run and calls the library."""

    def __eq__(self, other):
        time.sleep(0)
        c_sdk.py_qxi_get_stop_error_code()
        return other == 0

    def __ne__(self, other):
        return not self == other

    __hash__ = None


def test_threads_with_a_success_value_that_runs_python(qxsdk):
    wrong = calls_during_session(qxsdk, ZeroWithPythonEquality(), calls_per_thread=500)
    assert not wrong, f"{len(wrong)} wrong answers, the first: {wrong[:2]}"


# ---------------------------------------------------------------- processes


def test_bindings_events_and_records_work_in_a_forked_child():
    result = run_child(
        """
        received = []
        c_sdk.py_qxi_set_data_callback(lambda text, payload: received.append((text, payload)))
        pid = os.fork()
        if pid == 0:
            try:
                assert c_sdk.py_qxi_get_dividends(b"child") == (0, b'{"fn":"qxi_get_dividends","req_len":5}')
                sdk.push_event(b"tick", b'{"n":1}')
                assert c_sdk.qxi_poll() == 0
                assert received == [("tick", b'{"n":1}')], received
                record = c_sdk.TickLikeDict2({"price": 1.5})
                record["symbol"] = "SHSE.600000"
                assert (record.price, record.symbol, record.data) == (1.5, "SHSE.600000", {"price": 1.5, "symbol": "SHSE.600000"})
                assert [c.fn for c in sdk.journal()][-2:] == ["qxi_get_dividends", "qxi_poll"]
            except BaseException:
                import traceback
                traceback.print_exc()
                os._exit(3)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        print("child", os.waitstatus_to_exitcode(status))
        print("parent", c_sdk.py_qxi_get_dividends(b"parent"), received)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "child 0",
        "parent (0, b'{\"fn\":\"qxi_get_dividends\",\"req_len\":6}') []",
    ], result.stderr


def second_interpreter_runner():
    """(name, code creating and running a second interpreter) for this interpreter."""
    if sys.version_info >= (3, 13):
        name = "_interpreters"
        create = "interpreters.create(interpreters.new_config({config!r}))"
    else:
        name = "_xxsubinterpreters"
        create = "interpreters.create(isolated={config!r} == 'isolated')"
    try:
        __import__(name)
    except ImportError:
        pytest.skip(f"{name} is not available on this interpreter")
    return name, create


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_import_in_a_second_interpreter_fails_cleanly(config, tmp_path):
    name, create = second_interpreter_runner()
    outcome = tmp_path / "outcome.txt"
    result = run_child(
        f"""
        import {name} as interpreters
        code = (
            "import sys\\n"
            f"sys.path[:0] = {{sys.path!r}}\\n"
            "try:\\n"
            "    import c_sdk\\n"
            "    outcome = 'imported'\\n"
            "except BaseException as exc:\\n"
            "    outcome = type(exc).__name__ + ': ' + str(exc)\\n"
            "open({str(outcome)!r}, 'w').write(outcome)\\n"
        )
        interp = {create.format(config=config)}
        interpreters.run_string(interp, code)
        interpreters.destroy(interp)
        print(c_sdk.py_qxi_get_dividends(b"after"))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "(0, b'{\"fn\":\"qxi_get_dividends\",\"req_len\":5}')\n"
    if config == "isolated" and sys.version_info >= (3, 12):
        # The import system refuses a module that does not declare isolation support.
        assert outcome.read_text() == "ImportError: module c_sdk does not support loading in subinterpreters"
    else:  # the module's own check refuses a second interpreter
        assert outcome.read_text() == (
            "ImportError: Interpreter change detected - this module can only be loaded into one "
            "interpreter per process."
        )


def test_receiver_raising_on_every_event_leaves_memory_flat():
    result = run_child(
        """
        import gc, json
        null = open(os.devnull, "w")
        os.dup2(null.fileno(), 2)  # the module's own reports, written to fd 2

        def receiver(text, payload):
            raise ValueError("receiver fails")

        def flood(count):
            sdk.flood_events(b"tick", b'{"price":1.5}', count)
            while sdk.pending_events():
                c_sdk.qxi_poll()

        def rss():
            with open("/proc/self/statm") as fh:
                return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        sdk.enable_journal(False)
        c_sdk.py_qxi_set_data_callback(receiver)
        measures = {}
        # The interpreter's own hooks format every report (slow, so fewer events), then
        # light hooks that still receive every exception and traceback (the full count).
        sys.stderr = null
        for label, hooks, count in [
            ("default", (sys.__excepthook__, sys.__unraisablehook__), 3000),
            ("light", (lambda t, v, tb: null.write(str(v)), lambda u: null.write(str(u.exc_value))), 200000),
        ]:
            sys.excepthook, sys.unraisablehook = hooks
            flood(count // 10)  # warm-up round
            gc.collect()
            blocks, memory, delivered = sys.getallocatedblocks(), rss(), sdk.delivered_events()
            flood(count)
            gc.collect()
            measures[label] = [sys.getallocatedblocks() - blocks, rss() - memory, sdk.delivered_events() - delivered]
        print(json.dumps(measures))
        """
    )
    assert result.returncode == 0, result.stderr
    measures = json.loads(result.stdout)
    sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")  # its quarantine holds freed memory
    for label, count in [("default", 3000), ("light", 200000)]:
        blocks, rss_growth, delivered = measures[label]
        assert delivered == count
        assert blocks < 200, (label, blocks)
        if not sanitized:
            assert rss_growth < 2 * 1024 * 1024, (label, rss_growth)
