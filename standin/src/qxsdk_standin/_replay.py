"""Handing a recording of the tap (qxsdk-tap) to the stand-in library, which then answers
from it (StandIn.replay).

The file is read with the tap's own reader, qxsdk_tap.Recording: the format has one reader,
kept and tested beside its writer, so a recording that reads back there replays here. The
library gets the recorded calls and events one by one, in the order they started, with each
call's arguments in the form its journal writes them, so that it checks a call by comparing
two texts.
"""

from __future__ import annotations

import math
import os
from typing import TYPE_CHECKING, Any, Dict, List, Union

if TYPE_CHECKING:
    from qxsdk_tap import Call, Recording

_NULL_TEXT = '{"k":"str","null":true}'
_ANY_TEXT = '{"k":"str","null":false,"hex":"*"}'  # a redacted text: any but a null one


def _pointer(kind: str, given: bool) -> str:
    return '{"k":"%s","null":%s}' % (kind, "false" if given else "true")


def _bytes(kind: str, data: bytes) -> str:
    return '{"k":"%s","null":false,"hex":"%s"}' % (kind, data.hex())


def _real(value: float) -> str:
    """A double as the journal writes it: 17 significant digits, always a real."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "Infinity" if value > 0 else "-Infinity"
    text = "%.17g" % value
    return text if "." in text or "e" in text else text + ".0"


def journal_args(call: "Call") -> str:
    """The call's arguments as the stand-in's journal writes them (see its README)."""
    from qxsdk_tap import CALLBACK, Redacted, Request, Response, StoredText

    parts: List[str] = []
    names = call.names or ("",) * len(call.args)
    for name, value in zip(names, call.args):
        if isinstance(value, Request):
            parts.append(_pointer("req", False) if value.data is None else _bytes("req", value.data))
            parts.append('{"k":"int","v":%d}' % value.length)
        elif isinstance(value, Response):
            parts += [_pointer("out", value.given), _pointer("out", value.length is not None)]
        elif isinstance(value, StoredText):
            parts.append(_pointer("out", value.given))
        elif isinstance(value, Redacted):
            parts.append(_NULL_TEXT if value.null else _ANY_TEXT)
        elif value is CALLBACK:
            parts.append(_pointer("cb", True))
        elif value is None:
            # A null pointer: the event callback (the one parameter of its type) or a text.
            parts.append(_pointer("cb", False) if name == "callback" else _NULL_TEXT)
        elif isinstance(value, bool):
            parts.append('{"k":"bool","v":%s}' % ("true" if value else "false"))
        elif isinstance(value, int):
            parts.append('{"k":"int","v":%d}' % value)
        elif isinstance(value, float):
            parts.append('{"k":"real","v":%s}' % _real(value))
        elif isinstance(value, bytes):
            parts.append(_bytes("str", value))
        else:
            raise ValueError("%s: an argument the stand-in cannot compare: %r" % (call.fn, value))
    return "[" + ",".join(parts) + "]"


def _answers(lib: Any, call: "Call", result_kind: str) -> None:
    """Hands over what the call answered: its result, then the response or text it stored."""
    from qxsdk_tap import Redacted, Response, StoredText

    result = call.result
    if result_kind in ("int32", "int64"):
        lib.qxstub_replay_number(result)
    elif result_kind == "real":
        lib.qxstub_replay_real(result)
    elif result_kind == "text" and not (isinstance(result, Redacted) and not result.null):
        # A redacted text that was not null is left to the stand-in.
        lib.qxstub_replay_text(None if isinstance(result, Redacted) else result)
    for value in call.args:
        if isinstance(value, Response):
            length = value.length if value.length is not None else len(value.data or b"")
            lib.qxstub_replay_response(value.data, length)
        elif isinstance(value, StoredText):
            lib.qxstub_replay_text(value.data)


def load(lib: Any, recording: Union[str, "os.PathLike[str]", "Recording"], strict: bool) -> None:
    """Reads `recording` (a file or a qxsdk_tap.Recording) and hands it to the library, which
    answers from it from then on."""
    try:
        from qxsdk_tap import Call, Event, Gap, Recording
    except ImportError as error:
        raise ImportError(
            "replaying a recording needs the tap's reader: install qxsdk-tap (pip install ./tap)"
        ) from error

    if not isinstance(recording, Recording):
        recording = Recording(recording)
    entries = recording.entries()
    gaps = [e for e in entries if isinstance(e, Gap)]
    if gaps:
        raise ValueError(
            "%s lacks what was dropped while it was recorded (its buffer was full: calls %d, events %d); a "
            "replay needs every call and event: record with on_full='wait'"
            % (recording.path, sum(g.dropped_calls for g in gaps), sum(g.dropped_events for g in gaps))
        )
    # Calls are written when they return, so the order they started in is their seq.
    started = sorted((e for e in entries if isinstance(e, (Call, Event))), key=lambda e: e.seq)
    call_index: Dict[int, int] = {}  # seq -> index among the calls handed over
    event_index: Dict[int, int] = {}  # seq -> index among the events handed over
    lib.qxstub_replay_prepare()
    for entry in started:
        if isinstance(entry, Call):
            call_index[entry.seq] = len(call_index)
            lib.qxstub_replay_call(entry.fn.encode(), journal_args(entry).encode(), event_index.get(entry.parent, -1))
            _answers(lib, entry, recording.header.results.get(entry.fn, "void"))
        elif not entry.inside or entry.inside in call_index:
            # An event inside a call that never returned (the recording was cut) is left out
            # with that call.
            event_index[entry.seq] = len(event_index)
            inside = call_index[entry.inside] if entry.inside else -1
            lib.qxstub_replay_event(entry.text, entry.payload, entry.length, inside)
    lib.qxstub_replay_start(1 if strict else 0)
