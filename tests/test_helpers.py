"""Module helpers: platform tests, the str-to-bytes decorator and the status checks."""

import logging
import sys
import weakref

import pytest

import c_sdk
from conftest import growth_without_journal, refcount_growth, tb_names, vectorcall
from qxsdk_standin import Call



# ---------------------------------------------------------------- is_windows / is_linux


class FakePlatform:
    def __init__(self, system):
        self.system = system
        self.calls = 0

    def uname(self):
        self.calls += 1
        return (self.system, "node", "release", "version", "machine")


@pytest.mark.parametrize(
    "system, windows, linux",
    [
        ("Windows", True, False),
        ("WINDOWS", True, False),
        ("Linux", False, True),
        ("linux", False, True),
        ("Darwin", False, False),
        ("Windows NT", False, False),
        ("", False, False),
    ],
)
def test_platform_checks_follow_the_platform_global(qxsdk, system, windows, linux):
    fake = FakePlatform(system)
    c_sdk.platform = fake
    assert c_sdk.is_windows() is windows
    assert c_sdk.is_linux() is linux
    assert fake.calls == 2
    assert qxsdk.journal() == []


def test_platform_checks_on_this_machine(qxsdk):
    import platform

    assert c_sdk.platform is platform
    system = platform.uname()[0].lower()
    assert c_sdk.is_linux() is (system == "linux")
    assert c_sdk.is_windows() is (system == "windows")
    assert qxsdk.journal() == []


def test_platform_check_returns_the_comparison_result(qxsdk):
    class Name:
        def lower(self):
            return Lowered()

    class Lowered:
        def __eq__(self, other):
            return "compared with " + other

        __hash__ = None

    class Platform:
        def uname(self):
            return [Name()]

    c_sdk.platform = Platform()
    assert c_sdk.is_windows() == "compared with windows"
    assert c_sdk.is_linux() == "compared with linux"
    assert qxsdk.journal() == []


def test_platform_check_subscripts_the_uname_result(qxsdk):
    class Platform:
        def __init__(self, result):
            self.result = result

        def uname(self):
            return self.result

    c_sdk.platform = Platform({0: "Linux", "system": "Windows"})
    assert c_sdk.is_linux() is True and c_sdk.is_windows() is False
    c_sdk.platform = Platform(__import__("platform").uname_result("Windows", "n", "r", "v", "m"))
    assert c_sdk.is_windows() is True and c_sdk.is_linux() is False
    c_sdk.platform = Platform({})
    with pytest.raises(KeyError):
        c_sdk.is_linux()
    assert qxsdk.journal() == []


def test_platform_check_errors(qxsdk):
    del c_sdk.platform
    for check in (c_sdk.is_windows, c_sdk.is_linux):
        with pytest.raises(NameError) as info:
            check()
        assert str(info.value) == "name 'platform' is not defined"
        assert "c_sdk." + check.__name__ in tb_names(info)

    class Broken:
        def uname(self):
            raise OSError("uname failed")

    c_sdk.platform = Broken()
    with pytest.raises(OSError, match="uname failed"):
        c_sdk.is_linux()
    c_sdk.platform = FakePlatform(None)
    with pytest.raises(AttributeError):
        c_sdk.is_windows()

    with pytest.raises(TypeError) as info:
        c_sdk.is_windows(1)
    assert str(info.value) == "is_windows() takes no arguments (1 given)"
    with pytest.raises(TypeError) as info:
        c_sdk.is_linux(system="linux")
    assert str(info.value) == "is_linux() takes no keyword arguments"
    assert qxsdk.journal() == []


# ---------------------------------------------------------------- adapt_to_python3


class Recorder:
    """A function that records what it was called with."""

    def __init__(self, result="result"):
        self.calls = []
        self.result = result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


def test_wrapper_looks_like_a_nested_function(qxsdk):
    def decorated_function():
        """Own doc string."""

    wrapper = c_sdk.adapt_to_python3(decorated_function)
    assert wrapper.__name__ == "wrapper"
    assert wrapper.__qualname__ == "adapt_to_python3.<locals>.wrapper"
    assert wrapper.__module__ == "c_sdk"
    assert wrapper.__doc__ is None
    assert not hasattr(wrapper, "__wrapped__")
    assert wrapper is not decorated_function
    assert str(__import__("inspect").signature(wrapper)) == "(*args, **kwargs)"
    assert c_sdk.adapt_to_python3(decorated_function) is not wrapper
    assert qxsdk.journal() == []


@pytest.mark.skipif(sys.version_info < (3, 10), reason="no way to forbid instantiation before 3.10")
def test_wrapper_closure_cannot_be_made_from_python():
    closure_type = type(c_sdk.py_qxi_place_order.__self__)
    with pytest.raises(TypeError):
        closure_type()


def test_wrapper_encodes_top_level_text(qxsdk):
    func = Recorder()
    wrapper = c_sdk.adapt_to_python3(func)
    nested = ["inner", {"key": "value"}, ("tuple",)]
    data = bytearray(b"raw")
    assert wrapper("abc", b"bytes", data, 5, None, nested, text="kw", raw=b"kw", n=1.5) == "result"
    (args, kwargs), = func.calls
    assert args == (b"abc", b"bytes", data, 5, None, nested)
    assert type(args[0]) is bytes
    assert args[2] is data and args[5] is nested
    assert nested == ["inner", {"key": "value"}, ("tuple",)]
    assert kwargs == {"text": b"kw", "raw": b"kw", "n": 1.5}
    assert list(kwargs) == ["text", "raw", "n"]
    assert all(type(key) is str for key in kwargs)
    assert qxsdk.journal() == []


def test_wrapper_without_arguments_and_without_text(qxsdk):
    func = Recorder()
    wrapper = c_sdk.adapt_to_python3(func)
    wrapper()
    wrapper(b"x", k=2)
    assert func.calls == [((), {}), ((b"x",), {"k": 2})]
    assert qxsdk.journal() == []


def test_wrapper_encodes_many_arguments(qxsdk):
    func = Recorder()
    wrapper = c_sdk.adapt_to_python3(func)
    texts = [f"t{i}" for i in range(40)]
    wrapper(*texts, **{f"k{i}": f"v{i}" for i in range(10)})
    (args, kwargs), = func.calls
    assert args == tuple(t.encode() for t in texts)
    assert kwargs == {f"k{i}": f"v{i}".encode() for i in range(10)}
    assert qxsdk.journal() == []


def test_callers_keyword_dict_is_untouched(qxsdk):
    func = Recorder()
    wrapper = c_sdk.adapt_to_python3(func)
    options = {"symbol": "SHSE.600000", "volume": 100}
    wrapper(**options)
    assert options == {"symbol": "SHSE.600000", "volume": 100}
    assert func.calls[0][1] == {"symbol": b"SHSE.600000", "volume": 100}
    assert qxsdk.journal() == []


def test_str_subclass_is_encoded_by_its_own_encode(qxsdk):
    class Text(str):
        def encode(self, encoding):
            return ("encoded", encoding, str(self))

    func = Recorder()
    c_sdk.adapt_to_python3(func)(Text("abc"), key=Text("v"))
    assert func.calls == [((("encoded", "ascii", "abc"),), {"key": ("encoded", "ascii", "v")})]
    assert qxsdk.journal() == []


def test_non_ascii_text_fails_before_the_call(qxsdk):
    func = Recorder()
    wrapper = c_sdk.adapt_to_python3(func)
    with pytest.raises(UnicodeEncodeError) as info:
        wrapper("ok", "账户")
    assert info.value.encoding == "ascii"
    with pytest.raises(UnicodeEncodeError):
        wrapper(b"ok", name="caf\xe9")
    assert func.calls == []
    # The same through a decorated binding: the library is not reached.
    with pytest.raises(UnicodeEncodeError):
        c_sdk.py_qxi_set_token("tökén")
    assert qxsdk.journal() == []


def outcome(qxsdk, call):
    """What a call returned or raised, and what the library received, from a fresh
    library state."""
    qxsdk.reset()
    try:
        result = ("returned", call())
    except Exception as error:  # noqa: BLE001 - the exception is the outcome compared
        result = ("raised", type(error), str(error))
    return result, qxsdk.journal()


def encoded(value):
    return value.encode("ascii") if type(value) is str else value


@pytest.mark.parametrize("name, args, kwargs", [
    ("py_qxi_get_orders", ('{"account_id":"a1"}',), {}),
    ("py_qxi_get_orders", ("a\x00b",), {}),
    ("py_qxi_subscribe", ("SHSE.600000,SZSE.000001", "tick", "x"), {}),
    ("py_qxi_subscribe", ("SHSE.1", "", ""), {}),
    ("py_qxi_subscribe", (), {"symbols": "A", "frequency": "1m", "unsubscribe_previous": 0}),
    ("py_qxi_unsubscribe", ("A\x00B", "tick"), {}),
    ("py_qxi_current", ("A", "price", "yes"), {}),
    ("py_qxi_set_mode_consistency", ("1",), {}),
    ("py_qxi_smart_reorder", ("SHSE.1", 10.5, 100, 1, 2, 1, 3, 5, 10, 2, "acct"), {}),
    ("py_qxi_smart_reorder", ("SHSE.1", "10.5", 100, 1, 2, 1, 3, 5, 10, 2, "acct"), {}),
    ("py_qxi_smart_reorder", ("SHSE.1", 10.5, "100", 1, 2, 1, 3, 5, 10, 2, "acct"), {}),
    ("py_qxi_algo_order_batch", ("req", "twap", "{}"), {}),
])
def test_decorated_bindings_take_ascii_str_as_its_bytes(qxsdk, name, args, kwargs):
    """A decorated binding given ASCII str behaves exactly as when given the bytes the
    decorator makes of them: same result or error, same library call."""
    binding = getattr(c_sdk, name)
    as_bytes = outcome(qxsdk, lambda: binding(*map(encoded, args), **{k: encoded(v) for k, v in kwargs.items()}))
    as_str = outcome(qxsdk, lambda: binding(*args, **kwargs))
    assert as_str == as_bytes
    assert as_str[1] or as_str[0][0] == "raised"


def test_legacy_mode_passes_arguments_through(qxsdk):
    func = Recorder()
    wrapper = c_sdk.adapt_to_python3(func)
    c_sdk.IS_PY2 = True
    wrapper("abc", "账户", key="value")
    assert func.calls == [(("abc", "账户"), {"key": "value"})]
    c_sdk.IS_PY2 = 0
    wrapper("abc")
    assert func.calls[-1] == ((b"abc",), {})
    # A decorated binding then refuses str again at its own conversion.
    c_sdk.IS_PY2 = True
    with pytest.raises(TypeError):
        c_sdk.py_qxi_set_token("token")
    assert qxsdk.journal() == []
    c_sdk.IS_PY2 = False
    c_sdk.py_qxi_set_token("token")
    assert qxsdk.journal() == [Call("qxi_set_token", (b"token",))]


def test_legacy_flag_errors(qxsdk):
    class Unsure:
        def __bool__(self):
            raise ArithmeticError("unsure")

    func = Recorder()
    wrapper = c_sdk.adapt_to_python3(func)
    c_sdk.IS_PY2 = Unsure()
    with pytest.raises(ArithmeticError):
        wrapper("abc")
    del c_sdk.IS_PY2
    with pytest.raises(NameError) as info:
        wrapper("abc")
    assert str(info.value) == "name 'IS_PY2' is not defined"
    assert func.calls == []
    assert qxsdk.journal() == []


def test_wrapper_calls_whatever_it_was_given(qxsdk):
    assert c_sdk.adapt_to_python3(type)("abc") is bytes
    with pytest.raises(TypeError) as own:
        type(x=1)
    with pytest.raises(TypeError) as wrapped:
        c_sdk.adapt_to_python3(type)(x=1)
    assert str(wrapped.value) == str(own.value)
    # Nothing is checked when decorating; a non-callable fails when called.
    not_callable = c_sdk.adapt_to_python3(42)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        not_callable()

    def fails(*args):
        raise KeyError(args)

    with pytest.raises(KeyError) as info:
        c_sdk.adapt_to_python3(fails)("k")
    assert info.value.args == ((b"k",),)
    assert qxsdk.journal() == []


def test_wrapper_keeps_the_function_alive(qxsdk):
    def target(value):
        return value * 2

    ref = weakref.ref(target)
    wrapper = c_sdk.adapt_to_python3(target)
    del target
    assert ref() is not None
    assert wrapper("ab") == b"abab"
    del wrapper
    assert ref() is None
    assert qxsdk.journal() == []


def test_decorator_argument_errors(qxsdk):
    cases = [
        ((), {}, "adapt_to_python3() takes exactly one argument (0 given)"),
        ((len, len), {}, "adapt_to_python3() takes exactly one argument (2 given)"),
        ((), {"func": len}, "adapt_to_python3() takes no keyword arguments"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            c_sdk.adapt_to_python3(*args, **kwargs)
        assert str(info.value) == message
        assert "c_sdk.adapt_to_python3" in tb_names(info)
    assert qxsdk.journal() == []



def test_keywords_must_be_strings(qxsdk):
    func = Recorder()
    wrapper = c_sdk.adapt_to_python3(func)
    assert vectorcall(wrapper, ("a",), ("k",), ("v",)) == "result"
    assert func.calls == [((b"a",), {"k": b"v"})]
    with pytest.raises(TypeError) as info:
        vectorcall(wrapper, ("a",), (1,), ("v",))
    assert str(info.value) == "wrapper() keywords must be strings"
    assert len(func.calls) == 1
    with pytest.raises(TypeError) as info:
        vectorcall(c_sdk.c_status_fail, (5,), (1,), ("v",))
    assert str(info.value) == "c_status_fail() keywords must be strings"
    assert qxsdk.journal() == []


def test_wrapper_has_no_reference_growth(qxsdk):
    func = Recorder(result=None)
    wrapper = c_sdk.adapt_to_python3(func)

    def action():
        wrapper("abc", b"def", 1, key="value", other=b"raw")
        wrapper()
        try:
            wrapper("x", "\u00e9")
        except UnicodeEncodeError:
            pass
        func.calls.clear()
        c_sdk.adapt_to_python3(func)

    growth = refcount_growth(action, repeat=2000)
    assert growth < 50
    assert qxsdk.journal() == []


# ---------------------------------------------------------------- c_status_ok / c_status_fail


class Logger:
    def __init__(self):
        self.messages = []

    def debug(self, message):
        self.messages.append(message)


@pytest.fixture
def log(qxsdk):
    logger = Logger()
    c_sdk.qxsdklogger = logger
    return logger


def test_status_ok(qxsdk, log):
    assert c_sdk.c_status_ok(0) is True
    assert c_sdk.c_status_ok(1003) is False
    assert c_sdk.c_status_ok(-1) is False
    assert c_sdk.c_status_ok(0.0) is True
    c_sdk.CSDK_OPERATE_SUCCESS = 1003
    assert c_sdk.c_status_ok(1003) is True
    assert c_sdk.c_status_ok(0) is False
    assert log.messages == []
    assert qxsdk.journal() == []


def test_status_ok_compares_status_first(qxsdk):
    order = []

    class Side:
        def __init__(self, name):
            self.name = name

        def __eq__(self, other):
            order.append(self.name)
            return f"{self.name} decided"

        __hash__ = None

    c_sdk.CSDK_OPERATE_SUCCESS = Side("success")
    assert c_sdk.c_status_ok(Side("status")) == "status decided"
    assert order == ["status"]
    assert qxsdk.journal() == []


def test_status_ok_errors(qxsdk):
    cases = [
        ((), {}, "c_status_ok() takes exactly one argument (0 given)"),
        ((0, 1), {}, "c_status_ok() takes exactly one argument (2 given)"),
        ((), {"status": 0}, "c_status_ok() takes no keyword arguments"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            c_sdk.c_status_ok(*args, **kwargs)
        assert str(info.value) == message
        assert "c_sdk.c_status_ok" in tb_names(info)
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match="name 'CSDK_OPERATE_SUCCESS' is not defined"):
        c_sdk.c_status_ok(0)
    assert qxsdk.journal() == []


@pytest.mark.parametrize(
    "args, kwargs",
    [((0,), {}), ((0, "qxi_init"), {}), ((), {"status": 0, "cfunname": "qxi_init"})],
)
def test_status_fail_on_success_logs_nothing(qxsdk, log, args, kwargs):
    def strerror(status):
        raise AssertionError("the error text is not needed")

    c_sdk.py_qxi_strerror = strerror
    assert c_sdk.c_status_fail(*args, **kwargs) is False
    assert log.messages == []
    assert qxsdk.journal() == []


def test_status_fail_logs_the_library_text(qxsdk, log):
    qxsdk.push_text("qxi_strerror", b"scripted: token expired")
    assert c_sdk.c_status_fail(1000, "qxi_init") is True
    assert log.messages == ["invoke c fun=qxi_init error code=1000, error info=scripted: token expired"]
    assert qxsdk.journal() == [Call("qxi_strerror", (1000,))]


def test_status_fail_with_the_libraries_own_texts(qxsdk, log):
    assert c_sdk.c_status_fail(1003, "qxi_place_order_pb") is True
    assert c_sdk.c_status_fail(-7) is True
    assert log.messages == [
        "invoke c fun=qxi_place_order_pb error code=1003, error info=malformed request",
        "invoke c fun error code=-7, error info=error -7",
    ]
    assert qxsdk.journal() == [Call("qxi_strerror", (1003,)), Call("qxi_strerror", (-7,))]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((1001,), {}),
        ((1001, ""), {}),
        ((1001, None), {}),
        ((1001, 0), {}),
        ((1001, []), {}),
        ((1001,), {"cfunname": ""}),
        ((), {"status": 1001}),
    ],
)
def test_status_fail_without_a_function_name(qxsdk, log, args, kwargs):
    qxsdk.push_text("qxi_strerror", "参数错误".encode())
    assert c_sdk.c_status_fail(*args, **kwargs) is True
    assert log.messages == ["invoke c fun error code=1001, error info=参数错误"]
    assert qxsdk.journal() == [Call("qxi_strerror", (1001,))]


@pytest.mark.parametrize(
    "args, kwargs, shown",
    [
        ((1002, "qxi_poll"), {}, "qxi_poll"),
        ((), {"status": 1002, "cfunname": "qxi_poll"}, "qxi_poll"),
        ((), {"cfunname": "qxi_poll", "status": 1002}, "qxi_poll"),
        ((1002,), {"cfunname": "qxi_poll"}, "qxi_poll"),
        ((1002, b"qxi_poll"), {}, "b'qxi_poll'"),
        ((1002, 17), {}, "17"),
    ],
)
def test_status_fail_with_a_function_name(qxsdk, log, args, kwargs, shown):
    assert c_sdk.c_status_fail(*args, **kwargs) is True
    assert log.messages == [f"invoke c fun={shown} error code=1002, error info=unknown bus topic"]
    assert qxsdk.journal() == [Call("qxi_strerror", (1002,))]


def test_status_fail_uses_str_of_the_status_and_its_int(qxsdk, log):
    class Status:
        def __ne__(self, other):
            return "failed"

        def __int__(self):
            return 1004

        def __str__(self):
            return "STATUS-1004"

        __hash__ = None

    assert c_sdk.c_status_fail(Status(), "qxi_smart_reorder_cancel") == "failed"
    assert log.messages == [
        "invoke c fun=qxi_smart_reorder_cancel error code=STATUS-1004, error info=unknown id"
    ]
    assert qxsdk.journal() == [Call("qxi_strerror", (1004,))]


def test_status_fail_returns_falsy_comparison_result(qxsdk, log):
    class Status:
        def __ne__(self, other):
            return 0

        __hash__ = None

    result = c_sdk.c_status_fail(Status(), "qxi_init")
    assert result == 0 and type(result) is int
    assert log.messages == []
    assert qxsdk.journal() == []


def test_status_fail_follows_rebound_globals(qxsdk, log):
    c_sdk.CSDK_OPERATE_SUCCESS = 1003
    assert c_sdk.c_status_fail(1003, "qxi_init") is False
    assert c_sdk.c_status_fail(0, "qxi_init") is True

    texts = []

    def strerror(status):
        texts.append(status)
        return b"own text"

    c_sdk.py_qxi_strerror = strerror
    other = Logger()
    c_sdk.qxsdklogger = other
    assert c_sdk.c_status_fail(5) is True
    assert texts == [5]
    assert log.messages == ["invoke c fun=qxi_init error code=0, error info=success"]
    assert other.messages == ["invoke c fun error code=5, error info=own text"]
    assert qxsdk.journal() == [Call("qxi_strerror", (0,))]


def test_status_fail_through_the_real_logger(qxsdk, caplog):
    import qx.utils

    assert c_sdk.qxsdklogger is qx.utils.qxsdklogger
    caplog.set_level(logging.DEBUG, logger=qx.utils.qxsdklogger.name)
    assert c_sdk.c_status_fail(1005, "qxi_run") is True
    assert [r.getMessage() for r in caplog.records] == [
        "invoke c fun=qxi_run error code=1005, error info=run or poll already in progress"
    ]
    assert [r.levelno for r in caplog.records] == [logging.DEBUG]
    assert qxsdk.journal() == [Call("qxi_strerror", (1005,))]


def test_status_fail_logs_nothing_when_the_text_fails(qxsdk, log):
    # The status cannot become a C int: py_qxi_strerror refuses it.
    with pytest.raises(TypeError) as info:
        c_sdk.c_status_fail(None, "qxi_init")
    assert "c_sdk.c_status_fail" in tb_names(info)
    with pytest.raises(OverflowError):
        c_sdk.c_status_fail(2**40)
    with pytest.raises(TypeError):
        c_sdk.c_status_fail("1003")
    assert qxsdk.journal() == []

    # The library's text is not UTF-8.
    qxsdk.push_text("qxi_strerror", b"bad \xff\xfe text")
    with pytest.raises(UnicodeDecodeError) as info:
        c_sdk.c_status_fail(1001, "qxi_init")
    assert "c_sdk.c_status_fail" in tb_names(info)
    assert qxsdk.journal() == [Call("qxi_strerror", (1001,))]
    assert log.messages == []


def test_status_fail_error_order(qxsdk, log):
    class Unsure:
        def __bool__(self):
            raise ArithmeticError("unsure")

    # The function name's truth is taken after the error text was fetched.
    with pytest.raises(ArithmeticError):
        c_sdk.c_status_fail(1001, Unsure())
    assert qxsdk.journal() == [Call("qxi_strerror", (1001,))]
    assert log.messages == []

    # The logger is looked up last.
    qxsdk.clear_journal()
    del c_sdk.qxsdklogger
    with pytest.raises(NameError, match="name 'qxsdklogger' is not defined"):
        c_sdk.c_status_fail(1001)
    assert qxsdk.journal() == [Call("qxi_strerror", (1001,))]

    class Failing:
        def debug(self, message):
            raise RuntimeError("log full: " + message)

    c_sdk.qxsdklogger = Failing()
    with pytest.raises(RuntimeError, match="log full: invoke c fun error code=1001"):
        c_sdk.c_status_fail(1001)

    c_sdk.qxsdklogger = object()
    with pytest.raises(AttributeError):
        c_sdk.c_status_fail(1001)

    qxsdk.clear_journal()
    del c_sdk.py_qxi_strerror
    with pytest.raises(NameError, match="name 'py_qxi_strerror' is not defined"):
        c_sdk.c_status_fail(1001)
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match="name 'CSDK_OPERATE_SUCCESS' is not defined"):
        c_sdk.c_status_fail(1001)
    assert qxsdk.journal() == []


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "c_status_fail() takes at least 1 positional argument (0 given)"),
        ((), {"cfunname": "x"}, "c_status_fail() takes at least 1 positional argument (0 given)"),
        ((1, "x", 3), {}, "c_status_fail() takes at most 2 positional arguments (3 given)"),
        ((1, "x", 3, 4), {}, "c_status_fail() takes at most 2 positional arguments (4 given)"),
        ((1,), {"name": "x"}, "c_status_fail() got an unexpected keyword argument 'name'"),
        ((), {"status": 1, "extra": 2}, "c_status_fail() got an unexpected keyword argument 'extra'"),
        ((1,), {"status": 1}, "c_status_fail() got multiple values for keyword argument 'status'"),
        ((1, "x"), {"cfunname": "y"}, "c_status_fail() got multiple values for keyword argument 'cfunname'"),
    ],
)
def test_status_fail_argument_errors(qxsdk, log, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        c_sdk.c_status_fail(*args, **kwargs)
    assert str(info.value) == message
    assert "c_sdk.c_status_fail" in tb_names(info)
    assert log.messages == []
    assert qxsdk.journal() == []


def test_status_helpers_introspection():
    import inspect

    assert str(inspect.signature(c_sdk.c_status_ok)) == "(status, /)"
    assert str(inspect.signature(c_sdk.c_status_fail)) == "(status, cfunname='')"
    assert c_sdk.c_status_ok.__doc__ == "\n    c api 调用返回值status是否ok\n    "
    assert c_sdk.c_status_fail.__doc__ == "\n    c api 调用返回值status是否fail\n    "
    assert c_sdk.is_windows.__doc__ is None and c_sdk.is_linux.__doc__ is None
    assert c_sdk.adapt_to_python3.__doc__.startswith("\n     ")
    assert c_sdk.adapt_to_python3.__doc__.endswith("\n     ")


def test_status_helpers_have_no_reference_growth(qxsdk, log):
    qxsdk.push_text("qxi_strerror", b"x")

    def action():
        c_sdk.c_status_ok(0)
        c_sdk.c_status_fail(0, "qxi_init")
        c_sdk.c_status_fail(1001, "qxi_init")
        c_sdk.c_status_fail(status=1001)
        try:
            c_sdk.c_status_fail(None)
        except TypeError:
            pass
        try:
            c_sdk.c_status_fail(1, 2, 3)
        except TypeError:
            pass
        log.messages.clear()

    growth = growth_without_journal(qxsdk, action, repeat=2000)
    assert growth < 50
    action()
    assert qxsdk.journal() == [Call("qxi_strerror", (1001,))] * 2
