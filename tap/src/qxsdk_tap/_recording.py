"""Reading a recording: the file format of tap/README.md as typed Python objects."""

from __future__ import annotations

import json
import os
import struct
from typing import Any, BinaryIO, Dict, Iterator, List, NamedTuple, Optional, Tuple, Union

__all__ = [
    "CALLBACK",
    "FORMAT_VERSION",
    "Call",
    "Event",
    "Gap",
    "Header",
    "Recording",
    "Redacted",
    "Request",
    "Response",
    "StoredText",
    "Trailer",
]

MAGIC = b"QXTAPREC"
FORMAT_VERSION = 1

# Entry kinds and item tags.
_HEADER, _CALL, _EVENT, _GAP, _TRAILER = range(5)
_VOID, _INT32, _INT64, _REAL, _BOOL, _TEXT, _BYTES, _RESPONSE, _STORED_TEXT, _CALLBACK, _REDACTED = range(11)
_NO_FUNCTION = 0xFFFF


class Request(NamedTuple):
    """A (pointer, length) pair as the caller passed it: `data` is None for a null
    pointer, and holds the `length` bytes otherwise (none when length <= 0)."""

    data: Optional[bytes]
    length: int


class Response(NamedTuple):
    """What the target stored through (char** res, int* res_len), as the caller reads it.

    data: None when the stored pointer is null (or the caller passed no pointer), else
    the `length` bytes it points at (none when length <= 0); length: the stored length
    as stored, negative included (None when the caller passed no length pointer);
    given: whether the caller passed the pointer to store into.
    """

    data: Optional[bytes]
    length: Optional[int]
    given: bool = True


class StoredText(NamedTuple):
    """A text the target stored through a char** (None: it stored a null pointer)."""

    data: Optional[bytes]
    given: bool = True


class Redacted(NamedTuple):
    """A secret left out of the recording; `null` tells whether it was a null pointer."""

    null: bool = False

    def __repr__(self) -> str:
        return "Redacted(null=True)" if self.null else "REDACTED"


class _Callback:
    """Marker for a non-null event callback argument (a null one reads None)."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "CALLBACK"

    def __reduce__(self) -> str:
        return "CALLBACK"


CALLBACK = _Callback()

Value = Any  # int, float, bool, bytes, None, Request, Response, StoredText, Redacted, CALLBACK


class Header(NamedTuple):
    """The recording's first entry: format version and what was recorded with what."""

    version: int
    info: Dict[str, Any]  # pid, target, started_ns, started_unix_ns, buffer_bytes, on_full, redacted
    functions: Tuple[str, ...]  # function index -> name
    items: Dict[str, Tuple[str, ...]]  # function -> names of its items after the result
    results: Dict[str, str]  # function -> how its result is recorded: void, int32, int64, real, text

    @property
    def started_ns(self) -> int:
        return int(self.info["started_ns"])


class Call(NamedTuple):
    """One library call: entries are written when the call returns, so calls made
    inside it (from an event it delivered) come before it in the file; `seq` orders
    entries by when they started."""

    seq: int
    fn: str
    result: Value  # None for a void function or a null text
    args: Tuple[Value, ...]  # in C order; a request or response pair is one item
    parent: int  # seq of the call or event this call was made inside, 0 if none
    thread: int  # the calling thread's kernel id
    start_ns: int  # CLOCK_MONOTONIC
    duration_ns: int
    names: Tuple[str, ...] = ()  # the items' names, as args

    def arg(self, name: str) -> Value:
        """An item by its (first) parameter's name."""
        return self.args[self.names.index(name)]

    @property
    def response(self) -> Optional[Union[Response, StoredText]]:
        """The response or stored text the call produced, if it has one."""
        for value in self.args:
            if isinstance(value, (Response, StoredText)):
                return value
        return None


class Event(NamedTuple):
    """One event the target delivered to the registered callback, as delivered."""

    seq: int
    text: Optional[bytes]  # None: a null text
    payload: Optional[bytes]  # None: a null pointer; else the `length` bytes (none if length <= 0)
    length: int  # as delivered, negative included
    inside: int  # seq of the call on the delivering thread it was delivered inside, 0 if none
    inside_fn: Optional[str]  # that call's function
    thread: int
    time_ns: int


class Gap(NamedTuple):
    """Entries that were dropped here because the buffer was full."""

    dropped_calls: int
    dropped_events: int


class Trailer(NamedTuple):
    """The last entry of a recording that was finished: totals and drops."""

    info: Dict[str, Any]  # calls, events, dropped_calls, dropped_events, unwrapped_callbacks, ended_ns

    @property
    def dropped(self) -> int:
        return int(self.info.get("dropped_calls", 0)) + int(self.info.get("dropped_events", 0))


Entry = Union[Call, Event, Gap, Trailer]


class _Reader:
    __slots__ = ("buf", "pos")

    def __init__(self, buf: bytes) -> None:
        self.buf = buf
        self.pos = 0

    def take(self, fmt: str) -> Any:
        value = struct.unpack_from(fmt, self.buf, self.pos)
        self.pos += struct.calcsize(fmt)
        return value[0] if len(value) == 1 else value

    def raw(self, n: int) -> bytes:
        if n < 0 or self.pos + n > len(self.buf):
            raise ValueError("an item runs past its entry")
        data = self.buf[self.pos : self.pos + n]
        self.pos += n
        return bytes(data)

    def item(self) -> Value:
        tag = self.take("<B")
        if tag == _VOID:
            return None
        if tag == _INT32:
            return self.take("<i")
        if tag == _INT64:
            return self.take("<q")
        if tag == _REAL:
            return self.take("<d")
        if tag == _BOOL:
            return bool(self.take("<B"))
        if tag == _TEXT:
            if self.take("<B"):
                return None
            return self.raw(self.take("<I"))
        if tag == _BYTES:
            null, length = self.take("<Bi")
            if null:
                return Request(None, length)
            return Request(self.raw(length) if length > 0 else b"", length)
        if tag == _RESPONSE:
            flags, length = self.take("<Bi")
            given, length_given, null = bool(flags & 1), bool(flags & 2), bool(flags & 4)
            data = None
            if given and not null:
                data = self.raw(length) if length_given and length > 0 else b""
            return Response(data, length if length_given else None, given)
        if tag == _STORED_TEXT:
            flags = self.take("<B")
            given, null = bool(flags & 1), bool(flags & 4)
            return StoredText(None if null else self.raw(self.take("<I")), given)
        if tag == _CALLBACK:
            return None if self.take("<B") else CALLBACK
        if tag == _REDACTED:
            return Redacted(bool(self.take("<B")))
        raise ValueError("unknown item tag %d" % tag)


class Recording:
    """A recording file, read entry by entry.

    Iterating yields Call, Event, Gap and Trailer objects in file order (the header is
    `header`). A recording cut short by a crash reads up to its last complete entry;
    after iterating, `truncated` tells whether incomplete bytes followed it and
    `trailer` is None when the recording was not finished.
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"]) -> None:
        self.path = os.fspath(path)
        self.truncated = False
        self.trailer: Optional[Trailer] = None
        with open(self.path, "rb") as f:
            start = f.read(16)
            if len(start) < 16 or start[:8] != MAGIC:
                raise ValueError("%s is not a qxsdk tap recording" % self.path)
            (version,) = struct.unpack_from("<I", start, 8)
            if version != FORMAT_VERSION:
                raise ValueError("%s has format version %d; this reader knows %d" % (self.path, version, FORMAT_VERSION))
            body = self._next_body(f)
            if body is None or body[0] != _HEADER:
                raise ValueError("%s has no header entry" % self.path)
            info = json.loads(body[1:].decode("utf-8", "replace"))
            self._offset = f.tell()
        try:
            table = info["functions"]
            functions = tuple(name for name, _, _ in table)
            items = {name: tuple(names) for name, names, _ in table}
            results = {name: kind for name, _, kind in table}
        except (KeyError, TypeError, ValueError):
            raise ValueError("%s has a malformed header entry" % self.path) from None
        self.header = Header(version, info, functions, items, results)

    def _next_body(self, f: BinaryIO) -> Optional[bytes]:
        frame = f.read(8)
        if not frame:
            return None
        if len(frame) < 8:
            self.truncated = True
            return None
        (length,) = struct.unpack("<Q", frame)
        if length > os.fstat(f.fileno()).st_size - f.tell():  # cut short, or not a length at all
            self.truncated = True
            return None
        body = f.read(length) if length else b""
        if length == 0 or len(body) < length:
            self.truncated = True
            return None
        return body

    def __iter__(self) -> Iterator[Entry]:
        self.truncated = False
        with open(self.path, "rb") as f:
            f.seek(self._offset)
            while True:
                body = self._next_body(f)
                if body is None:
                    return
                entry = self._decode(body)
                if isinstance(entry, Trailer):
                    self.trailer = entry
                yield entry

    def entries(self) -> List[Entry]:
        return list(self)

    def calls(self) -> List[Call]:
        return [e for e in self if isinstance(e, Call)]

    def events(self) -> List[Event]:
        return [e for e in self if isinstance(e, Event)]

    def _function(self, index: int) -> str:
        try:
            return self.header.functions[index]
        except IndexError:
            raise ValueError("function index %d is not in the header" % index) from None

    def _decode(self, body: bytes) -> Entry:
        r = _Reader(body)
        kind = r.take("<B")
        if kind == _CALL:
            fn_index, count, seq, parent, thread, start, duration = r.take("<HBQQIqq")
            fn = self._function(fn_index)
            values = [r.item() for _ in range(count)]
            return Call(seq, fn, values[0], tuple(values[1:]), parent, thread, start, duration,
                        self.header.items.get(fn, ()))
        if kind == _EVENT:
            seq, inside, inside_fn, thread, time_ns = r.take("<QQHIq")
            text = r.item()
            payload = r.item()
            if not isinstance(payload, Request):
                raise ValueError("an event's payload is not a byte item")
            return Event(seq, text, payload.data, payload.length, inside,
                         None if inside_fn == _NO_FUNCTION else self._function(inside_fn), thread, time_ns)
        if kind == _GAP:
            calls, events = r.take("<QQ")
            return Gap(calls, events)
        if kind == _TRAILER:
            return Trailer(json.loads(body[1:].decode("utf-8", "replace")))
        raise ValueError("unknown entry kind %d" % kind)
