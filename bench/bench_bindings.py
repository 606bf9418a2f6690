"""Cost of a binding call and of an event, against ctypes and cffi on the same library.

Run on demand (not in CI), after installing the module and the stand-in:
    python3 bench/bench_bindings.py
The cffi rows need cffi (pip install cffi); without it they are left out, with a line
saying so.
Every figure is measured in this one run; compare the ratios, not the absolute times.
The stand-in's call journal is switched off so the library's own work is minimal.
"""

import ctypes
import json
import os
import sys
import timeit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "standin"))

import qxsdk_standin  # noqa: E402

# The stand-in, loaded before the module so the module's libqxsdk.so is this one.
STANDIN = qxsdk_standin.activate()
import c_sdk  # noqa: E402

LIBRARY = qxsdk_standin.library_path()
lib = STANDIN.lib
SUCCESS = 0
REQUEST = b'{"symbol":"SHSE.600000","start":"2026-01-05","end":"2026-12-31"}'


def best(call, argument, number, repeat=7):
    """Nanoseconds per call(argument), best of `repeat` rounds, without a wrapper frame."""
    times = timeit.repeat("call(arg)", globals={"call": call, "arg": argument}, number=number, repeat=repeat)
    return min(times) / number * 1e9


def ctypes_binding():
    fn = lib.qxi_get_dividends
    fn.restype = ctypes.c_int
    fn.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_int)]
    res = ctypes.c_char_p()
    res_len = ctypes.c_int()
    res_ref, len_ref = ctypes.byref(res), ctypes.byref(res_len)
    string_at = ctypes.string_at
    cast = ctypes.cast
    c_void_p = ctypes.c_void_p

    def call(req):
        status = fn(req, len(req), res_ref, len_ref)
        if status == SUCCESS:
            return status, string_at(cast(res, c_void_p).value or 0, res_len.value)
        return status, None

    return call


def cffi_binding():
    """The cffi request call and no-argument call, or None without cffi."""
    try:
        import cffi
    except ImportError:
        return None

    ffi = cffi.FFI()
    ffi.cdef("int qxi_get_dividends(const char* req, int req_len, char** res, int* res_len);"
             "int qxi_poll(void);"
             "int qxi_get_stop_error_code(void);"
             "typedef void (*qxi_event_callback)(const char*, const char*, int);"
             "int qxi_set_event_callback_pb(qxi_event_callback);")
    clib = ffi.dlopen(LIBRARY)
    res = ffi.new("char**")
    res_len = ffi.new("int*")
    fn = clib.qxi_get_dividends
    buffer = ffi.buffer

    def call(req):
        status = fn(req, len(req), res, res_len)
        if status == SUCCESS:
            return status, buffer(res[0], res_len[0])[:]
        return status, None

    return call, clib.qxi_get_stop_error_code


def report(title, results):
    base = next(iter(results.values()))
    print(title)
    for name, ns in results.items():
        print("  %-42s %8.1f ns  x%.2f" % (name, ns, ns / base))


def bench_calls():
    ct = ctypes_binding()
    cf = cffi_binding()
    if cf is None:
        print("cffi is not installed (pip install cffi): its rows are skipped")
    candidates = {
        "c_sdk py_qxi_get_dividends(req)": c_sdk.py_qxi_get_dividends,
        "c_sdk decorated py_qxi_get_orders(req)": c_sdk.py_qxi_get_orders,
        "ctypes, same call and copy": ct,
    }
    if cf is not None:
        candidates["cffi, same call and copy"] = cf[0]
    answers = {call(REQUEST) for name, call in candidates.items() if "decorated" not in name}
    assert len(answers) == 1, "the calls must agree: %s" % answers
    report("request/response call (ns per call, ratio to c_sdk):",
           {name: best(call, REQUEST, 200_000) for name, call in candidates.items()})

    # The smallest call: no arguments, an int back; mostly the cost of the binding.
    ct_no_args = lib.qxi_get_stop_error_code
    ct_no_args.restype = ctypes.c_int
    ct_no_args.argtypes = []
    no_args = {
        "c_sdk py_qxi_get_stop_error_code()": c_sdk.py_qxi_get_stop_error_code,
        "ctypes qxi_get_stop_error_code()": ct_no_args,
    }
    if cf is not None:
        no_args["cffi qxi_get_stop_error_code()"] = cf[1]
    times = {name: min(timeit.repeat("call()", globals={"call": call}, number=500_000, repeat=7)) / 500_000 * 1e9
             for name, call in no_args.items()}
    report("no-argument call (ns per call, ratio to c_sdk):", times)


def bench_events():
    count = 300_000
    payload = json.dumps({"symbol": "SHSE.600000", "price": 10.5}).encode()
    received = [0]

    def receiver(text, data):
        received[0] += 1

    flood = lib.qxstub_flood_events
    flood.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_longlong]
    poll = lib.qxi_poll

    def run_bridge():
        c_sdk.py_qxi_set_data_callback(receiver)
        flood(b"tick", payload, len(payload), count)
        c_sdk.qxi_poll()

    callback_type = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int)
    string_at = ctypes.string_at

    @callback_type
    def ctypes_trampoline(text, data, length):
        receiver(text.decode(), string_at(data, length) if length else b"")

    def run_ctypes():
        lib.qxi_set_event_callback_pb.argtypes = [callback_type]
        lib.qxi_set_event_callback_pb(ctypes_trampoline)
        flood(b"tick", payload, len(payload), count)
        poll()

    bridge = min(timeit.repeat(run_bridge, number=1, repeat=5))
    assert received[0] == 5 * count
    via_ctypes = min(timeit.repeat(run_ctypes, number=1, repeat=5))
    assert received[0] == 10 * count
    print("events delivered to a Python receiver (events per second, ratio to c_sdk):")
    print("  %-42s %10.0f /s  x1.00" % ("c_sdk event bridge", count / bridge))
    print("  %-42s %10.0f /s  x%.2f" % ("ctypes callback", count / via_ctypes, bridge / via_ctypes))


def main():
    lib.qxstub_reset()
    lib.qxstub_journal_enable(0)
    try:
        bench_calls()
        bench_events()
    finally:
        lib.qxstub_journal_enable(1)
        lib.qxstub_reset()


if __name__ == "__main__":
    main()
