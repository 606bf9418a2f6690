"""The main job, examples/strategy.py: it says it runs on the stand-in, and Ctrl-C stops it."""

import os
import subprocess
import sys
import textwrap

from conftest import ROOT

EXAMPLE = os.path.join(ROOT, "examples", "strategy.py")


def run(code):
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" or "san" in v}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, cwd=ROOT,
                          capture_output=True, text=True, timeout=300)


def test_example_announces_the_standin_first_and_succeeds():
    done = run(f"import runpy; runpy.run_path({EXAMPLE!r}, run_name='__main__')")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("Using the qxsdk stand-in library (a simulator, no market): ")
    assert lines[1] == "run finished with status 0 (ok)"


def test_sigint_stops_a_run_through_the_library():
    # A session far longer than the test, interrupted after it has started.
    done = run(f"""
        import os, signal, sys, threading
        sys.argv = [{EXAMPLE!r}]
        sys.path.insert(0, os.path.dirname({EXAMPLE!r}))
        import strategy, qxsdk_standin
        strategy.STOP_AFTER_TICKS = -1
        qxsdk_standin.activate().set_session(2**31 - 1, 1000)
        receiver = strategy.Strategy.on_event
        def on_event(self, text, payload):
            if text == "tick" and sum(self.ticks.values()) == 1000:
                os.kill(os.getpid(), signal.SIGINT)
            receiver(self, text, payload)
        strategy.Strategy.on_event = on_event
        strategy.main()
    """)
    assert done.returncode == 0, done.stderr
    assert "interrupted: stopping the run" in done.stdout
    assert "run finished with status 0 (ok)" in done.stdout
    assert "Traceback" not in done.stderr
    ticks = [int(line.split()[1]) for line in done.stdout.splitlines() if "ticks, last price" in line]
    assert 1000 <= sum(ticks) <= 1002  # the run ended right after the tick that was interrupted
