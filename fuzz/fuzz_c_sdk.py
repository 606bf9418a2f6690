"""Fuzz target for c_sdk: every callable of the namespace and every record operation,
driven with arguments whose Python conversions re-enter the module.

Random bytes alone rarely build the inputs that matter here (a bytearray text followed
by a number whose __index__ resizes it), so the input is read as a short program: the
first bytes choose a scenario and a callable, later bytes choose among hand-made hostile
objects and what they do when the module converts, compares, hashes or calls them.

Usage:
    tools/fuzz.sh [libFuzzer options]     # libFuzzer, through fuzz/fuzz_main.cpp
    python fuzz/fuzz_c_sdk.py --plain [--seconds N] [--seed S] [--last FILE] [files or dirs]

Under libFuzzer the embedded interpreter calls libfuzzer_entry() once and then the
callable it returns for each input. --plain needs neither: it replays the given inputs,
then runs random ones for N seconds (default 10; --last FILE keeps the input being run,
for a hard crash), in the same process and with the same decoding, so an input found by
the fuzzer reproduces in plain Python against any installed build. A hard crash or a
sanitizer report is the finding; so is a `Finding` exception (an answer the module must
never give).
"""

import faulthandler
import gc
import json
import os
import random
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def load():
    """The module and the stand-in library's control interface (one shared loaded copy).

    The only place that knows how the module and the stand-in are found."""
    sys.path.insert(0, os.path.join(ROOT, "standin"))  # the stand-in host package qx
    import qxsdk_standin

    control = qxsdk_standin.activate()
    import c_sdk

    return c_sdk, control


c_sdk, sdk = load()
NAMESPACE = vars(c_sdk)
SAVED = dict(NAMESPACE)
RECORD_CLASSES = [c_sdk.ObjectLikeDict2, c_sdk.TickLikeDict2, c_sdk.QuoteItemLikeDict2, c_sdk.BarLikeDict2]


class Finding(AssertionError):
    """An answer the module must never give, whatever Python code ran meanwhile."""


# ---------------------------------------------------------------- input decoding


class Input:
    """Reads choices from the fuzzer's bytes; once they run out every choice is 0."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def pick(self, items):
        n = len(items)
        value = self.byte() if n <= 256 else self.byte() << 8 | self.byte()
        return items[value % n]

    def int_in(self, low, high):
        return low + (self.byte() << 8 | self.byte()) % (high - low + 1)

    def flag(self):
        return self.byte() & 1 == 1

    def raw(self, limit):
        n = self.byte() % (limit + 1)
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        return bytes(chunk)


# ---------------------------------------------------------------- the namespace


def _arity(fn):
    """Positional parameter count, read from the module's own argument-count message."""
    try:
        fn(*([None] * 9))
    except TypeError as exc:
        text = str(exc)
        if "takes no arguments" in text:
            return 0
        if "exactly one argument" in text:
            return 1
        words = text.split()
        if "exactly" in words:
            return int(words[words.index("exactly") + 1])
    except Exception:  # noqa: BLE001 - a callable that accepts 9 arguments is probed no further
        pass
    return None


class _Probe(bytes):
    """Bytes to a text or request conversion; records a number or truth-value conversion."""

    used = False

    def __index__(self):
        self.used = True
        return 0

    def __float__(self):
        self.used = True
        return 0.0

    def __bool__(self):
        self.used = True
        return False


class _NumberProbe:
    """Records a number conversion of an object that is not bytes."""

    used = False

    def __index__(self):
        self.used = True
        return 0

    __int__ = __index__

    def __float__(self):
        self.used = True
        return 0.0


def _kinds(fn, n):
    """'num' or 'buf' for each parameter: 'num' where the module converts a number or a
    truth value, 'buf' (bytes, for a text or a request) elsewhere. Conversions run in
    order and stop at the first refusal, so each remaining position is tried alone."""

    def used(args):
        try:
            fn(*args)
        except Exception:  # noqa: BLE001
            pass
        return [getattr(a, "used", False) for a in args]

    kinds = ["num" if u else "buf" for u in used([_Probe(b"x") for _ in range(n)])]
    for i in range(n):
        if kinds[i] == "buf":
            args = [_Probe(b"x") if k == "buf" else 0 for k in kinds]
            args[i] = _NumberProbe()
            if used(args)[i]:
                kinds[i] = "num"
    return kinds


SPECIAL = {"py_qxi_set_data_callback", "adapt_to_python3", "c_status_ok", "c_status_fail",
           "py_qxi_run", "qxi_poll"}


def _survey():
    sdk.reset()
    sdk.enable_journal(False)
    sdk.set_session(1, 1000)
    table = []
    for name, value in SAVED.items():
        if name.startswith("__") or isinstance(value, type) or not callable(value):
            continue
        if name in SPECIAL:
            table.append((name, None))
            continue
        n = _arity(value)
        table.append((name, _kinds(value, n) if n is not None else None))
    NAMESPACE.clear()
    NAMESPACE.update(SAVED)
    sdk.reset()
    return table


CALLABLES = _survey()
REQUEST_NAMES = [name for name, kinds in CALLABLES if kinds == ["buf"]]
QUICK_CALLS = [
    lambda: c_sdk.py_qxi_get_stop_error_code(),
    lambda: c_sdk.py_qxi_get_dividends(b"quick"),
    lambda: c_sdk.py_qxi_get_serv_addr(b"x"),
    lambda: c_sdk.qxi_strerror(1003),
    lambda: c_sdk.qxi_get_orgcode(),
    lambda: c_sdk.py_qxi_strerror(0),
    lambda: c_sdk.qxi_now(),
    lambda: c_sdk.qxi_poll(),
]


# ---------------------------------------------------------------- hostile objects

JUNK_MARK = object()  # stored only in junk dicts; a record must never answer with it


class Scene:
    """What one input has built so far: bytearrays handed out, records, junk dicts."""

    def __init__(self, inp):
        self.inp = inp
        self.arrays = []
        self.records = []
        self.junk = []
        self.depth = 0


def make_action(scene, allow_nested=True):
    """A callable run inside a conversion, comparison, hash or event."""
    inp = scene.inp
    kind = inp.byte() % 12

    if kind == 0:  # grow an earlier bytearray so its storage moves
        size = inp.pick([0, 1, 64, 4096, 100000])

        def grow():
            for ba in scene.arrays:
                ba.clear()
                ba.extend(b"X" * size)

        return grow
    if kind == 1:  # shrink earlier bytearrays to nothing

        def shrink():
            for ba in scene.arrays:
                del ba[:]

        return shrink
    if kind == 2:  # mutate in place without resizing

        def mutate():
            for ba in scene.arrays:
                if ba:
                    ba[0] = 0

        return mutate
    if kind == 3:  # rebind a module global
        name, value = rebind_choice(scene)

        def rebind():
            NAMESPACE[name] = value

        return rebind
    if kind == 4:  # a library call from inside: the stand-in frees its previous response
        call = inp.pick(QUICK_CALLS)
        return call
    if kind == 5:
        exc = inp.pick([ValueError, TypeError, OverflowError, RecursionError, MemoryError, KeyError])

        def throw():
            raise exc("from a conversion")

        return throw
    if kind == 6 and allow_nested:  # call a random binding with hostile arguments again
        return lambda: nested_call(scene)
    if kind == 7:  # records: rebind data of every record seen so far, leaving junk behind

        def rebind_data():
            for rec in scene.records:
                try:
                    rec.data = {}
                except Exception:  # noqa: BLE001
                    pass
            for _ in range(8):
                scene.junk.append({"a": JUNK_MARK, "price": JUNK_MARK, "symbol": JUNK_MARK})

        return rebind_data
    if kind == 8:  # records store themselves or each other

        def cycle():
            recs = scene.records
            for i, rec in enumerate(recs):
                try:
                    rec.data = recs[(i + 1) % len(recs)]
                except Exception:  # noqa: BLE001
                    pass

        return cycle
    if kind == 9:
        return gc.collect
    if kind == 10 and allow_nested:
        first, second = make_action(scene, False), make_action(scene, False)

        def both():
            first()
            second()

        return both
    return lambda: None


def survive(action, *args):
    """Runs action(*args): a Finding goes on, any other exception is an expected answer."""
    try:
        action(*args)
    except Finding:
        raise
    except Exception:  # noqa: BLE001
        pass


def nested_call(scene):
    if scene.depth >= 3:
        return
    scene.depth += 1
    try:
        survive(call_one, scene, scene.inp.pick(CALLABLES))
    finally:
        scene.depth -= 1


class Hostile:
    """Converts as any number or truth value, running its action first each time."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return int(self.value)

    __int__ = __index__

    def __float__(self):
        self.action()
        return float(self.value)

    def __bool__(self):
        self.action()
        return bool(self.value)

    def __len__(self):
        self.action()
        return 3

    def __eq__(self, other):
        self.action()
        return self.value == other

    def __hash__(self):
        self.action()
        return hash(self.value)


class EqualsZero:
    """A success value with its own equality (runs Python code after every library call)."""

    def __init__(self, action):
        self.action = action

    def __eq__(self, other):
        self.action()
        return other == 0

    def __ne__(self, other):
        self.action()
        return other != 0

    __hash__ = None


class IntEq(int):
    def __eq__(self, other):
        self.action()
        return int(self) == other

    __hash__ = int.__hash__


class Logger:
    def __init__(self, action):
        self.action = action

    def debug(self, message):
        self.action()


def rebind_choice(scene):
    inp = scene.inp
    name = inp.pick(["CSDK_OPERATE_SUCCESS", "IS_PY2", "f", "adapt_to_python3", "py_qxi_strerror",
                     "qxsdklogger", "CSDK_OPERATE_SUCCESS", "CSDK_OPERATE_SUCCESS"])
    action = make_action(scene, allow_nested=False)
    if name == "CSDK_OPERATE_SUCCESS":
        choice = inp.byte() % 6
        if choice == 0:
            int_eq = IntEq(0)
            int_eq.action = action
            return name, int_eq
        return name, [EqualsZero(action), 0, 1, 0.0, None][choice - 1]
    if name == "IS_PY2":
        return name, inp.pick([True, False, Hostile(action, True), Hostile(action, False), None, 1])
    if name == "f":
        return name, inp.pick([make_receiver(scene), None, 42])
    if name == "adapt_to_python3":
        return name, inp.pick([lambda fn: fn, None, SAVED["adapt_to_python3"]])
    if name == "py_qxi_strerror":
        return name, inp.pick([lambda s: b"text", lambda s: "not bytes", None, SAVED["py_qxi_strerror"],
                               lambda s: (action(), b"x")[1]])
    return name, inp.pick([Logger(action), None, SAVED["qxsdklogger"]])


def make_receiver(scene):
    action = make_action(scene)
    raises = scene.inp.flag()

    def receiver(text, payload):
        action()
        if raises:
            raise ValueError("receiver fails")

    return receiver


# ---------------------------------------------------------------- calls


def make_arg(scene, kind):
    inp = scene.inp
    hostile_share = inp.byte() % 4  # 0: benign, else hostile for numbers
    if kind == "buf":
        form = inp.byte() % 5
        body = inp.raw(24) or b"SHSE.600000," * inp.pick([1, 4, 200])
        if form <= 2:
            ba = bytearray(body)
            scene.arrays.append(ba)
            return ba
        if form == 3:
            return body
        return inp.pick([body.decode("latin-1"), memoryview(body), None, 7, Hostile(lambda: None, 1)])
    value = inp.pick([0, 1, -1, 2**31 - 1, 2**31, -(2**63), 3.5, float("nan"), True])
    if hostile_share == 0:
        return value
    return Hostile(make_action(scene), value)


def check_result(name, result):
    if isinstance(result, tuple) and len(result) == 2 and isinstance(result[1], bytes) and result[1]:
        try:
            json.loads(result[1])
        except ValueError:
            raise Finding(f"{name} returned a response the library never wrote: {result[1][:80]!r}")
    if name == "py_qxi_get_serv_addr" and isinstance(result, bytes) and result and not result.startswith(b"tcp://"):
        raise Finding(f"{name} returned a text the library never wrote: {result[:80]!r}")


def call_one(scene, entry):
    name, kinds = entry
    inp = scene.inp
    trace("call", name)
    fn = NAMESPACE.get(name, SAVED[name])
    if name == "py_qxi_set_data_callback":
        return fn(inp.pick([make_receiver(scene), None, 42]))
    if name == "adapt_to_python3":
        wrapped = fn(inp.pick([c_sdk.py_qxi_get_dividends, make_receiver(scene), 1]))
        return wrapped(*[make_arg(scene, "buf") for _ in range(inp.byte() % 3)])
    if name in ("c_status_ok", "c_status_fail"):
        args = [make_arg(scene, "num") for _ in range(1 + inp.byte() % 2)]
        return fn(*args)
    if name in ("py_qxi_run", "qxi_poll"):
        sdk.set_session(inp.byte() % 4, 1000)
        return fn()
    if kinds is None:
        args = [make_arg(scene, inp.pick(["buf", "num"])) for _ in range(inp.byte() % 4)]
    else:
        args = [make_arg(scene, kind) for kind in kinds]
    result = fn(*args)
    check_result(name, result)
    return result


# ---------------------------------------------------------------- scenarios

TRACING = bool(os.environ.get("FUZZ_TRACE"))


def trace(*words):
    """FUZZ_TRACE=1: what each input does, on stderr (to read a reproducer)."""
    if TRACING:
        sys.__stderr__.write(" ".join(str(w) for w in words) + "\n")
        sys.__stderr__.flush()


MIXED = [entry for entry in CALLABLES if entry[1] and "buf" in entry[1] and "num" in entry[1]]
PAIRS = [entry for entry in CALLABLES if entry[1] == ["buf"]]


def scenario_resize(scene):
    """Byte texts from bytearrays, and numbers whose conversion resizes them."""
    inp = scene.inp
    name, kinds = inp.pick(MIXED)
    size = inp.pick([100000, 4096, 0])
    trace("resize", name, size)

    def grow():
        for ba in scene.arrays:
            ba.clear()
            ba.extend(b"X" * size)

    args = []
    for kind in kinds:
        if kind == "buf" and inp.byte() % 4 != 3:  # now and then a number where a text was seen
            args.append(bytearray(b"SHSE.600000," * inp.pick([200, 1, 20])))
            scene.arrays.append(args[-1])
        else:
            args.append(Hostile(grow, inp.pick([1, 0, 1000])))
    NAMESPACE[name](*args)


def scenario_success_eq(scene):
    """A success value whose equality makes library calls, then calls that copy results."""
    inp = scene.inp
    NAMESPACE["CSDK_OPERATE_SUCCESS"] = EqualsZero(inp.pick(QUICK_CALLS))
    for _ in range(1 + inp.byte() % 3):
        name, kinds = inp.pick(PAIRS + [("py_qxi_get_serv_addr", None)])
        trace("success_eq", name)
        result = NAMESPACE[name](inp.raw(8) or b"req")
        check_result(name, result)


def scenario_call(scene):
    """One callable with generated, possibly hostile, arguments."""
    call_one(scene, scene.inp.pick(CALLABLES))


def scenario_rebound_call(scene):
    """A module global rebound first, then several calls."""
    name, value = rebind_choice(scene)
    NAMESPACE[name] = value
    for _ in range(1 + scene.inp.byte() % 3):
        survive(call_one, scene, scene.inp.pick(CALLABLES))


def scenario_events(scene):
    """Events pushed through the stand-in and delivered to re-entrant receivers."""
    inp = scene.inp
    c_sdk.py_qxi_set_data_callback(make_receiver(scene))
    if inp.flag():
        name, value = rebind_choice(scene)
        NAMESPACE[name] = value
    for _ in range(inp.byte() % 4):
        text = inp.pick([b"tick", b"bar", b"order", b"timer", b"bus", b"", None])
        payload = inp.raw(16)
        how = inp.byte() % 5
        try:
            if how == 4:  # from a library thread: dropped with a report, never delivered
                sdk.fire_from_thread(text, payload)
            elif how == 0:
                sdk.push_event(text, payload)
            elif how == 1:
                sdk.flood_events(text, payload, inp.byte() % 50)
            elif how == 2:
                sdk.push_event(text, None, inp.byte() % 3)
            else:
                c_sdk.py_qxi_set_timer(Hostile(make_action(scene), 1000))
        except Exception:  # noqa: BLE001
            pass
    if inp.flag():
        c_sdk.qxi_poll()
    else:
        sdk.set_session(inp.byte() % 4, 1000)
        c_sdk.py_qxi_run()


def record_subclasses():
    out = []
    for cls in RECORD_CLASSES:
        out.append(type("Sub" + cls.__name__, (cls,), {}))
        out.append(type("Slotted" + cls.__name__, (cls,), {"__slots__": ()}))
    return out


SUBCLASSES = record_subclasses()
PROPERTY_NAMES = sorted({k for cls in RECORD_CLASSES for k in vars(cls) if not k.startswith("__")})


class HostileKey:
    """A record key whose hash or equality runs an action (the dict lookup calls them)."""

    def __init__(self, action, name):
        self.action, self.name = action, name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.action()
        return other == self.name


class HostileStore(dict):
    """Storage whose own operations run an action."""

    def __getitem__(self, key):
        self.action()
        return dict.__getitem__(self, key)

    def __setitem__(self, key, value):
        self.action()
        dict.__setitem__(self, key, value)

    def __contains__(self, key):
        self.action()
        return dict.__contains__(self, key)

    def get(self, key, default=None):
        self.action()
        return dict.get(self, key, default)


def make_storage(scene):
    inp = scene.inp
    base = {name: inp.pick([1, 2.5, b"x", "SHSE.600000", None]) for name in PROPERTY_NAMES[: inp.byte() % 8]}
    base["a"] = 1
    kind = inp.byte() % 6
    if kind <= 1:
        return base
    if kind == 2:
        store = HostileStore(base)
        store.action = make_action(scene)
        return store
    if kind == 3 and scene.records:
        return inp.pick(scene.records)
    return inp.pick([[1, 2], None, 5, "text", base])


def make_key(scene):
    inp = scene.inp
    name = inp.pick(PROPERTY_NAMES + ["a", "missing"])
    form = inp.byte() % 4
    if form == 0:
        return HostileKey(make_action(scene), name)
    if form == 1:
        return inp.pick([0, [], None, b"a", Hostile(make_action(scene), 0)])
    return name


def check_value(value):
    if value is JUNK_MARK:
        raise Finding("a record answered from storage it no longer holds")


def record_op(scene, rec):
    inp = scene.inp
    op = inp.byte() % 14
    if op == 0:
        check_value(rec[make_key(scene)])
    elif op == 1:
        rec[make_key(scene)] = inp.pick([1, None, "v", Hostile(make_action(scene), 1)])
    elif op == 2:
        check_value(getattr(rec, inp.pick(PROPERTY_NAMES + ["extra", "a"])))
    elif op == 3:
        setattr(rec, inp.pick(PROPERTY_NAMES + ["extra"]), inp.pick([1, None, "v"]))
    elif op == 4:
        rec.data = make_storage(scene)
    elif op == 5:
        name = inp.pick(PROPERTY_NAMES)
        prop = getattr(type(rec), name, None)
        if prop is not None and hasattr(prop, "__get__"):
            check_value(prop.__get__(rec, type(rec)))
            if inp.flag() and hasattr(prop, "__set__"):
                prop.__set__(rec, inp.pick([1, None, {}]))
    elif op == 6:
        bool(make_key(scene) in rec)
    elif op == 7:
        str(rec) if inp.flag() else repr(rec)
    elif op == 8:
        del rec[make_key(scene)]
    elif op == 9:
        delattr(rec, inp.pick(PROPERTY_NAMES + ["extra"]))
    elif op == 10:
        iterate(rec)
    elif op == 11:
        rec.data = rec
    elif op == 12 and scene.records:
        other = inp.pick(scene.records)
        rec.data, other.data = other, rec
    else:
        gc.collect()


def iterate(rec):
    """Iteration over a record ends (it may refuse with TypeError)."""
    try:
        iterator = iter(rec)
    except TypeError:
        return
    for count, value in enumerate(iterator):
        check_value(value)
        if count >= 10000:
            raise Finding(f"iteration over a {type(rec).__name__} does not end")


def scenario_records(scene):
    inp = scene.inp
    for _ in range(1 + inp.byte() % 3):
        cls = inp.pick(RECORD_CLASSES + SUBCLASSES)
        try:
            scene.records.append(cls(make_storage(scene)))
        except Exception:  # noqa: BLE001
            pass
    if not scene.records:
        return
    for _ in range(1 + inp.byte() % 8):
        survive(record_op, scene, inp.pick(scene.records))
    check_junk(scene)


def scenario_record_lookup(scene):
    """A key whose equality, run by the storage's own lookup, rebinds the record's storage."""
    inp = scene.inp
    cls = inp.pick(RECORD_CLASSES + SUBCLASSES)
    rec = cls({"a": 1, "b": 2, "price": 3.0, "symbol": "SHSE.600000"})
    scene.records.append(rec)
    action = scene_rebind_data(scene) if inp.byte() % 4 else make_action(scene)
    key = HostileKey(action, inp.pick(["a", "price", "symbol"]))
    op = inp.byte() % 4
    trace("record_lookup", cls.__name__, op)
    if op == 0:
        check_value(rec[key])
    elif op == 1:
        rec[key] = "written"
    elif op == 2:
        bool(key in rec)
    else:
        del rec[key]
    check_junk(scene)


def scene_rebind_data(scene):
    def rebind_data():
        for rec in scene.records:
            rec.data = {}
        for _ in range(8):
            scene.junk.append({"a": JUNK_MARK, "price": JUNK_MARK, "symbol": JUNK_MARK})

    return rebind_data


def check_junk(scene):
    """Storage a record let go of must stay as it was left."""
    for junk in scene.junk:
        if set(junk) != {"a", "price", "symbol"} or any(v is not JUNK_MARK for v in junk.values()):
            raise Finding("a record wrote into storage it no longer holds")


# ---------------------------------------------------------------- a foreign dict watcher

try:
    import _testcapi
except ImportError:  # an interpreter built without its test modules
    _testcapi = None
FOREIGN_WATCHERS = hasattr(_testcapi, "add_dict_watcher")  # 3.12 and later


class ForeignWatcher:
    """Another extension's watcher on the module's namespace. It runs after the module's own
    watcher and before the dict changes, and formats the new value with str(), so a value
    below runs Python code in that window. Without dict watchers (before 3.12) the
    rebindings and checks run all the same, only nothing runs inside a store."""

    def __enter__(self):
        self.id = None
        if FOREIGN_WATCHERS:
            self.id = _testcapi.add_dict_watcher(0)
            _testcapi.watch_dict(self.id, NAMESPACE)
        return self

    def __exit__(self, *exc):
        if self.id is not None:
            _testcapi.unwatch_dict(self.id, NAMESPACE)
            _testcapi.clear_dict_watcher(self.id)  # also drops the events it collected


PROBE_STATUS = 7  # a status that is success only while the success value says so
CALLS = {}  # which Recorder each probe reached (by id, so no old value is kept alive)
WINDOW_FINDINGS = []  # the watcher swallows what str() raises: findings wait here
STORING = []  # (name, value) of each store whose watcher is running, innermost last


class Loud:
    """A value whose str(), which the foreign watcher runs on a value being stored, runs an
    action. While it runs, the module may already use the new value or still the old one:
    the dict holds the old one, and the module's watcher has been told of the new one."""

    def __str__(self):
        STORING.append((self.name, self))
        try:
            self.action()
        except Finding as exc:
            WINDOW_FINDINGS.append(exc)
        except Exception:  # noqa: BLE001 - an error is an answer, as anywhere else
            pass
        finally:
            STORING.pop()
        return type(self).__name__


def bound_now(name):
    """The values the module may use for a global now: the dict's, and any being stored."""
    values = [NAMESPACE[name]] if name in NAMESPACE else []
    return values + [value for stored, value in STORING if stored == name]


def raise_window_findings():
    if WINDOW_FINDINGS:
        finding = WINDOW_FINDINGS[0]
        WINDOW_FINDINGS.clear()
        raise finding


class LoudInt(Loud, int):
    """A success value that is an int but not an exact one."""

    name = "CSDK_OPERATE_SUCCESS"


class Equals(Loud):
    """A success value equal to one status."""

    name = "CSDK_OPERATE_SUCCESS"

    def __init__(self, status, action):
        self.status, self.action = status, action

    def __eq__(self, other):
        return other == self.status

    __hash__ = None


class Flag(Loud):
    """IS_PY2 that is not a bool."""

    name = "IS_PY2"

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __bool__(self):
        return self.value


class Recorder(Loud):
    """f, py_qxi_strerror or qxsdklogger: notes that it was the one the module called."""

    def __init__(self, name, action):
        self.name, self.action = name, action

    def __call__(self, first, *rest):
        CALLS[self.name] = (id(self), type(first))
        return b"text"

    def debug(self, message):
        CALLS["qxsdklogger"] = (id(self), type(message))


WATCHED_NAMES = ["CSDK_OPERATE_SUCCESS", "f", "IS_PY2", "py_qxi_strerror", "qxsdklogger"]


def watched_value(scene, name, depth):
    """A new value for a module global; mostly one whose str() runs an action."""
    inp = scene.inp
    action = window_action(scene, depth)
    if name == "CSDK_OPERATE_SUCCESS":
        status = inp.pick([0, PROBE_STATUS])
        form = inp.byte() % 3
        if form == 0:
            return status
        if form == 1:
            value = LoudInt(status)
            value.action = action
            return value
        return Equals(status, action)
    if name == "IS_PY2":
        return inp.pick([True, False, Flag(True, action), Flag(False, action)])
    if name in ("py_qxi_strerror", "qxsdklogger") and inp.byte() % 4 == 0:
        return SAVED[name]
    return Recorder(name, action)


def window_action(scene, depth):
    """What the foreign watcher's str() runs while a global is being rebound."""
    inp = scene.inp
    kind = inp.byte() % 8
    if kind < len(PROBES):
        return PROBES[kind]
    if kind == 4 and depth < 2:
        name = inp.pick(WATCHED_NAMES)
        value = watched_value(scene, name, depth + 1)

        def rebind():
            # Not the name being stored: the interpreter (3.12, 3.13) releases the old
            # value twice and leaks the inner one when a watcher stores the same key.
            if all(name != storing for storing, _ in STORING):
                NAMESPACE[name] = value

        return rebind
    if kind == 5:
        return probe_all
    if kind == 6:
        return gc.collect
    return lambda: None


def probe_success():
    """The success value the module compares with is the one bound now."""
    expected = {PROBE_STATUS == value for value in bound_now("CSDK_OPERATE_SUCCESS")}
    if c_sdk.c_status_ok(PROBE_STATUS) not in expected:
        raise Finding(f"c_status_ok({PROBE_STATUS}) compared with a success value no longer bound")
    sdk.push_status("qxi_get_dividends", PROBE_STATUS)
    status, response = c_sdk.py_qxi_get_dividends(b"probe")
    if (response is not None) not in expected:
        raise Finding(f"a request binding compared status {status} with a success value no longer bound")


def probe_failure():
    """A failed status is explained by the py_qxi_strerror and logged by the qxsdklogger bound now."""
    CALLS.clear()
    c_sdk.c_status_fail(1, "probe")  # 1 is never the success value here
    for name in ("py_qxi_strerror", "qxsdklogger"):
        check_called(name)


def probe_event():
    """An event reaches the f bound now, with the text type IS_PY2 asks for now."""
    CALLS.clear()
    sdk.push_event(b"tick", b"{}")
    c_sdk.qxi_poll()
    check_called("f", {bytes if flag else str for flag in bound_now("IS_PY2")})


def check_called(name, text_types=None):
    """The Recorder called for `name`, if any, is one bound now; it is called if only
    Recorders are."""
    bound = bound_now(name)
    recorders = {id(value) for value in bound if isinstance(value, Recorder)}
    called = CALLS.get(name)
    if called is None:
        if recorders and len(recorders) == len(bound):
            raise Finding(f"the module did not call the {name} bound now")
        return
    if called[0] not in recorders:
        raise Finding(f"the module called a {name} no longer bound")
    if text_types is not None and called[1] not in text_types:
        raise Finding(f"{name} was given {called[1].__name__}, not the text type IS_PY2 asks for")


PROBES = [probe_success, probe_failure, probe_event, probe_success]


def probe_all():
    for probe in PROBES[:3]:
        probe()


def ignore_event(text, payload):
    pass


def scenario_namespace_watcher(scene):
    """Globals rebound while a foreign watcher's code calls the module and rebinds other
    globals in the middle of the store; afterwards every call must use the values bound."""
    inp = scene.inp
    WINDOW_FINDINGS.clear()
    c_sdk.py_qxi_set_data_callback(ignore_event)  # registered, so events are delivered from now on
    with ForeignWatcher():
        c_sdk.py_qxi_set_data_callback(Recorder("f", window_action(scene, 0)))
        raise_window_findings()
        for _ in range(1 + inp.byte() % 4):
            name = inp.pick(WATCHED_NAMES)
            trace("namespace_watcher", name)
            NAMESPACE[name] = watched_value(scene, name, 0)
            raise_window_findings()
            probe_all()


# ---------------------------------------------------------------- type-cache clears


class Churn:
    """A class whose changes use up version tags (which restart after a type-cache clear
    before 3.11), so a record class can be given one it had before."""


def churn(count):
    for i in range(count):
        Churn.x = i
        Churn.x  # noqa: B018 - the lookup gives the class a new tag


def property_classes():
    return [cls for cls in RECORD_CLASSES + SUBCLASSES if any(isinstance(getattr(cls, n, None), property)
                                                              for n in PROPERTY_NAMES)]


PROPERTY_CLASSES = property_classes()
FIELD_NAMES = [n for n in PROPERTY_NAMES if n != "data"]  # data is the storage itself


def replacement(scene, owner, name):
    """What a record class property is replaced by."""
    inp = scene.inp
    own = [vars(base)[n] for base in type.mro(owner) for n in FIELD_NAMES
           if isinstance(vars(base).get(n), property)]
    kind = inp.byte() % 5
    if kind == 0:
        marker = ("replaced", name, inp.byte())
        return property(lambda self: marker)
    if kind == 1 and own:  # another property's getter: the module reads that key itself
        return property(inp.pick(own).fget)
    if kind == 2 and own:  # a setter as the getter: a call with too few arguments
        return property(inp.pick(own).fset)
    if kind == 3:
        return inp.pick([5, None, "class attribute"])
    return property(getattr(owner, name).fget) if isinstance(getattr(owner, name, None), property) else 5


def expected_read(rec, storage, name):
    """What reading the attribute must give, found the interpreter's way (after the read, so
    as not to change which tags the read sees): the class's attribute, else the storage."""
    for klass in type(rec).__mro__:
        if name in vars(klass):
            attr = vars(klass)[name]
            get = getattr(type(attr), "__get__", None)
            if get is None:
                return attr
            try:
                return get(attr, rec, type(rec))
            except AttributeError:  # handed on to __getattr__, as for any class
                break
    return storage[name]


def outcome(read):
    try:
        return "value", read()
    except Exception as exc:  # noqa: BLE001
        return "error", type(exc)


def scenario_type_cache(scene):
    """Record properties read, replaced and read again, with the type cache cleared in
    between: a read must give what the class's property gives now."""
    inp = scene.inp
    cls = inp.pick(PROPERTY_CLASSES)
    storage = {n: f"stored {n}" for n in FIELD_NAMES}
    rec = cls(storage)
    settle_type_cache(storage)
    owners = [k for k in type.mro(cls) if k in PROPERTY_CLASSES]
    originals = {}
    try:
        for _ in range(1 + inp.byte() % 12):
            op = inp.byte() % 7
            name = inp.pick(FIELD_NAMES)
            if op <= 1:
                got = outcome(lambda: getattr(rec, name))
                want = outcome(lambda: expected_read(rec, storage, name))
                trace("type_cache read", cls.__name__, name, got, want)
                if got != want:
                    raise Finding(f"{cls.__name__}.{name} read {got}, the class's property gives {want}")
            elif op == 2:
                trace("type_cache clear")
                sys._clear_type_cache()
            elif op == 3:
                owner = inp.pick(owners)
                trace("type_cache replace", owner.__name__, name)
                originals.setdefault((owner, name), vars(owner).get(name, ABSENT))
                setattr(owner, name, replacement(scene, owner, name))
            elif op == 4 and originals:
                (owner, name), original = inp.pick(list(originals.items()))
                trace("type_cache restore", owner.__name__, name)
                restore(owner, name, original)
            elif op == 5:
                count = inp.byte() % 16
                trace("type_cache churn", count)
                churn(count)
            else:  # a lookup on the class, not through a record, gives it a tag
                trace("type_cache class lookup", cls.__name__, name)
                getattr(cls, name, None)
    finally:
        for (owner, name), original in originals.items():
            restore(owner, name, original)


def settle_type_cache(storage):
    """Every input starts from the same state: what the module remembers about each record
    class is its own properties, and the interpreter's tags start again (before 3.11)."""
    for cls in RECORD_CLASSES:
        rec = cls(storage)
        for name in FIELD_NAMES:
            getattr(rec, name, None)
    sys._clear_type_cache()


ABSENT = object()  # a class that had no attribute of that name


def restore(owner, name, original):
    if original is not ABSENT:
        setattr(owner, name, original)
    elif name in vars(owner):
        delattr(owner, name)


# New scenarios go at the end: an input's first byte picks its scenario from this list.
SCENARIOS = [scenario_call, scenario_resize, scenario_rebound_call, scenario_success_eq, scenario_events,
             scenario_records, scenario_call, scenario_records, scenario_record_lookup,
             scenario_namespace_watcher, scenario_type_cache]
# FUZZ_SCENARIOS=call,rebound_call,... narrows a run to some scenarios (to chase one fault
# past another that is found first).
if os.environ.get("FUZZ_SCENARIOS"):
    _wanted = os.environ["FUZZ_SCENARIOS"].split(",")
    SCENARIOS = [s for s in SCENARIOS if s.__name__[len("scenario_"):] in _wanted]


def _quiet(*args):
    pass


def test_one_input(data):
    scene = Scene(Input(data))
    try:
        scene.inp.pick(SCENARIOS)(scene)
    except Finding:
        raise
    except RecursionError:
        pass
    except Exception:  # noqa: BLE001 - errors are answers; only crashes and Findings are findings
        pass
    finally:
        for rec in scene.records:  # break cycles so the next input starts clean
            try:
                rec.data = None
            except Exception:  # noqa: BLE001
                pass
        NAMESPACE.clear()
        NAMESPACE.update(SAVED)
        sdk.reset()
        sdk.enable_journal(False)


def setup_process():
    # Receivers raise on purpose: keep their reports off the terminal.
    sys.excepthook = _quiet
    sys.unraisablehook = _quiet
    sys.setrecursionlimit(400)
    sdk.enable_journal(False)


def inputs_from(paths):
    for path in paths:
        if os.path.isdir(path):
            for name in sorted(os.listdir(path)):
                with open(os.path.join(path, name), "rb") as fh:
                    yield os.path.join(path, name), fh.read()
        else:
            with open(path, "rb") as fh:
                yield path, fh.read()


def run_one_plain(data, name):
    """One input outside libFuzzer; a finding names the input and ends the run."""
    try:
        test_one_input(data)
    except Finding:
        sys.__stderr__.write(f"finding with input {name}\n")
        sys.excepthook = sys.__excepthook__
        raise


def run_plain(argv):
    seconds, seed, last, paths = 10.0, None, None, []
    it = iter(argv)
    for arg in it:
        if arg == "--seconds":
            seconds = float(next(it))
        elif arg == "--last":
            last = next(it)
        elif arg == "--seed":
            seed = int(next(it))
        else:
            paths.append(arg)
    setup_process()
    faulthandler.enable()
    replayed = 0
    for path, data in inputs_from(paths):
        run_one_plain(data, path)
        replayed += 1
    rng = random.Random(seed)
    deadline, count = time.monotonic() + seconds, 0
    while time.monotonic() < deadline:
        data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64)))
        if last:  # survives a hard crash, to be replayed
            with open(last, "wb") as fh:
                fh.write(data)
        run_one_plain(data, data.hex())
        count += 1
    print(f"replayed {replayed} inputs, ran {count} random inputs, no finding")


def fuzz_one(data):
    """One input under libFuzzer: True for a finding, after printing it."""
    try:
        test_one_input(data)
    except BaseException:  # noqa: BLE001 - a Finding, or a harness fault that must not pass unseen
        traceback.print_exc(file=sys.__stderr__)
        sys.__stderr__.flush()
        return True
    return False


def libfuzzer_entry():
    """Called once by the libFuzzer harness (fuzz/fuzz_main.cpp): the callable it runs per input."""
    setup_process()
    return fuzz_one


def main():
    if "--plain" not in sys.argv:
        sys.exit("usage: tools/fuzz.sh [libFuzzer options], or python3 fuzz/fuzz_c_sdk.py --plain ...")
    run_plain([a for a in sys.argv[1:] if a != "--plain"])


if __name__ == "__main__":
    main()
