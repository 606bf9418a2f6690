"""Loading the stand-in library and telling which libqxsdk.so the process has loaded."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from typing import Any, Optional

from . import LIBRARY_NAME, library_path
from ._control import StandIn

_RTLD_NOLOAD = getattr(os, "RTLD_NOLOAD", 4)
_RTLD_DI_LINKMAP = 2

_lock = threading.Lock()
_active: Optional[StandIn] = None


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


def _loaded_handle(path: str) -> Optional[int]:
    """The loader's handle of `path` if that object is loaded already, without loading it.
    For a file path the loader matches loaded objects by device and inode, so the stand-in
    is found whatever name it was loaded by (a symlink, a relative LD_PRELOAD path)."""
    try:
        return int(ctypes.CDLL(path, mode=_RTLD_NOLOAD)._handle)
    except OSError:
        return None


def loaded_library() -> Optional[str]:
    """The file of the libqxsdk.so already loaded in this process (by an imported c_sdk,
    LD_PRELOAD or activate()), or None. Nothing is loaded by asking."""
    handle = _loaded_handle(LIBRARY_NAME)
    if handle is None:
        return None

    class LinkMap(ctypes.Structure):
        # The leading, stable fields of glibc's struct link_map.
        _fields_ = [("l_addr", ctypes.c_size_t), ("l_name", ctypes.c_char_p)]

    link_map = ctypes.POINTER(LinkMap)()
    if _dlinfo()(handle, _RTLD_DI_LINKMAP, ctypes.byref(link_map)) != 0 or not link_map:
        raise RuntimeError("a libqxsdk.so is loaded, but its file could not be found")
    name = link_map.contents.l_name
    return os.fsdecode(name) if name else LIBRARY_NAME


def _ours_is_loaded(ours: str) -> bool:
    """Whether the libqxsdk.so in use is this package's file, by the loader's identity of
    objects (device and inode), never by comparing path texts."""
    loaded = _loaded_handle(LIBRARY_NAME)
    return loaded is not None and loaded == _loaded_handle(ours)


def activate() -> StandIn:
    """Load the stand-in library so that libqxsdk.so resolves to it, and return its control.

    Call it before `import c_sdk`. Calling it again returns the same object. It accepts a
    stand-in already loaded from this package's file (LD_PRELOAD of that file, through any
    path or symlink), and raises RuntimeError, naming the file, when another libqxsdk.so is
    already loaded: then c_sdk was imported against another library (or one was preloaded)
    and the stand-in could not take its place.
    """
    global _active
    with _lock:
        if _active is not None:
            return _active
        ours = library_path()
        if not os.path.exists(ours):
            raise RuntimeError(f"the stand-in library is missing from the package: {ours}")
        if _loaded_handle(LIBRARY_NAME) is not None and not _ours_is_loaded(ours):
            raise RuntimeError(
                f"cannot activate the qxsdk stand-in: another libqxsdk.so is already loaded in this "
                f"process ({loaded_library()}); activate it before importing c_sdk, without preloading "
                f"another library"
            )
        # Loaded by full path; its SONAME libqxsdk.so then satisfies the module's dependency.
        library = ctypes.CDLL(ours, mode=os.RTLD_GLOBAL)
        if not _ours_is_loaded(ours):
            raise RuntimeError(
                f"the stand-in at {ours} did not take the name {LIBRARY_NAME} (found {loaded_library()})"
            )
        _active = StandIn(library)
        return _active
