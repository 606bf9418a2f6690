"""The stand-in library's control interface (qxstub.h) as Python objects."""

from __future__ import annotations

import ctypes
import json
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

__all__ = ["Call", "OUT", "StandIn", "Truncated", "decode"]

BytesLike = Union[bytes, bytearray, memoryview, str]


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
    ("qxstub_push_text", None, [_c_char_p, _c_char_p]),
    ("qxstub_unconsumed", _c_int, [_c_char_p]),
    ("qxstub_set_now", None, [_c_ll]),
    ("qxstub_set_session", None, [_c_int, _c_int]),
    ("qxstub_push_event", None, [_c_char_p, _c_char_p, _c_int]),
    ("qxstub_flood_events", None, [_c_char_p, _c_char_p, _c_int, _c_ll]),
    ("qxstub_fire_from_thread", None, [_c_char_p, _c_char_p, _c_int]),
    ("qxstub_pending_events", _c_ll, []),
    ("qxstub_delivered_events", _c_ll, []),
]


class StandIn:
    """Control of the loaded stand-in library: its call journal, scripted answers,
    queued events, virtual clock and session shape.

    Obtain it from qxsdk_standin.activate() (or the `qxsdk` pytest fixture); every
    instance drives the one library loaded in the process. Control calls are never
    journalled and may be made from any thread, including from an event receiver.
    """

    def __init__(self, library: ctypes.CDLL) -> None:
        # CDLL releases the GIL during calls, which fire_from_thread needs: the callback
        # runs on another thread while this one waits inside the library.
        self.lib = library
        for name, restype, argtypes in _SIGNATURES:
            fn = getattr(library, name)
            fn.restype, fn.argtypes = restype, argtypes

    @property
    def path(self) -> str:
        """The library file this object controls."""
        return str(self.lib._name)

    # ---- state and journal

    def reset(self) -> None:
        """Everything back to the initial state: journal and its caps, scripts, queued
        events, callback, subscriptions, timers, orders, cash, session shape and clock.
        Called from inside a run, it also ends the session that run is playing."""
        self.lib.qxstub_reset()

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

    def calls(self, fn: str) -> List[Call]:
        """All journalled calls of one function, oldest first."""
        return [c for c in self.journal() if c.fn == fn]

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

    def push_status(self, fn: str, status: int) -> None:
        """Next status (or id, for id-returning functions) returned by fn."""
        self.lib.qxstub_push_status(_bytes(fn), status)

    def push_response(self, fn: str, data: Optional[BytesLike], length: Optional[int] = None) -> None:
        """Next response fn stores through (char** res, int* res_len).

        data None stores a null pointer; length defaults to len(data) and may be 0 or
        negative (it is stored as given)."""
        raw, length = _with_length(data, length)
        self.lib.qxstub_push_response(_bytes(fn), raw, length)

    def push_text(self, fn: str, text: Optional[BytesLike]) -> None:
        """Next text returned by a text-returning fn (or stored by qxi_get_serv_addr);
        None makes it a null pointer."""
        self.lib.qxstub_push_text(_bytes(fn), _bytes(text))

    def unconsumed(self, fn: Optional[str] = None) -> int:
        """Scripted items not yet consumed, for fn or for all functions."""
        return int(self.lib.qxstub_unconsumed(_bytes(fn)))

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

    def pending_events(self) -> int:
        """Queued deliveries not made yet."""
        return int(self.lib.qxstub_pending_events())

    def delivered_events(self) -> int:
        """Callback invocations since the last reset."""
        return int(self.lib.qxstub_delivered_events())
