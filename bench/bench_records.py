"""Per-operation cost of record reads and construction, against a plain dict lookup and
against the same record written in Python.

    python bench/bench_records.py [--number N] [--repeat R]

Every case is timed R times (interleaved, so a busy machine slows all alike) and the
best time is kept. Ratios are relative to d['price'] on a plain dict.
"""

import argparse
import os
import sys
import timeit

# The host package stand-in, for runs from a source tree (a real one found first wins).
sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                             "standin"))

import qxsdk_standin  # noqa: E402

qxsdk_standin.activate()  # the module needs a libqxsdk.so; records never call it
import c_sdk  # noqa: E402


class PyTick:
    """The Python form of a tick record, for comparison."""

    __slots__ = ("data",)

    def __init__(self, data):
        self.data = data

    def __getattr__(self, item):
        return self.data.get(item)

    def __getitem__(self, item):
        return self.data.get(item)

    @property
    def price(self):
        return self.data.get("price")


CASES = [
    ("dict d['price']", "d['price']"),
    ("TickLikeDict2 .price (property)", "rec.price"),
    ("TickLikeDict2 ['price']", "rec['price']"),
    ("TickLikeDict2 .extra (fallback)", "rec.extra"),
    ("Python class .price (property)", "py.price"),
    ("Python class ['price']", "py['price']"),
    ("Python class .extra (fallback)", "py.extra"),
    ("TickLikeDict2(d)", "TickLikeDict2(d)"),
    ("Python class PyTick(d)", "PyTick(d)"),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=1_000_000, help="operations per timing")
    parser.add_argument("--repeat", type=int, default=15, help="timings per case (best kept)")
    args = parser.parse_args()

    d = {"price": 10.5, "extra": 1, "symbol": "SHSE.600000", "cum_volume": 1000}
    namespace = {"d": d, "rec": c_sdk.TickLikeDict2(d), "py": PyTick(d),
                 "TickLikeDict2": c_sdk.TickLikeDict2, "PyTick": PyTick}
    best = {stmt: float("inf") for _, stmt in CASES}
    for _ in range(args.repeat):
        for _, stmt in CASES:
            seconds = timeit.timeit(stmt, globals=namespace, number=args.number)
            best[stmt] = min(best[stmt], seconds / args.number * 1e9)

    base = best[CASES[0][1]]
    print("Python %s, %d x %d operations per case" % (sys.version.split()[0], args.repeat,
                                                      args.number))
    print("%-34s %9s %9s" % ("operation", "ns/op", "vs dict"))
    for label, stmt in CASES:
        print("%-34s %9.1f %8.2fx" % (label, best[stmt], best[stmt] / base))


if __name__ == "__main__":
    main()
