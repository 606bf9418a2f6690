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


SCENARIOS = [scenario_call, scenario_resize, scenario_rebound_call, scenario_success_eq, scenario_events,
             scenario_records, scenario_call, scenario_records, scenario_record_lookup]
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
