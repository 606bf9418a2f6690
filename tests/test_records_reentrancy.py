"""Records whose storage runs code of its own: subclasses end iteration, the storage
stays alive for the whole operation, and records storing records end in RecursionError."""

import collections.abc

import pytest

import c_sdk
from conftest import raises_not_a_container

Quote, Tick, Bar, Obj = (c_sdk.QuoteItemLikeDict2, c_sdk.TickLikeDict2, c_sdk.BarLikeDict2,
                         c_sdk.ObjectLikeDict2)
CLASSES = [Quote, Tick, Bar, Obj]
each_class = pytest.mark.parametrize("cls", CLASSES, ids=[c.__name__ for c in CLASSES])


class Bounded(dict):
    """Storage whose get gives up after a while, so that a fault shows as an error, not a hang."""

    def get(self, key, default=None):
        self.calls = getattr(self, "calls", 0) + 1
        if self.calls > 1000:
            raise RuntimeError("iterated through get")
        return super().get(key, default)


@each_class
def test_subclasses_are_not_iterable(cls):
    class Sub(cls):
        pass

    class Grandchild(Sub):
        x = 1

    for klass in (Sub, Grandchild):
        rec = klass(Bounded(a=1))
        for action in (lambda: iter(rec), lambda: list(rec), lambda: tuple(rec)):
            with pytest.raises(TypeError, match="object is not iterable"):
                action()
        if cls is Bar:
            assert "a" in rec and 0 not in rec
        else:
            with raises_not_a_container(klass.__name__):
                0 in rec
        assert not isinstance(rec, collections.abc.Iterable)
        assert rec["a"] == 1 and rec[0] is None  # item access is unchanged


@each_class
def test_subclass_with_its_own_protocol(cls):
    class Iterable(cls):
        def __iter__(self):
            return iter(self.data)

        def __contains__(self, key):
            return key in self.data

    rec = Iterable({"a": 1, "b": 2})
    assert list(rec) == ["a", "b"] and "b" in rec and "z" not in rec


JUNK = []


class Rebinding:
    """A key equal to `name` whose equality test rebinds the record's storage, leaving
    the old one with no other reference, then allocates dicts that could reuse its memory."""

    def __init__(self, rec, name="a"):
        self.rec = rec
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        rec, self.rec = self.rec, None
        if rec is not None:
            rec.data = {}
            JUNK.extend({self.name: "JUNK"} for _ in range(20))
        return other == self.name


def with_rebinding_key(cls, name, value):
    """A record whose only storage holds `value` under a Rebinding key named `name`."""
    rec = cls({})
    rec.data = {Rebinding(rec, name): value}
    return rec


@pytest.fixture(autouse=True)
def clear_junk():
    JUNK.clear()
    yield
    assert all(d == {d and next(iter(d)): "JUNK"} for d in JUNK)  # never written into
    JUNK.clear()


@each_class
def test_reads_hold_the_storage(cls):
    rec = cls({"b": 2})
    rec.data = {"a": 1, "b": 2}
    assert rec[Rebinding(rec)] == 1  # answered by the storage the lookup started in
    assert rec.data == {}
    assert with_rebinding_key(cls, "zz", 5).zz == 5  # attribute fallback
    assert cls.__getitem__(with_rebinding_key(cls, "a", 6), "a") == 6
    assert cls.__getattr__(with_rebinding_key(cls, "a", 7), "a") == 7


@pytest.mark.parametrize("cls", [Quote, Tick, Bar], ids=["Quote", "Tick", "Bar"])
def test_property_reads_hold_the_storage(cls):
    name = {Quote: "bid_p", Tick: "price", Bar: "close"}[cls]
    for _ in range(3):  # the first read through the class's namespace, then the remembered property
        assert getattr(with_rebinding_key(cls, name, 3.5), name) == 3.5
    assert getattr(cls, name).fget(with_rebinding_key(cls, name, 4.5)) == 4.5


@each_class
def test_writes_hold_the_storage(cls):
    for write in (lambda rec, key: rec.__setitem__(key, "new"),
                  lambda rec, key: cls.__setitem__(rec, key, "new")):
        rec = cls({})
        storage = {"a": 1}
        rec.data = storage
        write(rec, Rebinding(rec))
        assert storage == {"a": "new"} and rec.data == {}
    # __setattr__ first compares the name with "data" (as `item != "data"` does), which
    # rebinds the storage before it is read: the new one is written.
    rec = cls({})
    storage = {"a": 1}
    rec.data = storage
    cls.__setattr__(rec, Rebinding(rec), "new")
    assert storage == {"a": 1} and list(rec.data.values()) == ["new"]
    rec = with_rebinding_key(cls, "zz", 1)
    old = rec.data
    rec.zz = "new"  # attribute assignment into the storage
    assert list(old.values()) == ["new"] and rec.data == {}


def test_membership_holds_the_storage():
    rec = with_rebinding_key(Bar, "a", 1)
    assert "a" in rec and rec.data == {}
    assert Bar.__contains__(with_rebinding_key(Bar, "a", 1), "a") is True


class Shouting(dict):
    """Storage whose text methods rebind the record's storage before answering."""

    rec = None

    def __str__(self):
        self.rec.data = {}
        JUNK.extend({"s": "JUNK"} for _ in range(20))
        return "S" + dict.__repr__(self)

    def __repr__(self):
        self.rec.data = {}
        JUNK.extend({"r": "JUNK"} for _ in range(20))
        return "R" + dict.__repr__(self)


@each_class
def test_text_holds_the_storage(cls):
    for text, expected in ((str, "S{'a': 1}"), (repr, "R{'a': 1}"),
                           (cls.__str__, "S{'a': 1}"), (cls.__repr__, "R{'a': 1}")):
        rec = cls({})
        storage = Shouting(a=1)
        storage.rec = rec
        rec.data = storage
        del storage
        assert text(rec) == expected


def self_storing(cls):
    rec = cls({})
    rec.data = rec
    return rec


def mutually_storing(cls, other_cls):
    a, b = cls({}), other_cls({})
    a.data, b.data = b, a
    return a


OPERATIONS = [
    lambda rec: rec["a"],
    lambda rec: rec.a,
    lambda rec: rec.__setitem__("a", 1),
    lambda rec: setattr(rec, "a", 1),
    lambda rec: str(rec),
    lambda rec: repr(rec),
    lambda rec: type(rec).__getitem__(rec, "a"),
    lambda rec: type(rec).__setattr__(rec, "a", 1),
    lambda rec: type(rec).__repr__(rec),
]


@each_class
@pytest.mark.parametrize("chain", [self_storing, lambda cls: mutually_storing(cls, cls),
                                   lambda cls: mutually_storing(cls, Bar)],
                         ids=["self", "pair", "with-bar"])
def test_records_storing_records_end_in_recursion_error(cls, chain):
    rec = chain(cls)
    for operation in OPERATIONS:
        with pytest.raises(RecursionError):
            operation(rec)
    if cls is Bar:
        with pytest.raises(RecursionError):
            "a" in rec
    if cls is Tick:
        with pytest.raises(RecursionError):
            rec.price
    # Still usable once the chain is broken.
    rec.data = {"a": 1}
    assert rec["a"] == 1 and rec.a == 1


def test_held_storage_and_guards_leak_nothing():
    from conftest import refcount_growth

    class Sub(Tick):
        pass

    def operations():
        rec = Bar({"a": 1})
        rec[Rebinding(rec)]
        rec = with_rebinding_key(Tick, "price", 1.0)
        rec.price
        loop = self_storing(Obj)
        try:
            loop["a"]
        except RecursionError:
            pass
        loop.data = None  # break the cycle
        try:
            iter(Sub({}))
        except TypeError:
            pass
        JUNK.clear()

    assert refcount_growth(operations, repeat=500) < 50  # a leak per round shows >= 500
