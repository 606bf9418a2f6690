"""The qxsdk stand-in: a deterministic in-process libqxsdk.so for tests, and its control API.

Nothing here takes effect on import. A test (or any code) asks for the stand-in with

    import qxsdk_standin
    sdk = qxsdk_standin.activate()   # before `import c_sdk`
    import c_sdk

after which the module's dependency on libqxsdk.so resolves to the stand-in, and `sdk`
(a StandIn) scripts its answers and reads back every call it received. With pytest,
the `qxsdk` fixture does the same and resets the stand-in around each test.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from typing import Any, Optional

from ._control import OUT, Call, StandIn, Truncated, decode

__all__ = ["OUT", "Call", "StandIn", "Truncated", "activate", "decode", "library_path", "loaded_library"]

LIBRARY_NAME = "libqxsdk.so"
_RTLD_NOLOAD = getattr(os, "RTLD_NOLOAD", 4)
_RTLD_DI_LINKMAP = 2

_lock = threading.Lock()
_active: Optional[StandIn] = None


def library_path() -> str:
    """The stand-in library file installed in this package."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY_NAME)


class _LinkMap(ctypes.Structure):
    # The leading, stable fields of glibc's struct link_map.
    _fields_ = [("l_addr", ctypes.c_size_t), ("l_name", ctypes.c_char_p)]


def _dlinfo() -> Any:
    for name in (None, ctypes.util.find_library("dl")):
        try:
            fn = ctypes.CDLL(name).dlinfo
        except (OSError, AttributeError):
            continue
        fn.restype = ctypes.c_int
        fn.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
        return fn
    raise RuntimeError("dlinfo is not available: cannot tell which libqxsdk.so is loaded")


def loaded_library() -> Optional[str]:
    """The file of the libqxsdk.so already loaded in this process (by an imported c_sdk,
    LD_PRELOAD or activate()), or None. Nothing is loaded by asking."""
    try:
        handle = ctypes.CDLL(LIBRARY_NAME, mode=_RTLD_NOLOAD)
    except OSError:
        return None
    link_map = ctypes.POINTER(_LinkMap)()
    if _dlinfo()(handle._handle, _RTLD_DI_LINKMAP, ctypes.byref(link_map)) != 0 or not link_map:
        raise RuntimeError("a libqxsdk.so is loaded, but its file could not be found")
    name = link_map.contents.l_name
    return os.fsdecode(name) if name else LIBRARY_NAME


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def activate() -> StandIn:
    """Load the stand-in library so that libqxsdk.so resolves to it, and return its control.

    Call it before `import c_sdk`. Calling it again returns the same object. It accepts a
    stand-in already loaded from this package's file (LD_PRELOAD of that file), and raises
    RuntimeError, naming the file, when another libqxsdk.so is already loaded: then c_sdk
    was imported against another library (or one was preloaded) and the stand-in could
    not take its place.
    """
    global _active
    with _lock:
        if _active is not None:
            return _active
        ours = library_path()
        if not os.path.exists(ours):
            raise RuntimeError(f"the stand-in library is missing from the package: {ours}")
        loaded = loaded_library()
        if loaded is not None and not _same_file(loaded, ours):
            raise RuntimeError(
                f"cannot activate the qxsdk stand-in: another libqxsdk.so is already loaded in this "
                f"process ({loaded}); activate it before importing c_sdk, without preloading another library"
            )
        # Loaded by full path; its SONAME libqxsdk.so then satisfies the module's dependency.
        library = ctypes.CDLL(ours, mode=os.RTLD_GLOBAL)
        loaded = loaded_library()
        if loaded is None or not _same_file(loaded, ours):
            raise RuntimeError(f"the stand-in at {ours} did not take the name {LIBRARY_NAME} (found {loaded})")
        _active = StandIn(library)
        return _active
