"""What the stand-in library costs per call, against a library that does nothing.

Run on demand (not in CI), after `pip install ./standin cffi`:
    python3 bench/bench_standin.py [--number N] [--rounds R]

Both libraries are loaded by full path into this one process (distinct files load
separately): the stand-in from the qxsdk_standin package, with its journal off and
nothing scripted, and the do-nothing library built from the header by
bench/nullsdk/build.py. The same call is made through each with cffi, in rounds that
alternate which library goes first; each round gives one ratio (stand-in time / do-nothing
time) and the median over the rounds is reported, with the median times per call.
"""

import argparse
import os
import statistics
import sys
import timeit

try:
    import cffi
except ImportError:  # every call here is made through cffi
    sys.exit("bench_standin.py needs cffi: pip install cffi")

import qxsdk_standin

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "nullsdk"))

import build as nullsdk  # noqa: E402

REQUEST = b'{"symbol":"SHSE.600000","start":"2026-01-05","end":"2026-12-31"}'
DECLARATIONS = """
    int qxi_get_dividends(const char* req, int req_len, char** res, int* res_len);
    int qxi_get_stop_error_code(void);
    long long qxi_now(void);
"""


def calls(ffi, library):
    """The calls to time, each a no-argument Python function over one library."""
    res = ffi.new("char**")
    res_len = ffi.new("int*")
    get_dividends, stop_code, now = library.qxi_get_dividends, library.qxi_get_stop_error_code, library.qxi_now
    size = len(REQUEST)
    return {
        "qxi_get_dividends(req, len, &res, &len)": lambda: get_dividends(REQUEST, size, res, res_len),
        "qxi_get_stop_error_code()": stop_code,
        "qxi_now()": now,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--number", type=int, default=200_000, help="calls per timing")
    parser.add_argument("--rounds", type=int, default=15)
    options = parser.parse_args()

    standin = qxsdk_standin.activate()
    standin.reset()
    standin.enable_journal(False)
    ffi = cffi.FFI()
    ffi.cdef(DECLARATIONS)
    stand_in_calls = calls(ffi, ffi.dlopen(qxsdk_standin.library_path()))
    null_calls = calls(ffi, ffi.dlopen(nullsdk.build()))

    print("CPython %s; stand-in journal off; %d rounds of %d calls, alternating order"
          % (sys.version.split()[0], options.rounds, options.number))
    print("%-42s %12s %12s %10s" % ("call (through cffi)", "stand-in ns", "nothing ns", "ratio"))
    for name in stand_in_calls:
        pair = (stand_in_calls[name], null_calls[name])
        for fn in pair:  # warm both
            timeit.timeit(fn, number=options.number // 10)
        ratios, ours, floor = [], [], []
        for round_ in range(options.rounds):
            order = (0, 1) if round_ % 2 == 0 else (1, 0)
            times = [0.0, 0.0]
            for k in order:
                times[k] = timeit.timeit(pair[k], number=options.number) / options.number * 1e9
            ours.append(times[0])
            floor.append(times[1])
            ratios.append(times[0] / times[1])
        print("%-42s %12.1f %12.1f %10.2f"
              % (name, statistics.median(ours), statistics.median(floor), statistics.median(ratios)))
    standin.reset()


if __name__ == "__main__":
    main()
