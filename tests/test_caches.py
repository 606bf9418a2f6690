"""Remembered reads of module globals and record properties: a rebinding is seen by the
next call even when code runs between its announcement and its store, and nothing
remembered outlives the object it stood for. Each case runs in a child interpreter,
where reading a freed object would kill the process."""

import sys

import pytest

import c_sdk
from conftest import run_child

# A dict watcher added after the module's, through the C API: for each change it
# formats the new value with str() before the dict holds it, so that value's __str__
# runs inside that window.
WINDOW = """
import ctypes, gc
calls = []

class Callable:
    def __init__(self, tag):
        self.tag = tag
    def __call__(self, *args):
        calls.append((self.tag,) + args)
        return b"text of " + self.tag.encode()
    def debug(self, message):
        calls.append(("log", message))

api = ctypes.pythonapi
Watcher = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p)
api.PyDict_AddWatcher.argtypes = [Watcher]
api.PyDict_Watch.argtypes = api.PyDict_Unwatch.argtypes = [ctypes.c_int, ctypes.py_object]
api.PyDict_ClearWatcher.argtypes = [ctypes.c_int]

@Watcher
def format_new_value(event, namespace, key, new_value):
    if new_value:
        str(ctypes.cast(new_value, ctypes.py_object).value)
    return 0

def rebind_while_announced(owner, name, value):
    namespace = next(d for d in gc.get_referents(owner) if type(d) is dict and name in d)
    watcher = api.PyDict_AddWatcher(format_new_value)
    assert watcher >= 0
    api.PyDict_Watch(watcher, namespace)
    try:
        setattr(owner, name, value)
    finally:
        api.PyDict_Unwatch(watcher, namespace)
        api.PyDict_ClearWatcher(watcher)
"""

# (what is rebound, the code run in the window and after the store). The old value's
# only reference is the dict: a read remembered in the window would outlive it.
CASES = {
    "success value": """
        c_sdk.CSDK_OPERATE_SUCCESS = int("1000001")
        c_sdk.c_status_ok(0)
        class Seven:
            def __eq__(self, other):
                return other == 7
            __hash__ = None
            def __str__(self):
                c_sdk.py_qxi_get_dividends(b"x")
                c_sdk.c_status_ok(0)
                return "Seven"
        rebind_while_announced(c_sdk, "CSDK_OPERATE_SUCCESS", Seven())
        sdk.push_status("qxi_get_dividends", 7)
        status, response = c_sdk.py_qxi_get_dividends(b"x")
        assert (status, response is not None) == (7, True), (status, response)
        assert c_sdk.c_status_ok(7) is True
        """,
    "error text binding": """
        c_sdk.qxsdklogger = Callable("log")
        c_sdk.py_qxi_strerror = Callable("old")
        c_sdk.c_status_fail(1, "x")
        class Announced(Callable):
            def __str__(self):
                c_sdk.c_status_fail(1, "x")
                return "announced"
        rebind_while_announced(c_sdk, "py_qxi_strerror", Announced("new"))
        del calls[:]
        c_sdk.c_status_fail(1, "x")
        assert [call[0] for call in calls] == ["new", "log"], calls
        """,
    "event receiver": """
        c_sdk.py_qxi_set_data_callback(Callable("old"))
        sdk.push_event(b"e", b"p")
        c_sdk.qxi_poll()
        class Announced(Callable):
            def __str__(self):
                sdk.push_event(b"e", b"p")
                c_sdk.qxi_poll()
                return "announced"
        rebind_while_announced(c_sdk, "f", Announced("new"))
        del calls[:]
        sdk.push_event(b"e", b"p")
        c_sdk.qxi_poll()
        assert calls == [("new", "e", b"p")], calls
        """,
    "record property": """
        cls = c_sdk.TickLikeDict2
        record = cls({"price": 1.5})
        assert record.price == 1.5
        class Announced(property):
            def __str__(self):
                record.price  # the first read after a change gives the class a new tag
                record.price
                return "announced"
        rebind_while_announced(cls, "price", Announced(lambda self: "new"))
        assert record.price == "new"
        """,
}


@pytest.mark.skipif(sys.version_info < (3, 12), reason="no dict watchers before 3.12")
@pytest.mark.parametrize("case", CASES)
def test_rebinding_seen_after_a_call_inside_another_watcher(case):
    result = run_child(WINDOW + CASES[case].replace("\n        ", "\n") + "\nprint('ok')\n")
    assert (result.returncode, result.stdout.strip()) == (0, "ok"), result.stderr[-3000:]


@pytest.mark.parametrize("success", [2**64, -(2**64), 2**63], ids=["2**64", "-2**64", "2**63"])
def test_an_exact_int_beyond_a_c_long_is_not_a_c_long(qxsdk, success):
    # No status equals it, -1 (what a conversion that overflows gives) included.
    c_sdk.CSDK_OPERATE_SUCCESS = success
    for _ in range(2):  # the first read, then whatever was remembered
        qxsdk.push_status("qxi_get_dividends", -1)
        qxsdk.push_status("qxi_get_serv_addr", -1)
        assert c_sdk.py_qxi_get_dividends(b"q") == (-1, None)
        assert c_sdk.py_qxi_get_serv_addr(b"md") is None
        assert c_sdk.c_status_ok(-1) is False


# A class's version tag handed out again: before 3.11, sys._clear_type_cache() restarts
# the counter, so a class can get back the tag under which a property read was
# remembered, after that property was replaced and freed. The tag is read from the
# type object (its offset checked against the flags next to it).
TAG_REUSE = """
import ctypes, sys
FLAGS_OFFSET, TAG_OFFSET = 168, 384
def tag(cls):
    return ctypes.c_uint.from_address(id(cls) + TAG_OFFSET).value
cls = c_sdk.{name}
assert ctypes.c_ulong.from_address(id(cls) + FLAGS_OFFSET).value == cls.__flags__
record = cls({{"{prop}": 1.5}})
assert record.{prop} == 1.5
remembered = tag(cls)
cls.{prop} = property(lambda self: "new")
sys._clear_type_cache()
class Throwaway:
    pass
for i in range(10 ** 6):  # each lookup after a change gives the class the next tag
    Throwaway.attr = i
    Throwaway.attr
    if tag(Throwaway) + 1 >= remembered:
        break
cls.{prop}  # the record class takes the next tag
print(tag(cls) == remembered)
assert record.{prop} == "new", record.{prop}
"""


@pytest.mark.skipif(sys.maxsize < 2**32, reason="type layout offsets are for 64-bit builds")
@pytest.mark.parametrize("name, prop", [("TickLikeDict2", "price"), ("BarLikeDict2", "close")])
def test_property_read_after_the_class_tag_comes_back(name, prop):
    result = run_child(TAG_REUSE.format(name=name, prop=prop))
    assert result.returncode == 0, result.stderr[-3000:]
    # Where the interpreter hands tags out again, the scenario did reach the old tag.
    if sys.version_info < (3, 11):
        assert result.stdout.split() == ["True"]
