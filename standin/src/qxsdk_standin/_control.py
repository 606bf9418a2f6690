"""The stand-in library's control interface (qxstub.h) as Python objects."""

from __future__ import annotations

import ctypes
import json
import os
import threading
from types import BuiltinFunctionType
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Literal, NamedTuple, Optional, Set, Tuple, Union

if TYPE_CHECKING:
    from qxsdk_tap import Recording

__all__ = ["Call", "OUT", "StandIn", "Truncated", "decode", "FunctionRef"]

BytesLike = Union[bytes, bytearray, memoryview, str]

# A library function, named by its C name ("qxi_place_order_pb"), by the module's Python
# name of a binding that calls it ("py_qxi_place_order"), or by that binding object itself
# (c_sdk.py_qxi_place_order, decorated or not, or c_sdk.qxi_strerror).
FunctionRef = Union[str, Callable[..., Any]]

STATUS, RESPONSE, TEXT = "status", "response", "text"
_WHAT = {STATUS: "a status", RESPONSE: "a response", TEXT: "a text"}


class Call(NamedTuple):
    """One journalled library call: the function's name and its arguments in C order.

    Arguments decode as: text and request bytes -> bytes (None for a null pointer),
    int/long long -> int, double -> float, bool -> bool, a non-null out-pointer or
    callback -> OUT, a null one -> None. A request is followed by its length as an int;
    a request longer than the journal's request cap is recorded as a Truncated.
    """

    fn: str
    args: Tuple[Any, ...]


class _Out:
    """Marker for a non-null out-pointer (or callback) argument in a journalled call."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "OUT"

    def __reduce__(self) -> str:
        return "OUT"


OUT = _Out()


class Truncated(NamedTuple):
    """A request recorded only in part: its first bytes and its full size.

    It never compares equal to bytes, so a test expecting the whole request fails
    visibly instead of passing on a prefix.
    """

    head: bytes
    size: int


def _bytes(value: Optional[BytesLike]) -> Optional[bytes]:
    if value is None or isinstance(value, bytes):
        return value
    if isinstance(value, str):
        return value.encode()
    return bytes(value)


def _with_length(data: Optional[BytesLike], length: Optional[int]) -> Tuple[Optional[bytes], int]:
    """(buffer, length) for a C (pointer, int) pair; the library reads max(length, 0) bytes."""
    raw = _bytes(data)
    if length is None:
        length = len(raw) if raw is not None else 0
    if raw is not None and length > len(raw):
        raise ValueError(f"length {length} exceeds the {len(raw)} bytes given")
    return raw, length


def _arg(a: Dict[str, Any]) -> Any:
    kind = a["k"]
    if kind in ("str", "req"):
        if a["null"]:
            return None
        head = bytes.fromhex(a["hex"])
        return Truncated(head, a["size"]) if a.get("truncated") else head
    if kind in ("out", "cb"):
        return None if a["null"] else OUT
    if kind == "int":
        return int(a["v"])
    if kind == "real":
        return float(a["v"])
    if kind == "bool":
        return bool(a["v"])
    raise ValueError(f"unknown journal argument kind {kind!r}")


def decode(entry: Union[bytes, str]) -> Call:
    """One journal entry (JSON text from qxstub_journal_entry) as a Call."""
    obj = json.loads(entry)
    return Call(obj["fn"], tuple(_arg(a) for a in obj["args"]))


# ---- names of library functions


def _nearest(name: str, candidates: List[str]) -> str:
    """The candidates most like `name`: all of a short list, nearest first, else the five
    nearest that are close at all."""
    import difflib

    few = len(candidates) <= 8
    close = difflib.get_close_matches(name, candidates, n=len(candidates) if few else 5, cutoff=0 if few else 0.5)
    return ", ".join(close) if close else "none is close"


def _wrapped(wrapper: Callable[..., Any]) -> Any:
    """The function a c_sdk.adapt_to_python3 wrapper calls. The wrapper exposes it only to
    the garbage collector: its closure's referents are that function and the closure's type."""
    import gc

    closure = getattr(wrapper, "__self__", None)
    inner = [r for r in gc.get_referents(closure) if callable(r) and not isinstance(r, type)]
    return inner[0] if len(inner) == 1 else None


# Library functions scripted through the Python API since the last reset(), by C name: the
# functions whose unused items unused() asks the library about.
_scripted: Set[str] = set()
_scripted_lock = threading.Lock()


_c_char_p, _c_int, _c_ll = ctypes.c_char_p, ctypes.c_int, ctypes.c_longlong
_SIGNATURES = [
    ("qxstub_reset", None, []),
    ("qxstub_journal_count", _c_int, []),
    ("qxstub_journal_entry", _c_char_p, [_c_int]),
    ("qxstub_journal_clear", None, []),
    ("qxstub_journal_enable", None, [_c_int]),
    ("qxstub_journal_caps", None, [_c_ll, _c_ll, _c_ll]),
    ("qxstub_journal_bytes", _c_ll, []),
    ("qxstub_push_status", None, [_c_char_p, _c_int]),
    ("qxstub_push_response", None, [_c_char_p, _c_char_p, _c_int]),
    ("qxstub_push_response_without_length", None, [_c_char_p, _c_char_p, _c_int]),
    ("qxstub_push_text", None, [_c_char_p, _c_char_p]),
    ("qxstub_unconsumed", _c_int, [_c_char_p]),
    ("qxstub_set_now", None, [_c_ll]),
    ("qxstub_set_session", None, [_c_int, _c_int]),
    ("qxstub_push_event", None, [_c_char_p, _c_char_p, _c_int]),
    ("qxstub_flood_events", None, [_c_char_p, _c_char_p, _c_int, _c_ll]),
    ("qxstub_fire_from_thread", None, [_c_char_p, _c_char_p, _c_int]),
    ("qxstub_fire_from_thread_in_next_call", None, [_c_char_p, _c_char_p, _c_int]),
    ("qxstub_expire_event_buffers", None, [_c_int]),
    ("qxstub_pending_events", _c_ll, []),
    ("qxstub_pending_pushed_events", _c_ll, []),
    ("qxstub_delivered_events", _c_ll, []),
]
# Replay (see _replay.py).
_SIGNATURES += [
    ("qxstub_replay_prepare", None, []),
    ("qxstub_replay_call", None, [_c_char_p, _c_char_p, _c_int]),
    ("qxstub_replay_number", None, [_c_ll]),
    ("qxstub_replay_real", None, [ctypes.c_double]),
    ("qxstub_replay_text", None, [_c_char_p]),
    ("qxstub_replay_response", None, [_c_char_p, _c_int]),
    ("qxstub_replay_event", None, [_c_char_p, _c_char_p, _c_int, _c_int]),
    ("qxstub_replay_start", None, [_c_int]),
    ("qxstub_replay_left", _c_ll, []),
    ("qxstub_replay_next", _c_char_p, []),
    ("qxstub_replay_divergence", _c_char_p, []),
]


class StandIn:
    """Control of the loaded stand-in library: its call journal, scripted answers,
    queued events, virtual clock and session shape.

    Obtain it from qxsdk_standin.activate() (or the `qxsdk` pytest fixture); every
    instance drives the one library loaded in the process. Control calls are never
    journalled and may be made from any thread, including from an event receiver.

    Library functions are named by a FunctionRef: the C name, the module's Python name
    of a binding, or the binding object. A name that is no library function, or a kind
    of answer the function cannot give, raises ValueError naming the nearest valid
    names; an object that is not one of the module's functions raises TypeError.
    """

    def __init__(self, library: ctypes.CDLL) -> None:
        # CDLL releases the GIL during calls, which fire_from_thread needs: the callback
        # runs on another thread while this one waits inside the library.
        self.lib = library
        for name, restype, argtypes in _SIGNATURES:
            fn = getattr(library, name)
            fn.restype, fn.argtypes = restype, argtypes
        self._addresses: Optional[Dict[int, str]] = None

    @property
    def path(self) -> str:
        """The library file this object controls."""
        return str(self.lib._name)

    # ---- names of library functions

    def library_function(self, fn: FunctionRef) -> str:
        """The C name of the library function `fn` names (itself, a binding's Python name
        such as "py_qxi_place_order", or the binding object such as c_sdk.py_qxi_place_order)."""
        return self._resolve(fn, None)

    def _resolve(self, fn: FunctionRef, kind: Optional[str]) -> str:
        from ._catalog import ANSWERS, BINDINGS

        name = self._name_of(fn)
        library = name if name in ANSWERS else BINDINGS.get(name)
        if library is None:
            pool = [n for n in [*ANSWERS, *BINDINGS] if kind is None or kind in ANSWERS[BINDINGS.get(n, n)]]
            which = "library functions and bindings" + ("" if kind is None else f" giving {_WHAT[kind]}")
            raise ValueError(
                f"{name!r} is neither a library function nor a binding of c_sdk; {which} nearest to it: "
                f"{_nearest(name, pool)}"
            )
        if kind is not None and kind not in ANSWERS[library]:
            gives = " and ".join(_WHAT[k] for k in ANSWERS[library]) or "no scripted answer"
            named = "" if name == library else f" (called by {name})"
            pool = [n for n in ANSWERS if kind in ANSWERS[n]]
            raise ValueError(
                f"{library}{named} cannot give {_WHAT[kind]}, it gives {gives}; library functions giving "
                f"{_WHAT[kind]} nearest to it: {_nearest(library, pool)}"
            )
        return library

    def _name_of(self, fn: FunctionRef) -> str:
        if isinstance(fn, str):
            return fn
        if isinstance(fn, (bytes, bytearray)):
            return bytes(fn).decode("ascii", "replace")
        while hasattr(fn, "__wrapped__"):  # a Python decorator made with functools.wraps
            fn = fn.__wrapped__
        if isinstance(fn, BuiltinFunctionType) and fn.__module__ == "c_sdk":
            name, owner = getattr(fn, "__name__", None), getattr(fn, "__self__", None)
            if getattr(fn, "__qualname__", None) == "adapt_to_python3.<locals>.wrapper":
                inner = _wrapped(fn)
                if inner is not None:
                    return self._name_of(inner)
            elif name == "wrap" and type(owner).__name__ == "PyCapsule":
                direct = self._direct_name(owner)
                if direct is not None:
                    return direct
            elif owner is None and isinstance(name, str):
                return name
        raise TypeError(f"{fn!r} is not a function of the c_sdk module nor the name of a library function")

    def _direct_name(self, capsule: object) -> Optional[str]:
        """The library function a direct function object (c_sdk.qxi_strerror) holds: its
        capsule keeps the function's address, compared with the loaded library's."""
        from ._catalog import ANSWERS

        pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)
        try:
            address = pointer(("PyCapsule_GetPointer", ctypes.pythonapi))(capsule, None)
        except ValueError:  # a capsule with a name: not one of the module's
            return None
        if self._addresses is None:
            self._addresses = {ctypes.cast(self.lib[n], ctypes.c_void_p).value or 0: n for n in ANSWERS}
        return self._addresses.get(address or 0)

    def _script(self, fn: FunctionRef, kind: str) -> bytes:
        name = self._resolve(fn, kind)
        with _scripted_lock:
            _scripted.add(name)
        return name.encode()

    # ---- state and journal

    def reset(self) -> None:
        """Everything back to the initial state: journal and its caps, scripts, queued
        events, callback, subscriptions, timers, orders, cash, session shape and clock.
        Called from inside a run, it also ends the session that run is playing."""
        self.lib.qxstub_reset()
        with _scripted_lock:
            _scripted.clear()

    def journal(self) -> List[Call]:
        """All journalled calls still kept, oldest first."""
        out = []
        for i in range(self.lib.qxstub_journal_count()):
            entry = self.lib.qxstub_journal_entry(i)
            if entry is not None:  # another thread may have cleared the journal meanwhile
                out.append(decode(entry))
        return out

    def last(self) -> Optional[Call]:
        """The latest journalled call, or None."""
        entry = self.lib.qxstub_journal_entry(-1)
        return None if entry is None else decode(entry)

    def calls(self, fn: FunctionRef) -> List[Call]:
        """All journalled calls of one library function, oldest first."""
        name = self.library_function(fn)
        return [c for c in self.journal() if c.fn == name]

    def clear_journal(self) -> None:
        """Drop every journal entry."""
        self.lib.qxstub_journal_clear()

    def enable_journal(self, on: bool = True) -> None:
        """Turn recording off (then no entry is built and no request read) and back on."""
        self.lib.qxstub_journal_enable(1 if on else 0)

    def set_journal_caps(
        self, entries: Optional[int] = None, total_bytes: Optional[int] = None, request_bytes: Optional[int] = None
    ) -> None:
        """Bound the journal; None keeps a cap as it is (reset() restores the defaults).

        entries: entries kept (default 100000); total_bytes: bytes of entry text kept
        (default 64 MiB), the oldest entries go first; request_bytes: bytes of one request
        recorded (default 1 MiB), a longer request is recorded as a Truncated."""

        def keep(v: Optional[int]) -> int:
            if v is not None and v < 0:
                raise ValueError("journal caps are not negative")
            return -1 if v is None else v

        self.lib.qxstub_journal_caps(keep(entries), keep(total_bytes), keep(request_bytes))

    def journal_bytes(self) -> int:
        """Bytes of entry text the journal holds now."""
        return int(self.lib.qxstub_journal_bytes())

    # ---- scripted answers (per function, first in first out)

    def push_status(self, fn: FunctionRef, status: int) -> None:
        """Next status (or id, for id-returning functions) returned by fn."""
        self.lib.qxstub_push_status(self._script(fn, STATUS), status)

    def push_response(self, fn: FunctionRef, data: Optional[BytesLike], length: Optional[int] = None) -> None:
        """Next response fn stores through (char** res, int* res_len).

        data None stores a null pointer; length defaults to len(data) and may be 0 or
        negative (it is stored as given)."""
        raw, length = _with_length(data, length)
        self.lib.qxstub_push_response(self._script(fn, RESPONSE), raw, length)

    def push_response_without_length(self, fn: FunctionRef, data: Optional[BytesLike]) -> None:
        """Next response fn stores through `res` alone, leaving `*res_len` as the caller
        preset it, as a library that forgets the length does (None stores a null pointer)."""
        raw = _bytes(data)
        self.lib.qxstub_push_response_without_length(self._script(fn, RESPONSE), raw, len(raw or b""))

    def push_text(self, fn: FunctionRef, text: Optional[BytesLike]) -> None:
        """Next text returned by a text-returning fn (or stored by qxi_get_serv_addr);
        None makes it a null pointer."""
        self.lib.qxstub_push_text(self._script(fn, TEXT), _bytes(text))

    def unconsumed(self, fn: Optional[FunctionRef] = None) -> int:
        """Scripted items not yet consumed, for fn or for all functions."""
        return int(self.lib.qxstub_unconsumed(None if fn is None else self.library_function(fn).encode()))

    def unused(self) -> Dict[str, int]:
        """Items scripted through this API since the last reset() and not consumed, by
        library function (only those with some left), in name order."""
        with _scripted_lock:
            names = sorted(_scripted)
        left = {name: int(self.lib.qxstub_unconsumed(name.encode())) for name in names}
        return {name: count for name, count in left.items() if count > 0}

    # ---- virtual clock and session

    def set_now(self, now_ms: int) -> None:
        """Set the virtual clock (milliseconds since the epoch)."""
        self.lib.qxstub_set_now(now_ms)

    def set_session(self, steps: int, step_ms: int = 1000) -> None:
        """qxi_run plays `steps` steps of `step_ms` virtual milliseconds."""
        self.lib.qxstub_set_session(steps, step_ms)

    # ---- events

    def push_event(self, text: Optional[BytesLike], payload: Optional[BytesLike], length: Optional[int] = None) -> None:
        """Queue one event passed to the callback exactly as given (None -> null pointer)."""
        raw, length = _with_length(payload, length)
        self.lib.qxstub_push_event(_bytes(text), raw, length)

    def flood_events(
        self, text: Optional[BytesLike], payload: Optional[BytesLike], count: int, length: Optional[int] = None
    ) -> None:
        """Queue `count` deliveries of one event (cheap even for millions)."""
        raw, length = _with_length(payload, length)
        self.lib.qxstub_flood_events(_bytes(text), raw, length, count)

    def fire_from_thread(
        self, text: Optional[BytesLike], payload: Optional[BytesLike], length: Optional[int] = None
    ) -> None:
        """Call the registered callback once from a new library thread and wait for it."""
        raw, length = _with_length(payload, length)
        self.lib.qxstub_fire_from_thread(_bytes(text), raw, length)

    def fire_from_thread_in_next_call(
        self, text: Optional[BytesLike], payload: Optional[BytesLike], length: Optional[int] = None
    ) -> None:
        """The next library call, made from whichever thread, calls the callback once with
        this event from a new library thread and waits for it before answering, so its
        caller keeps what it holds (called through c_sdk: the interpreter lock)."""
        raw, length = _with_length(payload, length)
        self.lib.qxstub_fire_from_thread_in_next_call(_bytes(text), raw, length)

    def expire_event_buffers(self, how: Literal["keep", "overwrite", "free"]) -> None:
        """What happens to the text and payload of the event being delivered when its
        callback calls a library function: "keep" (the default, and after reset()),
        "overwrite" (every byte becomes b"#", the text's terminator kept) or "free"."""
        codes = {"keep": 0, "overwrite": 1, "free": 2}
        if how not in codes:
            raise ValueError(f"how is one of {', '.join(map(repr, codes))}, not {how!r}")
        self.lib.qxstub_expire_event_buffers(codes[how])

    def pending_events(self) -> int:
        """Queued deliveries not made yet."""
        return int(self.lib.qxstub_pending_events())

    def pending_pushed_events(self) -> int:
        """Of the queued deliveries not made yet, those queued through push_event and
        flood_events (or their C functions): not the library's own events, such as
        execution reports and bus messages."""
        return int(self.lib.qxstub_pending_pushed_events())

    def delivered_events(self) -> int:
        """Callback invocations since the last reset."""
        return int(self.lib.qxstub_delivered_events())

    # ---- replay

    def replay(self, recording: Union[str, "os.PathLike[str]", Recording], strict: bool = True) -> None:
        """Answer every library call from now on from a recording made by the tap (a file, or a
        qxsdk_tap.Recording; reading it needs qxsdk-tap installed), until reset() or the next
        replay(): each call returns the recorded status, result, response or text, the events
        recorded inside a call are delivered inside it in the recorded order, and qxi_now
        answers the recorded clock. Scripted answers and queued events wait meanwhile.

        strict: the calls must come in the recorded order with the recorded arguments
        (redacted ones match any text but a null one); with strict=False each function takes
        its recorded answers in order, whatever comes between them. At the first call that
        cannot be answered so, that call and every later one fail with status 1006, and
        divergence() and qxi_get_ext_errormsg() say which call was expected and which came.
        A recording with calls or events dropped while it was recorded raises ValueError."""
        from ._replay import load

        load(self.lib, recording, strict)

    def divergence(self) -> Optional[str]:
        """Which call the replay expected and which came, at the first call that differed from
        the recording; None while the replay follows it (or without a replay)."""
        text = self.lib.qxstub_replay_divergence()
        return None if text is None else bytes(text).decode("utf-8", "replace")

    def replay_left(self) -> int:
        """Recorded calls and events the replay has not played yet (0 without a replay)."""
        return max(int(self.lib.qxstub_replay_left()), 0)
