"""What the tap (qxsdk-tap) adds to a call and to an event, paired in one process.

    python3 bench/bench_tap.py [--rounds R] [--calls N]

One process holds the do-nothing library (bench/nullsdk) as its libqxsdk.so, with the
module imported against it, and two more instances of the tap library (copies of its
file, loaded beside it) both pointed at that same library: one only forwarding, one
recording into a file. A small C loop (built on demand) calls the library's
qxi_get_dividends with a 64-byte request, the library answering with a 64-byte
response, N times directly, N times through the forwarding tap and N times through
the recording one; and has qxi_poll deliver N events to a C receiver that does
nothing, directly and through the recording tap. Each round also times the module's
own request/response call (c_sdk.py_qxi_get_dividends, same sizes). The sides alternate
within each round, the buffer is emptied between rounds (not timed), and every figure
is the median over rounds of the per-round difference or ratio. Rounds are short and
many, so that a round in which another process took the processor is an outlier the
median leaves aside:

- forwarding: ns the forwarding tap adds to a call, and (module call + that) / module
  call, the cost of the tap on a request/response call through the module (goal <= 1.05);
- recording: ns the recording tap adds over the forwarding one to that call, and ns it
  adds to an event (goals <= 300 each).

No test asserts a time.
"""

import argparse
import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
OUT_DIR = os.path.join(ROOT, "build", "tapbench")

LOOPS = r"""
#include <time.h>

typedef int (*request_fn)(const char*, int, char**, int*);
typedef int (*poll_fn)(void);
typedef void (*event_fn)(const char*, const char*, int);

static long long now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void ignore_event(const char* text, const char* payload, int length) {
    (void)text; (void)payload; (void)length;
}

/* ns for n calls of fn(req, len, &res, &res_len). */
long long time_requests(void* fn, const char* req, int len, long long n) {
    request_fn call = (request_fn)fn;
    char* res;
    int res_len;
    long long start = now_ns();
    for (long long i = 0; i < n; ++i) call(req, len, &res, &res_len);
    return now_ns() - start;
}

/* ns for one call of poll, which delivers the events queued before. */
long long time_poll(void* fn) {
    long long start = now_ns();
    ((poll_fn)fn)();
    return now_ns() - start;
}
"""


def build_loops():
    os.makedirs(OUT_DIR, exist_ok=True)
    library = os.path.join(OUT_DIR, "libtaploops.so")
    if not os.path.exists(library) or os.path.getmtime(library) < os.path.getmtime(__file__):
        source = os.path.join(OUT_DIR, "taploops.c")
        with open(source, "w") as f:
            f.write(LOOPS)
        subprocess.check_call(["gcc", "-O2", "-shared", "-fPIC", "-o", library, source])
    return ctypes.CDLL(library)


def load_file(name, path):
    import importlib.util

    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def address(library, name):
    return ctypes.cast(getattr(library, name), ctypes.c_void_p).value


def tap_instance(qxsdk_tap, folder, name, target, record):
    """A separate instance of the tap library (its own copy of the file), started."""
    copy = os.path.join(folder, name)
    shutil.copy(qxsdk_tap.library_path(), copy)
    tap = qxsdk_tap.Tap(ctypes.CDLL(copy, mode=os.RTLD_LOCAL))
    tap.start(target, record)
    return tap


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=201)
    parser.add_argument("--calls", type=int, default=2000, help="calls (and events) per side and round")
    args = parser.parse_args()

    try:
        import qxsdk_tap
    except ImportError:
        raise SystemExit("qxsdk_tap is not installed: pip install ./tap")
    floor = load_file("bench_floor", os.path.join(HERE, "bench_floor.py"))
    c_sdk, null = floor.load_module_over_null_library()
    null_path = floor.null_library_path()
    loops = build_loops()
    loops.time_requests.restype = ctypes.c_longlong
    loops.time_requests.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_longlong]
    loops.time_poll.restype = ctypes.c_longlong
    loops.time_poll.argtypes = [ctypes.c_void_p]
    null.nullsdk_set_response.argtypes = [ctypes.c_char_p, ctypes.c_int]
    null.nullsdk_queue_events.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_longlong]

    folder = tempfile.mkdtemp(prefix="tapbench")
    record = os.path.join(folder, "bench.qxtap")
    forwarding = tap_instance(qxsdk_tap, folder, "forwarding.so", null_path, None)
    recording = tap_instance(qxsdk_tap, folder, "recording.so", null_path, record)

    request = b"r" * 64
    response = ctypes.create_string_buffer(b"s" * 64, 64)
    null.nullsdk_set_response(response, 64)
    payload = b"p" * 64
    n = args.calls
    request_fns = {
        "direct": address(null, "qxi_get_dividends"),
        "forwarding": address(forwarding.lib, "qxi_get_dividends"),
        "recording": address(recording.lib, "qxi_get_dividends"),
    }
    receiver = address(loops, "ignore_event")
    set_callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)
    event_sides = {"direct": null, "recording": recording.lib}

    def time_request(side):
        return loops.time_requests(request_fns[side], request, len(request), n)

    def time_events(side):
        library = event_sides[side]
        set_callback(address(library, "qxi_set_event_callback_pb"))(receiver)
        null.nullsdk_queue_events(b"tick", payload, len(payload), n)
        return loops.time_poll(address(library, "qxi_poll"))

    def time_module():
        return timeit.timeit("call(request)", globals={"call": c_sdk.py_qxi_get_dividends, "request": request},
                             number=n) * 1e9

    rows = {"forward_ns": [], "forward_ratio": [], "record_ns": [], "event_ns": [], "module_ns": [], "direct_ns": []}
    for i in range(args.rounds):
        recording.flush()
        sides = ["direct", "forwarding", "recording"]
        if i % 2:
            sides.reverse()
        times = {side: time_request(side) for side in sides}
        module = time_module()
        recording.flush()
        event_times = {side: time_events(side) for side in (["direct", "recording"][:: -1 if i % 2 else 1])}
        forward_ns = (times["forwarding"] - times["direct"]) / n
        module_ns = module / n
        rows["direct_ns"].append(times["direct"] / n)
        rows["module_ns"].append(module_ns)
        rows["forward_ns"].append(forward_ns)
        rows["forward_ratio"].append((module_ns + forward_ns) / module_ns)
        rows["record_ns"].append((times["recording"] - times["forwarding"]) / n)
        rows["event_ns"].append((event_times["recording"] - event_times["direct"]) / n)
    recording.finish()
    stats = recording.stats()
    median = {key: statistics.median(values) for key, values in rows.items()}

    print("tap cost, %d rounds of %d calls / events, 64-byte request, response and payload, CPython %s"
          % (args.rounds, n, sys.version.split()[0]))
    print("  library call, direct:                          %7.1f ns" % median["direct_ns"])
    print("  module's request/response call:                %7.1f ns" % median["module_ns"])
    print("  added by the forwarding tap:                   %7.1f ns per call" % median["forward_ns"])
    print("  module call through the forwarding tap:        %7.3f x (goal <= 1.05)" % median["forward_ratio"])
    print("  added by recording, request/response call:     %7.1f ns (goal <= 300)" % median["record_ns"])
    print("  added by recording, event:                     %7.1f ns (goal <= 300)" % median["event_ns"])
    print("  recorded %d calls and %d events, dropped %d and %d, %.1f MB written"
          % (stats.calls, stats.events, stats.dropped_calls, stats.dropped_events, stats.bytes / 1e6))
    ok = (median["forward_ratio"] <= 1.05 and median["record_ns"] <= 300 and median["event_ns"] <= 300
          and stats.dropped_calls + stats.dropped_events == 0)
    print("summary: forwarding %.3f x, recording +%.0f ns per call, +%.0f ns per event: %s"
          % (median["forward_ratio"], median["record_ns"], median["event_ns"], "within goals" if ok else "OVER GOALS"))
    shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
