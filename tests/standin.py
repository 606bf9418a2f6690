"""ctypes access to the control interface of the libqxsdk.so stand-in (standin/qxsdk/qxstub.h).

Load it from the library file the c_sdk module already uses, so both share one instance:

    sdk = standin.load(os.path.join(os.path.dirname(c_sdk.__file__), "libqxsdk.so"))
    sdk.reset()
    sdk.push_status("qxi_get_dividends", 1003)
    ...
    assert sdk.last() == standin.Call("qxi_get_dividends", (b"...", 3, standin.OUT, standin.OUT))

Journalled arguments decode as: text and request bytes -> bytes (None for a null pointer),
int/long long -> int, double -> float, bool -> bool, a non-null out-pointer or callback -> OUT,
a null one -> None. A request is followed by its length as an int.
"""

import ctypes
import json
from collections import namedtuple

Call = namedtuple("Call", ["fn", "args"])


class _Out:
    """Marker for a non-null out-pointer (or callback) argument in a journalled call."""

    __slots__ = ()

    def __repr__(self):
        return "OUT"


OUT = _Out()


def _bytes(value):
    if value is None or isinstance(value, bytes):
        return value
    if isinstance(value, str):
        return value.encode()
    return bytes(value)


def _with_length(data, length):
    """(buffer, length) for a C (pointer, int) pair; the library reads max(length, 0) bytes."""
    data = _bytes(data)
    if length is None:
        length = len(data) if data is not None else 0
    if data is not None and length > len(data):
        raise ValueError(f"length {length} exceeds the {len(data)} bytes given")
    return data, length


def _arg(a):
    kind = a["k"]
    if kind in ("str", "req"):
        return None if a["null"] else bytes.fromhex(a["hex"])
    if kind in ("out", "cb"):
        return None if a["null"] else OUT
    if kind == "int":
        return int(a["v"])
    if kind == "real":
        return float(a["v"])
    if kind == "bool":
        return bool(a["v"])
    raise ValueError(f"unknown journal argument kind {kind!r}")


def decode(entry):
    """One journal entry (JSON text from qxstub_journal_entry) as a Call."""
    obj = json.loads(entry)
    return Call(obj["fn"], tuple(_arg(a) for a in obj["args"]))


class Standin:
    """The stand-in library's control interface."""

    def __init__(self, path):
        # CDLL releases the GIL during calls, which fire_from_thread needs: the callback runs
        # on another thread while this one waits inside the library.
        lib = self.lib = ctypes.CDLL(path)
        c_char_p, c_int, c_ll = ctypes.c_char_p, ctypes.c_int, ctypes.c_longlong
        for name, restype, argtypes in [
            ("qxstub_reset", None, []),
            ("qxstub_journal_count", c_int, []),
            ("qxstub_journal_entry", c_char_p, [c_int]),
            ("qxstub_journal_clear", None, []),
            ("qxstub_journal_enable", None, [c_int]),
            ("qxstub_push_status", None, [c_char_p, c_int]),
            ("qxstub_push_response", None, [c_char_p, c_char_p, c_int]),
            ("qxstub_push_text", None, [c_char_p, c_char_p]),
            ("qxstub_unconsumed", c_int, [c_char_p]),
            ("qxstub_set_now", None, [c_ll]),
            ("qxstub_set_session", None, [c_int, c_int]),
            ("qxstub_push_event", None, [c_char_p, c_char_p, c_int]),
            ("qxstub_flood_events", None, [c_char_p, c_char_p, c_int, c_ll]),
            ("qxstub_fire_from_thread", None, [c_char_p, c_char_p, c_int]),
            ("qxstub_pending_events", c_ll, []),
            ("qxstub_delivered_events", c_ll, []),
        ]:
            fn = getattr(lib, name)
            fn.restype, fn.argtypes = restype, argtypes

    # ---- state and journal

    def reset(self):
        """Everything back to the initial state (journal, scripts, events, session, clock)."""
        self.lib.qxstub_reset()

    def journal(self):
        """All journalled calls, oldest first (the library keeps the last 100000)."""
        out = []
        for i in range(self.lib.qxstub_journal_count()):
            entry = self.lib.qxstub_journal_entry(i)
            if entry is not None:  # another thread may have cleared the journal meanwhile
                out.append(decode(entry))
        return out

    def last(self):
        """The latest journalled call, or None."""
        entry = self.lib.qxstub_journal_entry(-1)
        return None if entry is None else decode(entry)

    def calls(self, fn):
        """All journalled calls of one function."""
        return [c for c in self.journal() if c.fn == fn]

    def clear_journal(self):
        self.lib.qxstub_journal_clear()

    def enable_journal(self, on=True):
        """Turn recording off for long runs, and back on."""
        self.lib.qxstub_journal_enable(1 if on else 0)

    # ---- scripted answers (per function, first in first out)

    def push_status(self, fn, status):
        """Next status (or id) returned by fn."""
        self.lib.qxstub_push_status(_bytes(fn), status)

    def push_response(self, fn, data, length=None):
        """Next response fn stores through (char** res, int* res_len).

        data None stores a null pointer; length defaults to len(data) and may be 0 or negative
        (it is stored as given)."""
        data, length = _with_length(data, length)
        self.lib.qxstub_push_response(_bytes(fn), data, length)

    def push_text(self, fn, text):
        """Next text returned by a text-returning fn (or stored by qxi_get_serv_addr); None
        makes it a null pointer."""
        self.lib.qxstub_push_text(_bytes(fn), _bytes(text))

    def unconsumed(self, fn=None):
        """Scripted items not yet consumed, for fn or for all functions."""
        return self.lib.qxstub_unconsumed(_bytes(fn))

    # ---- virtual clock and session

    def set_now(self, now_ms):
        self.lib.qxstub_set_now(now_ms)

    def set_session(self, steps, step_ms=1000):
        """qxi_run plays `steps` steps of `step_ms` virtual milliseconds."""
        self.lib.qxstub_set_session(steps, step_ms)

    # ---- events

    def push_event(self, text, payload, length=None):
        """Queue one event passed to the callback exactly as given (None -> null pointer)."""
        payload, length = _with_length(payload, length)
        self.lib.qxstub_push_event(_bytes(text), payload, length)

    def flood_events(self, text, payload, count, length=None):
        """Queue `count` deliveries of one event (cheap even for millions)."""
        payload, length = _with_length(payload, length)
        self.lib.qxstub_flood_events(_bytes(text), payload, length, count)

    def fire_from_thread(self, text, payload, length=None):
        """Call the registered callback once from a new library thread and wait for it."""
        payload, length = _with_length(payload, length)
        self.lib.qxstub_fire_from_thread(_bytes(text), payload, length)

    def pending_events(self):
        """Queued deliveries not made yet."""
        return self.lib.qxstub_pending_events()

    def delivered_events(self):
        """Callback invocations since the last reset."""
        return self.lib.qxstub_delivered_events()


def load(path):
    """The control interface of the stand-in library at `path`."""
    return Standin(path)
