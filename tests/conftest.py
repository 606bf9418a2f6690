"""Shared fixtures: the installed module, driven against the stand-in library."""

import ctypes
import gc
import os
import sys
import traceback

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The stand-in host package is never installed, so it cannot shadow a real one.
sys.path.insert(0, os.path.join(ROOT, "standin"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import c_sdk  # noqa: E402
import standin  # noqa: E402

LIBRARY_PATH = os.path.join(os.path.dirname(c_sdk.__file__), "libqxsdk.so")


@pytest.fixture(scope="session")
def stub():
    """The stand-in library's control interface (the same loaded copy the module uses)."""
    return standin.Standin(LIBRARY_PATH)


@pytest.fixture
def lib(stub):
    """A freshly reset stand-in, and a module namespace restored after the test."""
    stub.reset()
    saved = dict(vars(c_sdk))
    yield stub
    # Same dict object and the same binding order as before the test.
    namespace = vars(c_sdk)
    namespace.clear()
    namespace.update(saved)
    stub.reset()


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


def growth_without_journal(lib, action, repeat=500):
    """refcount_growth with the stand-in's journal off, so only the module's objects count."""
    lib.enable_journal(False)
    try:
        return refcount_growth(action, repeat=repeat)
    finally:
        lib.enable_journal(True)


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


def assert_argument_error(lib, name, args, kwargs, message):
    """Calling c_sdk.<name> raises exactly `message`, names itself, and never reaches the library."""
    with pytest.raises(TypeError) as info:
        getattr(c_sdk, name)(*args, **kwargs)
    assert str(info.value) == message
    assert "c_sdk." + name in tb_names(info)
    assert lib.journal() == []


@pytest.fixture
def qxsdk(lib):
    """The stand-in's control interface (same object as `lib`)."""
    return lib
