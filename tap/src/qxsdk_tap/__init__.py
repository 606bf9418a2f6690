"""A transparent libqxsdk.so: forwards every library call to the real library and can
record each call and event into a file.

Nothing happens on import. In Python, before `import c_sdk`:

    import qxsdk_tap
    tap = qxsdk_tap.activate(target="/vendor/lib/libqxsdk.so", record="session.qxtap")
    import c_sdk

For any program, the same through the environment:

    LD_PRELOAD=$(python3 -c 'import qxsdk_tap; print(qxsdk_tap.library_path())') \\
        QXSDK_TAP_TARGET=/vendor/lib/libqxsdk.so QXSDK_TAP_RECORD=session.qxtap program

Read a recording with `Recording(path)`, or summarise it with
`python3 -m qxsdk_tap summary FILE`.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from typing import Any, NamedTuple, Optional, Union

from . import _recording
from ._recording import *  # noqa: F403 (the reader's names, listed once in its __all__)

__all__ = ["Tap", "TapStats", "activate", "library_path", "loaded_library"]
__all__ += _recording.__all__

LIBRARY_NAME = "libqxsdk.so"
DEFAULT_BUFFER_BYTES = 64 << 20
_RTLD_NOLOAD = getattr(os, "RTLD_NOLOAD", 4)
_RTLD_DI_LINKMAP = 2

PathLike = Union[str, "os.PathLike[str]"]

_lock = threading.Lock()
_active: Optional["Tap"] = None


def library_path() -> str:
    """The tap library file installed in this package (for LD_PRELOAD)."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY_NAME)


class _LinkMap(ctypes.Structure):
    # The leading, stable fields of glibc's struct link_map.
    _fields_ = [("l_addr", ctypes.c_size_t), ("l_name", ctypes.c_char_p)]


def loaded_library() -> Optional[str]:
    """The file of the libqxsdk.so already loaded in this process under that name (by an
    imported c_sdk, LD_PRELOAD or an activation), or None. Nothing is loaded by asking."""
    try:
        handle = ctypes.CDLL(LIBRARY_NAME, mode=_RTLD_NOLOAD)
    except OSError:
        return None
    dlinfo: Any = None
    for name in (None, ctypes.util.find_library("dl")):
        try:
            dlinfo = ctypes.CDLL(name).dlinfo
            break
        except (OSError, AttributeError):
            continue
    if dlinfo is None:
        raise RuntimeError("dlinfo is not available: cannot tell which libqxsdk.so is loaded")
    dlinfo.restype = ctypes.c_int
    dlinfo.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
    link_map = ctypes.POINTER(_LinkMap)()
    if dlinfo(handle._handle, _RTLD_DI_LINKMAP, ctypes.byref(link_map)) != 0 or not link_map:
        raise RuntimeError("a libqxsdk.so is loaded, but its file could not be found")
    name = link_map.contents.l_name
    return os.fsdecode(name) if name else LIBRARY_NAME


def _same_file(a: Optional[str], b: Optional[str]) -> bool:
    if a is None or b is None:
        return a is b
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


class TapStats(NamedTuple):
    """What the recording holds so far, and what it could not hold."""

    calls: int
    events: int
    dropped_calls: int
    dropped_events: int
    bytes: int
    unwrapped_callbacks: int


_c_char_p, _c_int, _c_ll = ctypes.c_char_p, ctypes.c_int, ctypes.c_longlong
_SIGNATURES = [
    ("qxtap_start", _c_int, [_c_char_p, _c_char_p, _c_int, _c_int, _c_ll]),
    ("qxtap_load", _c_int, []),
    ("qxtap_error", _c_char_p, []),
    ("qxtap_target", _c_char_p, []),
    ("qxtap_record", _c_char_p, []),
    ("qxtap_recording", _c_int, []),
    ("qxtap_secrets", _c_char_p, []),
    ("qxtap_flush", None, []),
    ("qxtap_finish", None, []),
    ("qxtap_stats", None, [ctypes.POINTER(_c_ll)]),
]


class Tap:
    """Control of one loaded tap library: where it forwards, and its recording."""

    def __init__(self, library: ctypes.CDLL) -> None:
        self.lib = library
        for name, restype, argtypes in _SIGNATURES:
            fn = getattr(library, name)
            fn.restype, fn.argtypes = restype, argtypes

    def start(
        self,
        target: PathLike,
        record: Optional[PathLike] = None,
        *,
        redact: bool = True,
        on_full: str = "drop",
        buffer_bytes: int = DEFAULT_BUFFER_BYTES,
    ) -> None:
        """Loads the target and starts recording (see activate()). Only once."""
        if on_full not in ("drop", "wait"):
            raise ValueError("on_full is 'drop' or 'wait', not %r" % (on_full,))
        if buffer_bytes <= 0:
            raise ValueError("buffer_bytes must be positive")
        status = self.lib.qxtap_start(
            os.fsencode(target),
            None if record is None else os.fsencode(record),
            1 if redact else 0,
            1 if on_full == "wait" else 0,
            buffer_bytes,
        )
        if status != 0:
            raise RuntimeError("qxsdk tap: " + self.error())

    def error(self) -> str:
        return os.fsdecode(self.lib.qxtap_error() or b"")

    @property
    def path(self) -> str:
        """The tap library file."""
        return str(self.lib._name)

    @property
    def target(self) -> Optional[str]:
        """The library the tap forwards to (None before it is started)."""
        value = self.lib.qxtap_target()
        return None if value is None else os.fsdecode(value)

    @property
    def record(self) -> Optional[str]:
        """The recording file (None when the tap only forwards)."""
        value = self.lib.qxtap_record()
        return None if value is None else os.fsdecode(value)

    @property
    def recording(self) -> bool:
        """True until finish() (or the recording failed)."""
        return bool(self.lib.qxtap_recording())

    @property
    def secrets(self) -> "list[str]":
        """The items redacted by default, as "function.item" ("result" for a result)."""
        return (self.lib.qxtap_secrets() or b"").decode().split(",")

    def flush(self) -> None:
        """Waits until everything recorded so far is in the file."""
        self.lib.qxtap_flush()

    def finish(self) -> None:
        """Stops recording: writes the rest and the trailer, closes the file. Calls are
        still forwarded. Done anyway when the process exits."""
        self.lib.qxtap_finish()

    def stats(self) -> TapStats:
        out = (ctypes.c_longlong * 6)()
        self.lib.qxtap_stats(out)
        return TapStats(*(int(v) for v in out))


def activate(
    target: PathLike,
    record: Optional[PathLike] = None,
    *,
    redact: bool = True,
    on_full: str = "drop",
    buffer_bytes: int = DEFAULT_BUFFER_BYTES,
) -> Tap:
    """Put the tap in front of the library at `target`, so that libqxsdk.so resolves to
    the tap, and with `record` record every call and event into that file.

    Call it before `import c_sdk`. The tap library is loaded by its full path with
    RTLD_GLOBAL, taking the name libqxsdk.so; the target is loaded by its path.
    redact=False writes the secrets (tokens, passwords, key, encrypted token) in clear.
    on_full="drop" drops (and counts) an entry for which the buffer has no room, never
    holding up the calling thread; "wait" makes the calling thread wait for room.

    Calling it again with the same target and file returns the same object. A tap
    preloaded with LD_PRELOAD and started from the environment is accepted when it was
    given the same target and file. RuntimeError, naming the file, when another
    libqxsdk.so is already loaded (c_sdk was imported first, or a library preloaded).
    """
    global _active
    with _lock:
        target_path = os.fspath(target)
        record_path = None if record is None else os.fspath(record)
        if _active is not None:
            if _same_file(_active.target, target_path) and _same_file(_active.record, record_path):
                return _active
            raise RuntimeError(
                "the qxsdk tap is already active in front of %s (recording %s)" % (_active.target, _active.record)
            )
        ours = library_path()
        if not os.path.exists(ours):
            raise RuntimeError("the tap library is missing from the package: %s" % ours)
        loaded = loaded_library()
        if loaded is not None and not _same_file(loaded, ours):
            raise RuntimeError(
                "cannot activate the qxsdk tap: another libqxsdk.so is already loaded in this process "
                "(%s); activate it before importing c_sdk, without preloading another library" % loaded
            )
        tap = Tap(ctypes.CDLL(ours, mode=os.RTLD_GLOBAL))
        loaded = loaded_library()
        if loaded is None or not _same_file(loaded, ours):
            raise RuntimeError("the tap at %s did not take the name %s (found %s)" % (ours, LIBRARY_NAME, loaded))
        if tap.target is None:
            tap.start(target_path, record_path, redact=redact, on_full=on_full, buffer_bytes=buffer_bytes)
        else:
            # Preloaded and configured from the environment.
            if not (_same_file(tap.target, target_path) and _same_file(tap.record, record_path)):
                raise RuntimeError(
                    "the qxsdk tap was preloaded in front of %s (recording %s), not %s (recording %s)"
                    % (tap.target, tap.record, target_path, record_path)
                )
            if tap.lib.qxtap_load() != 0:
                raise RuntimeError("qxsdk tap: " + tap.error())
        _active = tap
        return tap
