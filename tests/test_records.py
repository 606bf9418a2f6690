"""Record classes: key and attribute views over a storage mapping."""

import gc
import inspect
import os
import subprocess
import sys
import traceback
import types
import weakref

import pytest

import c_sdk
from conftest import raises_non_text_result, raises_not_a_container, refcount_growth, run_child, swallow

Quote, Tick, Bar, Obj = (c_sdk.QuoteItemLikeDict2, c_sdk.TickLikeDict2, c_sdk.BarLikeDict2,
                         c_sdk.ObjectLikeDict2)
CLASSES = [Quote, Tick, Bar, Obj]
ids = [c.__name__ for c in CLASSES]

TICK_PROPS = ["quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume",
              "cum_amount", "cum_position", "last_amount", "last_volume", "trade_type",
              "receive_local_time"]
QUOTE_PROPS = ["bid_p", "bid_v", "ask_p", "ask_v"]
BAR_PROPS = ["symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount",
             "pre_close", "position", "frequency", "receive_local_time"]
PROPS = {Quote: QUOTE_PROPS, Tick: TICK_PROPS, Bar: BAR_PROPS, Obj: []}
TICK_METHODS = ["__init__", "__getitem__", "__setitem__", "__getattr__", "__setattr__",
                "__str__", "__repr__"]
METHODS = {
    Quote: TICK_METHODS,
    Tick: TICK_METHODS,
    Bar: ["__init__", "__getitem__", "__setitem__", "__contains__", "__getattr__",
          "__setattr__", "__str__", "__repr__"],
    Obj: ["__init__", "__getitem__", "__getattr__", "__setitem__", "__setattr__", "__str__",
          "__repr__"],
}

each_class = pytest.mark.parametrize("cls", CLASSES, ids=ids)
with_props = pytest.mark.parametrize("cls", [Quote, Tick, Bar], ids=ids[:3])


def python_twin(cls):
    """The same class written in Python: the reference for the interpreter's own messages."""
    def __init__(self, data):
        self.data = data

    def __setattr__(self, item, value):
        if item != "data":
            self.data[item] = value
        else:
            super(twin, self).__setattr__(item, value)

    ns = {"__slots__": ["data"], "__init__": __init__, "__setattr__": __setattr__,
          "__getitem__": lambda self, item: self.data.get(item),
          "__getattr__": lambda self, item: self.data.get(item)}
    for name in PROPS[cls]:
        getter = (lambda key: lambda self: self.data.get(key))(name)
        ns[name] = property(getter, None if cls is Quote else getter)
    twin = type(cls.__name__, (object,), ns)
    return twin


def message(action):
    with pytest.raises(Exception) as info:
        action()
    return type(info.value), str(info.value)


class Recorder(dict):
    """A dict storage whose own `get` must be used, and which logs every use."""

    def __init__(self, *args):
        super().__init__(*args)
        self.log = []

    def get(self, key, default=None):
        self.log.append(("get", key))
        return "got-" + str(key)

    def __setitem__(self, key, value):
        self.log.append(("set", key, value))
        super().__setitem__(key, value)


class Mapping:
    """A storage that is no dict at all."""

    def __init__(self):
        self.items = {}

    def get(self, key):
        return self.items.get(key, "default")

    def __setitem__(self, key, value):
        self.items[key] = value

    def __contains__(self, key):
        return key in self.items

    def __str__(self):
        return "mapping-str"

    def __repr__(self):
        return "mapping-repr"


# ---- The record protocol, for every class -------------------------------------------


@each_class
def test_reads_by_key_and_attribute(cls):
    d = {"a": 1, "zero": 0, "off": False, "none": None, "keys": "stored-keys"}
    rec = cls(d)
    assert rec["a"] == 1 and rec.a == 1
    assert rec["b"] is None and rec.b is None
    assert rec.zero == 0 and type(rec.zero) is int and rec["off"] is False
    assert rec.none is None and hasattr(rec, "anything")
    # No dict methods: names like them read stored keys.
    assert rec.keys == "stored-keys" and rec.items is None and rec.get is None
    # Names the class or every object defines are found first.
    assert rec.__class__ is cls and callable(rec.__init__)
    assert rec.__doc__ is None
    with pytest.raises(TypeError, match="unhashable"):
        rec[["list"]]


def test_property_reads_find_keys_by_equality():
    # Repeated reads (the remembered property) of keys stored as equal but distinct
    # strs, among keys of other types, and of a missing key.
    price = "".join(["pri", "ce"])
    for d in ({price: 1.5}, {price: 2.5, 0: "int", (1, 2): "tuple"}, {"symbol": "s"}):
        rec = Tick(d)
        assert [rec.price for _ in range(3)] == [d.get("price")] * 3
        assert [Tick.price.fget(rec) for _ in range(3)] == [d.get("price")] * 3


@each_class
def test_writes_reach_the_callers_dict(cls):
    d = {}
    rec = cls(d)
    rec.x = 5
    rec["y"] = 6
    rec.__init__ = "init"      # method names and special names go to the storage too
    rec.__doc__ = "doc"
    cls.__setattr__(rec, 5, "int-key")
    assert d == {"x": 5, "y": 6, "__init__": "init", "__doc__": "doc", 5: "int-key"}
    assert callable(rec.__init__) and rec["__init__"] == "init"
    for name in PROPS[cls]:
        setattr(rec, name, name.upper())
        assert d[name] == name.upper() and getattr(rec, name) == name.upper()


@each_class
def test_data_attribute(cls):
    first, second = {"k": 1}, {"k": 2}
    rec = cls(first)
    assert rec.data is first
    rec["data"] = "stored"                  # a key named data stays in the storage
    assert first["data"] == "stored" and rec.data is first and rec["data"] == "stored"
    rec.data = second
    assert rec.data is second and rec.k == 2
    rec.w = 1
    assert first == {"k": 1, "data": "stored"} and second == {"k": 2, "w": 1}
    cls.__init__(rec, data=first)
    assert rec.data is first
    assert cls(data=second).k == 2


def test_records_share_storage():
    d = {}
    recs = [cls(d) for cls in CLASSES]
    for i, rec in enumerate(recs):
        rec["k%d" % i] = i
        setattr(rec, "a%d" % i, i)
    for rec in recs:
        assert all(rec["k%d" % i] == i and getattr(rec, "a%d" % i) == i
                   for i in range(len(recs)))
    assert len(d) == 2 * len(recs)


@each_class
def test_storage_that_is_not_a_plain_dict(cls):
    store = Recorder({"a": 1})
    rec = cls(store)
    assert rec.a == "got-a" and rec["b"] == "got-b" and rec.missing == "got-missing"
    rec.x = 1
    rec["y"] = 2
    assert store.log == [("get", "a"), ("get", "b"), ("get", "missing"),
                         ("set", "x", 1), ("set", "y", 2)]
    if PROPS[cls]:
        name = PROPS[cls][0]
        assert getattr(rec, name) == "got-" + name and store.log[-1] == ("get", name)

    mapping = Mapping()
    rec = cls(mapping)
    rec.x = 3
    assert rec.x == 3 and rec["nothing"] == "default"
    assert str(rec) == "mapping-str" and repr(rec) == "mapping-repr"


@each_class
def test_storage_none_and_errors_propagate(cls):
    rec = cls(None)
    for read in (lambda: rec.a, lambda: rec["a"]):
        assert message(read) == (AttributeError, "'NoneType' object has no attribute 'get'")
    for write in (lambda: setattr(rec, "a", 1), lambda: rec.__setitem__("a", 1)):
        assert message(write) == (TypeError,
                                  "'NoneType' object does not support item assignment")
    assert str(rec) == "None" and repr(rec) == "None"
    rec.data = {"a": 1}             # assigning data still works
    assert rec.a == 1

    class Boom(Exception):
        pass

    class Failing(dict):
        def get(self, key):
            raise Boom(key)

    rec = cls(Failing())
    with pytest.raises(Boom) as info:
        rec["k"]
    assert info.value.args == ("k",)
    names = [frame.name for frame in traceback.extract_tb(info.tb)]
    assert "c_sdk.%s.__getitem__" % cls.__name__ in names


@each_class
def test_attribute_error_in_lookup_falls_back_like_python(cls):
    # A property whose read raises AttributeError hands the name on to __getattr__,
    # so the storage is asked twice, as for the same class written in Python.
    class Missing(dict):
        def __init__(self):
            self.log = []

        def get(self, key):
            self.log.append(key)
            raise AttributeError("no " + key)

    names = ["plain"] + PROPS[cls][:2]
    rec, twin = cls(Missing()), python_twin(cls)(Missing())
    for name in names:
        assert message(lambda: getattr(rec, name)) == message(lambda: getattr(twin, name))
    assert rec.data.log == twin.data.log == [n for name in names
                                             for n in ([name] * (1 if name == "plain" else 2))]


@each_class
def test_argument_errors(cls):
    store = Recorder()
    rec = cls(store)
    cases = [
        (lambda: cls(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: cls(1, 2), "__init__() takes exactly 2 positional arguments (3 given)"),
        (lambda: cls({}, dta=1), "__init__() got an unexpected keyword argument 'dta'"),
        (lambda: cls.__init__(rec, 1, data=2),
         "__init__() got multiple values for keyword argument 'data'"),
        (lambda: cls.__getitem__(rec),
         "__getitem__() takes exactly 2 positional arguments (1 given)"),
        (lambda: rec.__getattr__("a", "b"),
         "__getattr__() takes exactly 2 positional arguments (3 given)"),
        (lambda: rec.__setitem__("a"),
         "__setitem__() takes exactly 3 positional arguments (2 given)"),
        (lambda: rec.__setattr__("a", 1, item="b"),
         "__setattr__() got multiple values for keyword argument 'item'"),
        (lambda: cls.__str__(), "__str__() takes exactly one argument (0 given)"),
        (lambda: cls.__repr__(rec, rec), "__repr__() takes exactly one argument (2 given)"),
        (lambda: cls.__str__(self=rec), "__str__() takes no keyword arguments"),
    ]
    for call, text in cases:
        assert message(call) == (TypeError, text)
    assert store.log == [] and rec.data is store
    # By keyword, every parameter including the instance.
    cls.__setattr__(self=rec, item="k", value=1)
    cls.__setitem__(rec, value=2, item="j")
    assert cls.__getitem__(self=rec, item="k") == "got-k"
    assert store == {"k": 1, "j": 2}


@each_class
def test_deletion_is_refused(cls):
    d = {"a": 1, "price": 2, "bid_p": 3, "symbol": 4}
    before = dict(d)
    rec, twin = cls(d), python_twin(cls)(dict(d))
    names = ["a", "missing", "__init__"] + PROPS[cls][:2]
    for name in names:
        # Same exception and text as the class written in Python gives.
        assert message(lambda: delattr(rec, name)) == message(lambda: delattr(twin, name))
    with pytest.raises(AttributeError):
        del rec["a"]
    assert d == before
    del rec.data
    assert message(lambda: rec.a) == (AttributeError,
                                      "'%s' object has no attribute 'data'" % cls.__name__)
    assert d == before


@each_class
def test_empty_slot_raises(cls):
    rec = cls.__new__(cls)
    text = "'%s' object has no attribute 'data'" % cls.__name__
    actions = [lambda: rec.data, lambda: rec.a, lambda: rec["a"], lambda: setattr(rec, "a", 1),
               lambda: rec.__setitem__("a", 1), lambda: str(rec), lambda: repr(rec),
               lambda: cls.__getattr__(rec, "a"), lambda: cls.__str__(rec)]
    actions += [lambda name=name: getattr(rec, name) for name in PROPS[cls]]
    if cls is Bar:
        actions += [lambda: "a" in rec, lambda: Bar.symbol.fset(rec, 1)]
    for action in actions:
        assert message(action) == (AttributeError, text)
    assert rec.__class__ is cls
    rec.data = {"a": 1}
    assert rec.a == 1


@each_class
def test_text_forms_are_the_storages(cls):
    d = {"a": 1, "b": [2]}
    rec = cls(d)
    assert str(rec) == str(d) and repr(rec) == repr(d) and "%s" % rec == str(d)

    class Odd(dict):
        def __str__(self):
            return 42

    rec = cls(Odd())
    assert rec.__str__() == 42           # returned unchanged
    with raises_non_text_result("__str__", "int"):
        str(rec)


@each_class
def test_no_container_protocol_of_its_own(cls):
    d = {}
    rec, other = cls(d), cls(d)
    for action in (lambda: iter(rec), lambda: list(rec), lambda: len(rec)):
        with pytest.raises(TypeError):
            action()
    if cls is not Bar:
        with raises_not_a_container(cls.__name__):
            0 in rec
    assert bool(rec) and rec == rec and rec != other
    assert hash(rec) == object.__hash__(rec)


@each_class
def test_class_shape(cls):
    assert cls.__bases__ == (object,) and type(cls) is type
    assert (cls.__module__, cls.__qualname__, cls.__name__) == ("c_sdk", cls.__name__,
                                                                 cls.__name__)
    assert repr(cls) == "<class 'c_sdk.%s'>" % cls.__name__
    assert cls.__slots__ == ["data"] and type(cls.__slots__) is list
    assert [k for k in cls.__dict__ if k not in ("__module__", "data", "__doc__")] == \
        ["__slots__"] + METHODS[cls] + ["__iter__"] + PROPS[cls]
    # No special method but the listed ones (object's apply); `__iter__ = None` only
    # marks the classes, and their subclasses, as not iterable.
    assert cls.__dict__["__iter__"] is None
    specials = {k for k in cls.__dict__ if k.startswith("__")}
    assert specials == {"__module__", "__slots__", "__doc__", "__iter__"} | set(METHODS[cls])
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    rec = cls({})
    with pytest.raises(TypeError):
        weakref.ref(rec)
    assert not any(issubclass(cls, other) for other in CLASSES if other is not cls)
    # Methods are functions that bind to instances.
    for name in METHODS[cls]:
        assert getattr(rec, name).__self__ is rec
        params = list(inspect.signature(getattr(cls, name)).parameters)
        assert params[0] == "self" and getattr(cls, name).__name__ == name
    assert list(inspect.signature(cls.__setattr__).parameters) == ["self", "item", "value"]


@each_class
def test_methods_called_with_other_objects(cls):
    d = {"a": 1}
    holder = types.SimpleNamespace(data=d)
    assert cls.__getitem__(holder, "a") == 1 and cls.__getattr__(holder, "b") is None
    cls.__setattr__(holder, "x", 2)
    cls.__setitem__(holder, "y", 3)
    assert d == {"a": 1, "x": 2, "y": 3}
    assert cls.__str__(holder) == str(d)
    cls.__init__(holder, {"new": 1})
    assert holder.data == {"new": 1}
    twin = python_twin(cls)
    assert message(lambda: cls.__setattr__(holder, "data", 1)) == \
        message(lambda: twin.__setattr__(holder, "data", 1))
    with pytest.raises(AttributeError):
        cls.__getitem__(object(), "a")


@each_class
def test_python_subclasses(cls):
    class Sub(cls):
        def __getattr__(self, item):
            return ("sub", item)

        def doubled(self):
            return self["a"] * 2

    d = {"a": 2}
    sub = Sub(d)
    assert sub.data is d and sub["a"] == 2 and sub.a == ("sub", "a")
    assert sub["missing"] is None and sub.doubled() == 4 and str(sub) == str(d)
    sub.x = 1
    assert d["x"] == 1 and "x" not in sub.__dict__
    with pytest.raises(AttributeError):
        del sub.x
    assert d == {"a": 2, "x": 1}
    sub.data = {"a": 5}
    assert sub["a"] == 5 and d["a"] == 2
    del sub.data
    assert message(lambda: sub["a"]) == (AttributeError, "'Sub' object has no attribute 'data'")

    class Slim(cls):
        __slots__ = ()

    slim = Slim(d)
    assert slim.a == 2 and slim.missing is None
    assert Slim.__dictoffset__ == 0 and Slim.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        weakref.ref(slim)
    slim.z = 3
    assert d["z"] == 3

    log = []

    class Mixin:
        def __setattr__(self, item, value):
            log.append(item)
            object.__setattr__(self, item, value)

    class Mixed(cls, Mixin):
        pass

    mixed = Mixed(d)       # assigning data goes on to the next class in the MRO
    mixed.y = 1
    assert log == ["data"] and mixed.data is d and d["y"] == 1


@each_class
def test_cycles_are_collected_and_long_chains_freed(cls):
    class Marker:
        pass

    marker = Marker()
    alive = weakref.ref(marker)
    d = {"marker": marker}
    d["self"] = cls(d)
    del d, marker
    gc.collect()
    assert alive() is None


def test_long_chains_are_released():
    # Each record holds the next as its storage; releasing the head must not recurse
    # once per link on the C stack. Run apart, so that a crash is a plain failure.
    code = ("import c_sdk\nfor cls in (c_sdk.TickLikeDict2, c_sdk.ObjectLikeDict2):\n"
            "    chain = None\n    for _ in range(1000000): chain = cls(chain)\n"
            "    del chain\nprint('released')")
    assert run_apart(code) == "released"


# ---- Properties ---------------------------------------------------------------------


@with_props
def test_properties_read_and_write_their_own_keys(cls):
    d = {name: "value-" + name for name in PROPS[cls]}
    rec = cls(d)
    for name in PROPS[cls]:
        prop = cls.__dict__[name]
        assert type(prop) is property and prop.fget.__name__ == name
        assert getattr(rec, name) == "value-" + name == prop.fget(rec)
        assert prop.fdel is None
    d.clear()
    d["zero"] = 0
    assert all(getattr(rec, name) is None for name in PROPS[cls])
    if cls is Tick:
        quotes = [{"bid_p": 1}]
        d.update(quotes=quotes, price=0)
        assert rec.quotes is quotes and rec.price == 0 and type(rec.price) is int


@with_props
def test_every_name_reads_its_own_key(cls):
    # Property names are found by the name object's address in a small table: among
    # hundreds of other names some share a bucket with a property name, and each must
    # still read its own key, on the first read and on the remembered ones.
    names = PROPS[cls] + [sys.intern("name_%d" % i) for i in range(400)]
    rec = cls({name: i for i, name in enumerate(names)})
    for _ in range(2):
        assert [getattr(rec, name) for name in names] == list(range(len(names)))


@with_props
def test_property_accessor_calls(cls):
    name = PROPS[cls][1]
    prop = cls.__dict__[name]
    rec = cls({name: 1})
    assert message(lambda: prop.fget()) == (TypeError,
                                            "%s() takes exactly one argument (0 given)" % name)
    assert message(lambda: prop.fget(rec, rec)) == (
        TypeError, "%s() takes exactly one argument (2 given)" % name)
    assert message(lambda: prop.fget(self=rec)) == (
        TypeError, "%s() takes no keyword arguments" % name)
    if cls is Quote:
        assert prop.fset is None
        with pytest.raises(AttributeError):
            prop.__set__(rec, 5)
        rec.bid_p = 7                     # still stored through __setattr__
        assert rec.data["bid_p"] == 7 and rec.bid_p == 7
        return
    assert prop.fset.__name__ == name and prop.fset(rec, 2) is None
    assert rec.data[name] == 2
    prop.fset(self=rec, value=3)
    prop.__set__(rec, 4)
    assert rec.data[name] == 4
    assert message(lambda: prop.fset(rec)) == (
        TypeError, "%s() takes exactly 2 positional arguments (1 given)" % name)
    assert message(lambda: prop.fset(rec, 1, value=2)) == (
        TypeError, "%s() got multiple values for keyword argument 'value'" % name)


def test_replaced_and_shadowed_properties(monkeypatch):
    d = {"price": 1}

    class Mine(Tick):
        price = property(lambda self: "shadowed")

    assert Mine(d).price == "shadowed" and Tick(d).price == 1
    monkeypatch.setattr(Tick, "price", property(lambda self: "replaced"))
    assert Tick(d).price == "replaced"
    monkeypatch.setattr(Tick, "price", property(Bar.close.fget))   # another class's getter
    d["close"] = "close-value"
    assert Tick(d).price == "close-value"


def test_property_changes_on_the_class_are_seen_by_the_next_read(monkeypatch):
    """Reads are fast after the first, yet every change of the class's namespace, and a
    property re-initialised in place, decides the very next read. (Rebinding an existing
    name keeps the namespace's order, which other tests check.)"""
    d = {"price": 1, "open": 2}
    rec, sub = Tick(d), type("Sub", (Tick,), {})(d)

    def reads(n=3):
        return {(rec.price, sub.price) for _ in range(n)}

    assert reads() == {(1, 1)}
    monkeypatch.setattr(Tick, "price", property(lambda self: "replaced"))
    assert reads() == {("replaced", "replaced")}
    monkeypatch.setattr(Tick, "price", Tick.__dict__["open"])  # another key's property
    assert reads() == {(2, 2)}
    monkeypatch.setattr(Tick, "price", 5)  # not a descriptor at all
    assert reads() == {(5, 5)}
    copy = property(Bar.__dict__["close"].fget)
    monkeypatch.setattr(Tick, "price", copy)
    d["close"] = "close-value"
    assert reads() == {("close-value", "close-value")}
    copy.__init__(lambda self: "re-initialised")  # same object, same class namespace
    assert reads() == {("re-initialised", "re-initialised")}
    own = property(Tick.__dict__["open"].fget)  # one of the class's own getters, re-initialised
    monkeypatch.setattr(Tick, "price", own)
    assert reads() == {(2, 2)}
    own.__init__(lambda self: "re-initialised")
    assert reads() == {("re-initialised", "re-initialised")}
    monkeypatch.undo()
    assert reads() == {(1, 1)} and isinstance(Tick.__dict__["price"], property)


# Properties that hold one of the class's own functions without being one of its own
# getters' plain properties: the read calls them. A setter function lies right after the
# getters, where a check one too wide would read a key past the last (in a child: out of
# bounds); a property subclass may answer otherwise than its getter.
NOT_OWN_GETTERS = {
    "setter as getter": ("property(cls.{first}.fset)", "TypeError: {first}() takes exactly 2 positional arguments "
                                                       "(1 given)"),
    "property subclass": ("type('Traced', (property,), {{'__get__': lambda *a: 'traced'}})(cls.{first}.fget)",
                          "traced"),
}


@pytest.mark.parametrize("cls", [Tick, Bar], ids=["Tick", "Bar"])
@pytest.mark.parametrize("kind", NOT_OWN_GETTERS)
def test_properties_that_are_not_own_getters_are_called(cls, kind):
    first, (made, expected) = PROPS[cls][0], NOT_OWN_GETTERS[kind]
    child = run_child(f"""
        cls = c_sdk.{cls.__name__}
        rec = cls({{"{first}": 1}})
        cls.{PROPS[cls][-1]} = cls.other = {made.format(first=first)}
        for name in ["{PROPS[cls][-1]}", "other"] * 3:
            try:
                print(getattr(rec, name))
            except TypeError as error:
                print("TypeError:", error)
    """)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout.splitlines() == [expected.format(first=first)] * 6


def test_deleted_property_hands_the_name_to_getattr():
    # In a child: deleting reorders the class namespace for good. Who read the storage
    # shows in the traceback of its error: the property, then __getattr__.
    child = run_child("""
        import traceback

        class Storage(dict):
            def get(self, key, default=None):
                raise KeyError(key)

        def reader(rec):
            try:
                rec.price
            except KeyError as error:
                return traceback.extract_tb(error.__traceback__)[-2].name

        rec = c_sdk.TickLikeDict2(Storage())
        print([reader(rec) for _ in range(3)])
        del c_sdk.TickLikeDict2.price
        print([reader(rec) for _ in range(3)], "price" in c_sdk.TickLikeDict2.__dict__)
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [str(["c_sdk.TickLikeDict2.price"] * 3),
                                         str(["c_sdk.TickLikeDict2.__getattr__"] * 3) + " False"]


# ---- Bar membership -----------------------------------------------------------------


def test_bar_membership():
    d = {"close": None, "volume": 0}
    bar = Bar(d)
    assert ("close" in bar) is True and ("high" in bar) is False and (0 in bar) is False
    assert bar.close is None and bar.volume == 0
    bar.eob = "t"
    assert Bar.__contains__(bar, key="eob") is True and d["eob"] == "t"
    assert message(lambda: Bar.__contains__(bar)) == (
        TypeError, "__contains__() takes exactly 2 positional arguments (1 given)")
    bar.data = {"other": 1}
    assert "other" in bar and "close" not in bar
    with pytest.raises(TypeError, match="unhashable"):
        [] in bar
    bar.data = 5
    with raises_not_a_container("int"):
        "x" in bar
    with pytest.raises(AttributeError):
        bar.close
    assert ("default" in Bar(Mapping())) is False


# ---- References -------------------------------------------------------------------


@each_class
def test_no_reference_leaks(cls):
    d = {"a": 1}
    # A key of its own: the interned "key" is shared, and the interpreter's type cache may
    # hold or drop a reference to it whenever an attribute of that name is looked up.
    key, value = "".join(["k", "ey"]), object()
    props = PROPS[cls]

    class Sub(cls):
        pass

    def action():
        rec = cls(d)
        rec.a
        rec["a"]
        rec.missing
        rec[key] = value
        setattr(rec, key, value)
        str(rec)
        for name in props[:2]:
            getattr(rec, name)
            if cls is not Quote:
                cls.__dict__[name].fset(rec, value)
        if cls is Bar:
            key in rec
        cls.__setattr__(self=rec, item="data", value=d)
        Sub(d).a
        none = cls(None)
        swallow((lambda: none.a, lambda: rec[[]], lambda: cls.__new__(cls)[key], lambda: cls()), (AttributeError, TypeError))

    counts = (sys.getrefcount(d), sys.getrefcount(key), sys.getrefcount(value))
    growth = refcount_growth(action, repeat=5000, rounds=3)
    d.clear()
    gc.collect()
    assert (sys.getrefcount(d), sys.getrefcount(key), sys.getrefcount(value)) == counts
    assert growth < 50



def run_apart(code):
    """Runs `code` in a fresh interpreter (for what must not touch this process's
    classes, or may crash) and returns its output."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    code = "import qxsdk_standin\nqxsdk_standin.activate()\n" + code
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout.strip()


def test_replaced_methods_take_effect():
    # Construction assigns `data` through whatever __setattr__ the class has now, and
    # calling the class runs its current __new__ and __init__.
    # Each check runs on classes whose other methods are untouched.
    code = """if True:
        import c_sdk
        d = {}
        for cls in (c_sdk.QuoteItemLikeDict2, c_sdk.TickLikeDict2):
            cls.__new__ = lambda klass, data: ("new", data)
            assert cls(d) == ("new", d)
        for cls in (c_sdk.BarLikeDict2, c_sdk.ObjectLikeDict2):
            seen = []
            original = cls.__dict__["__setattr__"]
            def spy(self, item, value):
                seen.append(item)
                original.__get__(self)(item, value)
            cls.__setattr__ = spy
            rec = cls(d)
            rec.x = 1
            assert seen == ["data", "x"] and rec.data is d and d == {"x": 1}, seen
            cls.__setattr__ = original
            rec = cls(d)
            rec.y = 2
            assert seen == ["data", "x"] and d == {"x": 1, "y": 2} and rec.data is d
            d.clear()
            cls.__init__ = lambda self, data: seen.append(("init", data))
            try:
                cls(d).data
            except AttributeError:
                pass
            else:
                raise AssertionError("data was set")
            assert seen[-1] == ("init", d), seen
        print("ok")
    """
    assert run_apart(code) == "ok"
