"""The qxsdk stand-in: a deterministic in-process libqxsdk.so for tests, and its control API.

Nothing here takes effect on import. A test (or any code) asks for the stand-in with

    import qxsdk_standin
    sdk = qxsdk_standin.activate()   # before `import c_sdk`
    import c_sdk

after which the module's dependency on libqxsdk.so resolves to the stand-in, and `sdk`
(a StandIn) scripts its answers and reads back every call it received. With pytest,
the `qxsdk` fixture does the same and resets the stand-in around each test.

The package's pytest plugin is imported into every pytest run of an environment that has
it installed, so importing the package loads nothing else: each name below is imported
from its module when it is first used.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._control import OUT, Call, FunctionRef, StandIn, Truncated, decode
    from ._loader import activate, loaded_library

__all__ = [
    "OUT",
    "Call",
    "FunctionRef",
    "StandIn",
    "Truncated",
    "activate",
    "decode",
    "library_path",
    "loaded_library",
]

LIBRARY_NAME = "libqxsdk.so"

_LAZY = {
    "OUT": "_control",
    "Call": "_control",
    "FunctionRef": "_control",
    "StandIn": "_control",
    "Truncated": "_control",
    "decode": "_control",
    "activate": "_loader",
    "loaded_library": "_loader",
}


def library_path() -> str:
    """The stand-in library file installed in this package."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY_NAME)


def __getattr__(name: str) -> Any:
    if name not in _LAZY:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(f"{__name__}.{_LAZY[name]}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
