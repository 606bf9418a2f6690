"""What the `qxsdk` fixture checks and restores around a test (imported when it is used)."""

from __future__ import annotations

import importlib.abc
import importlib.machinery
import sys
from types import ModuleType
from typing import Any, Dict, List, Optional, Sequence

from ._control import StandIn

MODULE = "c_sdk"


class ModuleState:
    """The c_sdk module's namespace as it was when the test started: the same dict object is
    given back its entries in their order. When the test itself imports c_sdk, the namespace
    as its import left it (a finder sees the import through; nothing is imported here)."""

    def __init__(self) -> None:
        module = sys.modules.get(MODULE)
        self.saved: Optional[Dict[str, Any]] = dict(vars(module)) if module is not None else None
        self.watch: Optional[_ImportWatch] = None
        if module is None:
            self.watch = _ImportWatch()
            sys.meta_path.insert(0, self.watch)

    def restore(self) -> None:
        if self.watch is not None:
            if self.watch in sys.meta_path:
                sys.meta_path.remove(self.watch)
            self.saved = self.watch.saved
        module = sys.modules.get(MODULE)
        if module is None or self.saved is None:
            return
        namespace = vars(module)
        namespace.clear()
        namespace.update(self.saved)


class _ImportWatch:
    """A meta path finder that finds nothing itself: it lets the other finders find c_sdk
    and records the module's namespace right after the module has run."""

    def __init__(self) -> None:
        self.saved: Optional[Dict[str, Any]] = None
        self.busy = False

    def find_spec(
        self, name: str, path: Optional[Sequence[str]], target: Optional[ModuleType] = None
    ) -> Optional[importlib.machinery.ModuleSpec]:
        if name != MODULE or self.busy or self.saved is not None:
            return None
        self.busy = True
        try:
            later = sys.meta_path[sys.meta_path.index(self) + 1 :] if self in sys.meta_path else []
            for finder in later:
                spec = finder.find_spec(name, path, target) if hasattr(finder, "find_spec") else None
                if spec is not None:
                    if spec.loader is not None:
                        spec.loader = _Recording(spec.loader, self)
                    return spec
            return None
        finally:
            self.busy = False


class _Recording(importlib.abc.Loader):
    """Loads as the real loader does, then records the namespace and puts the real loader
    back in the module's attributes, so no trace of the watch stays in the module."""

    def __init__(self, loader: importlib.abc.Loader, watch: _ImportWatch) -> None:
        self.loader, self.watch = loader, watch

    def create_module(self, spec: importlib.machinery.ModuleSpec) -> Optional[ModuleType]:
        return self.loader.create_module(spec)

    def exec_module(self, module: ModuleType) -> None:
        self.loader.exec_module(module)
        module.__spec__.loader = self.loader  # type: ignore[union-attr]
        module.__loader__ = self.loader
        self.watch.saved = dict(vars(module))


def leftovers(standin: StandIn) -> List[str]:
    """One line per library function with scripted items left, then those scripted through
    the C interface, then waiting events, then the rest of a recording not replayed."""
    unused = standin.unused()
    lines = [f"  {name}: {count} unused" for name, count in unused.items()]
    other = standin.unconsumed() - sum(unused.values())
    if other > 0:
        lines.append(f"  {other} more scripted through the qxstub_ C interface")
    # Only what the test queued: the simulator's own events (execution reports, bus
    # messages) may wait in the same queue.
    pending = standin.pending_pushed_events()
    if pending:
        lines.append(f"  events: {pending} queued by the test and never delivered")
    left = standin.replay_left()
    if left and standin.divergence() is None:
        following = standin.lib.qxstub_replay_next()
        lines.append(
            f"  replay: {left} recorded calls and events not played"
            + (f", the next: {bytes(following).decode('utf-8', 'replace')}" if following else "")
        )
    return lines
