"""Shared fixtures: the installed module, driven against the stand-in library.

The stand-in (qxsdk-standin) is activated here, explicitly, before c_sdk is imported, so
the module's libqxsdk.so is the stand-in's. Tests reach it through the `qxsdk` fixture of
the stand-in's pytest plugin.
"""

import ctypes
import gc
import os
import re
import sys
import traceback

import pytest
import qxsdk_standin

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The stand-in host package is never installed, so it cannot shadow a real one.
sys.path.insert(0, os.path.join(ROOT, "standin"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

qxsdk_standin.activate()
import c_sdk  # noqa: E402


@pytest.fixture(autouse=True)
def restore_module_namespace(qxsdk):
    """Every test runs under the stand-in's fixture, which gives the module namespace back
    as it was before the test (the same dict object, the same binding order: tests rebind
    and delete module globals) and resets the stand-in around it."""
    yield


def refcount_growth(action, repeat=2000, rounds=3):
    """Total reference or block growth over the last of several rounds of `action`."""
    measure = getattr(sys, "gettotalrefcount", None) or sys.getallocatedblocks
    action()  # warm caches
    counts = []
    for _ in range(rounds):
        gc.collect()
        before = measure()
        for _ in range(repeat):
            action()
        gc.collect()
        counts.append(measure() - before)
    return counts[-1]


def growth_without_journal(qxsdk, action, repeat=500):
    """refcount_growth with the stand-in's journal off, so only the module's objects count."""
    qxsdk.enable_journal(False)
    try:
        return refcount_growth(action, repeat=repeat)
    finally:
        qxsdk.enable_journal(True)


def vectorcall(func, args, kwnames, kwvalues):
    """A call through the C API, where keyword names may be any object."""
    api = getattr(ctypes.pythonapi, "PyObject_Vectorcall", None)
    if api is None:  # an inline function before 3.10, not exported
        pytest.skip("PyObject_Vectorcall is not exported by this interpreter")
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    stack = (ctypes.py_object * (len(args) + len(kwvalues)))(*args, *kwvalues)
    return api(func, stack, len(args), kwnames)


def swallow(calls, errors=(TypeError, OverflowError)):
    """Runs each call, ignoring the errors it is made to raise (leak loops repeat failures)."""
    for call in calls:
        try:
            call()
        except errors:
            pass


def tb_names(exc_info):
    """Function names of a raised exception's traceback entries."""
    return [frame.name for frame in traceback.extract_tb(exc_info.tb)]


def assert_argument_error(qxsdk, name, args, kwargs, message):
    """Calling c_sdk.<name> raises exactly `message`, names itself, and never reaches the library."""
    with pytest.raises(TypeError) as info:
        getattr(c_sdk, name)(*args, **kwargs)
    assert str(info.value) == message
    assert "c_sdk." + name in tb_names(info)
    assert qxsdk.journal() == []


# The interpreter's own messages change wording between releases, so tests assert them
# by exception type and the part every supported release shares; messages the module
# makes itself are asserted exactly.


def raises_not_a_container(type_name):
    """`x in obj` where obj, of type `type_name`, has neither __contains__ nor iteration:
    "argument of type 'T' is not iterable", "... is not a container or iterable" from 3.14."""
    return pytest.raises(TypeError, match=r"^argument of type '%s' is not " % re.escape(type_name))


def raises_non_text_result(method, result_type):
    """str() or repr() whose `method` returned a `result_type` object: "__str__ returned
    non-string (type int)", "T.__str__() must return a str, not int" from 3.15."""
    return pytest.raises(TypeError, match=r"\b%s\b.*\b%s\b" % (re.escape(method), re.escape(result_type)))


# Child interpreters: the one place that says how a child finds the module and the
# stand-in; `sdk` is the stand-in's control interface there.
CHILD_PREAMBLE = f"""
import os, sys
sys.path[:0] = [{os.path.join(ROOT, "standin")!r}, {os.path.dirname(os.path.abspath(__file__))!r}]
import qxsdk_standin
sdk = qxsdk_standin.activate()
import c_sdk
"""


def run_child(code, timeout=60, setup=""):
    """Runs `code` after CHILD_PREAMBLE (and `setup` before it) in a new interpreter; the
    CompletedProcess (text)."""
    import subprocess
    import textwrap

    return subprocess.run(
        [sys.executable, "-c", setup + CHILD_PREAMBLE + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )

