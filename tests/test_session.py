"""Session, configuration and control bindings: what the library receives and returns."""

import builtins
import warnings

import pytest

import c_sdk
from conftest import assert_argument_error, growth_without_journal, swallow, tb_names, vectorcall
from qxsdk_standin import OUT, Call

STATUS = "status"
NONE = "none"
TEXT = "text"
ADDRESS = "address"

# Python name, arguments, library function, what the library receives, result, decorated.
MEMBERS = [
    ("py_qxi_set_token", (b"tok",), "qxi_set_token", (b"tok",), STATUS, True),
    ("py_qxi_set_apitoken", (b"api",), "qxi_set_apitoken", (b"api",), NONE, True),
    ("py_qxi_get_encrypted_token", (), "qxi_get_encrypted_token", (), TEXT, True),
    ("py_qxi_get_orgcode", (), "qxi_get_orgcode", (), TEXT, True),
    ("py_qxi_set_mfp", (b"mfp",), "qxi_set_mfp", (b"mfp",), NONE, True),
    ("py_qxi_set_serv_addr", (b"tcp://h:1",), "qxi_set_serv_addr", (b"tcp://h:1",), NONE, True),
    ("py_qxi_set_serv_addr_v5", (b"a", b"o", b"s"), "qxi_set_serv_addr_v5", (b"a", b"o", b"s"), NONE, False),
    ("py_qxi_get_serv_addr", (b"md",), "qxi_get_serv_addr", (b"md", OUT), ADDRESS, True),
    ("py_qxi_use_dsproxy", (), "qxi_use_dsproxy", (), STATUS, False),
    ("py_qxi_set_ctp_md_info", (b"f", b"u", b"p"), "qxi_set_ctp_md_info", (b"f", b"u", b"p"), NONE, True),
    ("py_qxi_set_strategy_id", (b"sid",), "qxi_set_strategy_id", (b"sid",), NONE, True),
    ("py_qxi_set_account_id", (b"a1,a2",), "qxi_set_account_id", (b"a1,a2",), NONE, False),
    ("py_qxi_set_mode_consistency", (3,), "qxi_set_mode_consistency", (True,), NONE, True),
    ("py_qxi_set_simtrade_only", (), "qxi_set_simtrade_only", (), NONE, False),
    ("py_qxi_set_version", (b"3.0", b"py"), "qxi_set_version", (b"3.0", b"py", None, None), NONE, True),
    ("py_qxi_set_max_wait_time", (30,), "qxi_set_max_wait_time", (30,), NONE, False),
    ("py_qxi_set_backtest_threadnum", (4,), "qxi_set_backtest_threadnum", (4,), NONE, False),
    ("py_qxi_set_backtest_intraday", (-1,), "qxi_set_backtest_intraday", (-1,), NONE, True),
    ("py_qxi_run", (), "qxi_run", (), STATUS, False),
    ("py_qxi_stop", (), "qxi_stop", (), STATUS, False),
    ("py_qxi_get_stop_error_code", (), "qxi_get_stop_error_code", (), STATUS, False),
    ("py_qxi_strerror", (1002,), "qxi_strerror", (1002,), TEXT, False),
    ("py_qxi_get_ext_errormsg", (), "qxi_get_ext_errormsg", (), TEXT, False),
]
KEYWORDED = {
    "py_qxi_set_serv_addr_v5": ("addr", "orgcode", "site_id"),
    "py_qxi_set_ctp_md_info": ("front_addresses", "user_name", "password"),
    "py_qxi_set_version": ("sdk_version", "sdk_lang"),
}
TEXT_FUNCTIONS = [m for m in MEMBERS if m[1] and isinstance(m[1][0], bytes)]
INT_FUNCTIONS = [m for m in MEMBERS if m[0] in
                 ("py_qxi_set_max_wait_time", "py_qxi_set_backtest_threadnum",
                  "py_qxi_set_backtest_intraday", "py_qxi_strerror")]


def ids(members):
    return [m[0] for m in members]




@pytest.mark.parametrize("name, args, fn, received, result, decorated", MEMBERS, ids=ids(MEMBERS))
def test_member_calls_its_library_function(qxsdk, name, args, fn, received, result, decorated):
    binding = getattr(c_sdk, name)
    assert binding.__name__ == ("wrapper" if decorated else name)
    if result == STATUS:
        qxsdk.push_status(fn, -70000)
        value = binding(*args)
        assert value == -70000 and type(value) is int
        qxsdk.push_status(fn, 1000)
        assert binding(*args) == 1000
    elif result == TEXT:
        qxsdk.push_text(fn, b"text \xff\xfe")
        value = binding(*args)
        assert value == b"text \xff\xfe" and type(value) is bytes
        assert type(binding(*args)) is bytes  # the library's own default text
    elif result == ADDRESS:
        qxsdk.push_text(fn, b"tcp://10.0.0.1:9")
        assert binding(*args) == b"tcp://10.0.0.1:9"
        qxsdk.push_text(fn, b"unread")
        qxsdk.push_status(fn, 3)
        assert binding(*args) is None
    else:
        assert binding(*args) is None
        assert binding(*args) is None
    assert qxsdk.journal() == [Call(fn, received)] * 2


def test_default_library_texts_come_back_as_bytes(qxsdk):
    assert c_sdk.py_qxi_strerror(1002) == b"unknown bus topic"
    assert c_sdk.py_qxi_strerror(0) == b"success"
    assert c_sdk.py_qxi_get_ext_errormsg() == b""
    c_sdk.py_qxi_set_serv_addr_v5(b"addr", b"org-7", b"site")
    assert c_sdk.py_qxi_get_orgcode() == b"org-7"
    assert c_sdk.py_qxi_set_token(b"secret") == 0
    token = c_sdk.py_qxi_get_encrypted_token()
    assert type(token) is bytes and token.startswith(b"enc-")
    assert [c.fn for c in qxsdk.journal()] == [
        "qxi_strerror", "qxi_strerror", "qxi_get_ext_errormsg", "qxi_set_serv_addr_v5",
        "qxi_get_orgcode", "qxi_set_token", "qxi_get_encrypted_token"]


# ---------------------------------------------------------------- byte texts


@pytest.mark.parametrize("name, args, fn, received, result, decorated", TEXT_FUNCTIONS, ids=ids(TEXT_FUNCTIONS))
def test_text_arguments(qxsdk, name, args, fn, received, result, decorated):
    binding = getattr(c_sdk, name)
    n = len(args)
    rest = received[n:]

    # Empty texts reach the library as empty, non-null strings; bytearray and
    # subclasses are read in place; an embedded NUL ends the text.
    class Sub(bytes):
        pass

    for given, seen in [(b"", b""), (bytearray(), b""), (bytearray(b"ba"), b"ba"),
                        (Sub(b"sub"), b"sub"), (b"cut\x00here", b"cut")]:
        qxsdk.clear_journal()
        binding(*[given] * n)
        assert qxsdk.journal() == [Call(fn, (seen,) * n + rest)]

    qxsdk.clear_journal()
    if decorated:
        binding(*["ascii"] * n)
        assert qxsdk.journal() == [Call(fn, (b"ascii",) * n + rest)]
        qxsdk.clear_journal()
        with pytest.raises(UnicodeEncodeError):
            binding(*["caf\u00e9"] * n)
    else:
        with pytest.raises(TypeError, match="^expected bytes, str found$"):
            binding(*["ascii"] * n)
    for bad, message in [(None, "expected bytes, NoneType found"), (memoryview(b"m"), "expected bytes, memoryview found"),
                         (7, "expected bytes, int found")]:
        with pytest.raises(TypeError) as info:
            binding(*[bad] * n)
        assert str(info.value) == message
        assert "c_sdk." + name in tb_names(info)
    # The last text is bad: the library is not called either.
    with pytest.raises(TypeError):
        binding(*[b"ok"] * (n - 1), None)
    assert qxsdk.journal() == []


def test_empty_token_and_its_status(qxsdk):
    qxsdk.push_status("qxi_set_token", 1000)
    assert c_sdk.py_qxi_set_token(b"") == 1000
    assert qxsdk.journal() == [Call("qxi_set_token", (b"",))]


# ---------------------------------------------------------------- integers


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class StrictInt(int):
    pass


class Raising:
    def __int__(self):
        raise LookupError("no int here")


@pytest.mark.parametrize("name, args, fn, received, result, decorated", INT_FUNCTIONS, ids=ids(INT_FUNCTIONS))
def test_integer_arguments(qxsdk, name, args, fn, received, result, decorated):
    binding = getattr(c_sdk, name)
    accepted = [(2.9, 2), (-2.9, -2), (0.99, 0), (True, 1), (False, 0), (-2**31, -2**31),
                (2**31 - 1, 2**31 - 1), (IntLike(-77), -77), (StrictInt(12), 12)]
    for given, seen in accepted:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            binding(given)
    assert qxsdk.journal() == [Call(fn, (seen,)) for _, seen in accepted]
    qxsdk.clear_journal()

    refused = [(2**31, OverflowError, None), (-2**31 - 1, OverflowError, None),
               (2.0**40, OverflowError, None), (IntLike(2**40), OverflowError, None),
               (None, TypeError, "an integer is required"),
               (b"5", TypeError, "an integer is required"),
               ("5", TypeError, "an integer is required"),  # bytes once decorated
               ([], TypeError, "an integer is required"),
               (IntLike(1.5), TypeError, "__int__ returned non-int (type float)"),
               (IntLike("7"), TypeError, "__int__ returned non-int (type str)"),
               (Raising(), LookupError, "no int here")]
    for given, error, message in refused:
        with pytest.raises(error) as info:
            binding(given)
        if message:
            assert str(info.value) == message
        assert "c_sdk." + name in tb_names(info)
    assert qxsdk.journal() == []


def test_int_subclass_from_int_is_deprecated_but_used(qxsdk):
    with pytest.warns(DeprecationWarning) as record:
        c_sdk.py_qxi_set_max_wait_time(IntLike(StrictInt(41)))
    assert [str(w.message) for w in record] == [
        "__int__ returned non-int (type StrictInt).  The ability to return an instance of a strict "
        "subclass of int is deprecated, and may be removed in a future version of Python."]
    assert qxsdk.journal() == [Call("qxi_set_max_wait_time", (41,))]
    # Turned into an error, the warning stops the call.
    qxsdk.clear_journal()
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            c_sdk.py_qxi_set_backtest_threadnum(IntLike(StrictInt(2)))
    assert qxsdk.journal() == []


@pytest.mark.parametrize("given, seen", [
    (0, False), (0.5, False), (-0.9, False), (False, False), (7, True), (-1, True), (True, True),
    (1.2, True), (IntLike(-5), True), (-2**31, True)])
def test_mode_consistency_is_an_integer_passed_as_a_flag(qxsdk, given, seen):
    assert c_sdk.py_qxi_set_mode_consistency(given) is None
    assert qxsdk.journal() == [Call("qxi_set_mode_consistency", (seen,))]


def test_mode_consistency_refuses_what_is_no_integer(qxsdk):
    for given, error in [([1], TypeError), ("1", TypeError), (None, TypeError), (2**31, OverflowError)]:
        with pytest.raises(error):
            c_sdk.py_qxi_set_mode_consistency(given)
    assert qxsdk.journal() == []


# ---------------------------------------------------------------- argument passing


@pytest.mark.parametrize("name", sorted(KEYWORDED))
def test_keywords_and_positions_make_the_same_call(qxsdk, name):
    binding = getattr(c_sdk, name)
    params = KEYWORDED[name]
    values = [b"v%d" % i for i in range(len(params))]
    binding(*values)
    binding(**dict(zip(params, values)))
    binding(**dict(reversed(list(zip(params, values)))))
    binding(values[0], **dict(zip(params[1:], values[1:])))
    first, *others = qxsdk.journal()
    assert all(c == first for c in others) and len(others) == 3
    assert first.args[: len(params)] == tuple(values)


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("py_qxi_set_serv_addr_v5", (b"a", b"o"), {}, "py_qxi_set_serv_addr_v5() takes exactly 3 positional arguments (2 given)"),
    ("py_qxi_set_serv_addr_v5", (), {}, "py_qxi_set_serv_addr_v5() takes exactly 3 positional arguments (0 given)"),
    ("py_qxi_set_serv_addr_v5", (b"a", b"o", b"s", b"x"), {}, "py_qxi_set_serv_addr_v5() takes exactly 3 positional arguments (4 given)"),
    ("py_qxi_set_serv_addr_v5", (b"a",), {"site_id": b"s"}, "py_qxi_set_serv_addr_v5() takes exactly 3 positional arguments (1 given)"),
    ("py_qxi_set_serv_addr_v5", (), {"addr": b"a", "site_id": b"s"}, "py_qxi_set_serv_addr_v5() takes exactly 3 positional arguments (1 given)"),
    ("py_qxi_set_serv_addr_v5", (), {"orgcode": b"o", "site_id": b"s"}, "py_qxi_set_serv_addr_v5() takes exactly 3 positional arguments (0 given)"),
    ("py_qxi_set_serv_addr_v5", (b"a", b"o", b"s"), {"addr": b"a"}, "py_qxi_set_serv_addr_v5() got multiple values for keyword argument 'addr'"),
    ("py_qxi_set_serv_addr_v5", (b"a", b"o", b"s"), {"port": 1}, "py_qxi_set_serv_addr_v5() got an unexpected keyword argument 'port'"),
    ("py_qxi_set_serv_addr_v5", (None, None), {}, "py_qxi_set_serv_addr_v5() takes exactly 3 positional arguments (2 given)"),
    ("py_qxi_set_version", (b"1",), {}, "py_qxi_set_version() takes exactly 2 positional arguments (1 given)"),
    ("py_qxi_set_version", ("1", "py", "x"), {}, "py_qxi_set_version() takes exactly 2 positional arguments (3 given)"),
    ("py_qxi_set_version", (), {"sdk_lang": "py"}, "py_qxi_set_version() takes exactly 2 positional arguments (0 given)"),
    ("py_qxi_set_version", ("1",), {"sdk_lang": "py", "reserved1": None}, "py_qxi_set_version() got an unexpected keyword argument 'reserved1'"),
    ("py_qxi_set_version", ("1", "py"), {"sdk_lang": "py"}, "py_qxi_set_version() got multiple values for keyword argument 'sdk_lang'"),
    ("py_qxi_set_ctp_md_info", (None,), {"password": None}, "py_qxi_set_ctp_md_info() takes exactly 3 positional arguments (1 given)"),
    ("py_qxi_set_ctp_md_info", (), {"user_name": 1, "password": 2, "front_addresses": 3, "x": 4}, "py_qxi_set_ctp_md_info() got an unexpected keyword argument 'x'"),
    ("py_qxi_run", (1,), {}, "py_qxi_run() takes no arguments (1 given)"),
    ("py_qxi_stop", (), {"now": True}, "py_qxi_stop() takes no keyword arguments"),
    ("py_qxi_get_orgcode", ("x", "y"), {}, "py_qxi_get_orgcode() takes no arguments (2 given)"),
    ("py_qxi_set_token", (), {}, "py_qxi_set_token() takes exactly one argument (0 given)"),
    ("py_qxi_set_token", (), {"token": b"t"}, "py_qxi_set_token() takes no keyword arguments"),
    ("py_qxi_set_account_id", (b"a", b"b"), {}, "py_qxi_set_account_id() takes exactly one argument (2 given)"),
    ("py_qxi_strerror", (), {"errorno": 1}, "py_qxi_strerror() takes no keyword arguments"),
    ("py_qxi_set_mode_consistency", (1, 2), {}, "py_qxi_set_mode_consistency() takes exactly one argument (2 given)"),
])
def test_argument_errors_come_before_any_conversion(qxsdk, name, args, kwargs, message):
    assert_argument_error(qxsdk, name, args, kwargs, message)


def test_non_ascii_text_fails_before_argument_checks(qxsdk):
    # Decorated: the encoding runs first, even with a missing argument.
    with pytest.raises(UnicodeEncodeError):
        c_sdk.py_qxi_set_version("\u00e9")
    with pytest.raises(UnicodeEncodeError):
        c_sdk.py_qxi_set_ctp_md_info(b"f", b"u", password="p\u00e4ss")
    with pytest.raises(UnicodeEncodeError):
        c_sdk.py_qxi_get_orgcode("\u00e9")
    assert qxsdk.journal() == []


def test_non_string_keywords(qxsdk):
    with pytest.raises(TypeError) as info:
        vectorcall(c_sdk.py_qxi_set_version, (b"1", b"py"), (1,), (b"x",))
    assert str(info.value) == "wrapper() keywords must be strings"
    with pytest.raises(TypeError) as info:
        vectorcall(c_sdk.py_qxi_set_serv_addr_v5, (b"a", b"o", b"s"), (1,), (b"x",))
    assert str(info.value) == "py_qxi_set_serv_addr_v5() keywords must be strings"
    assert qxsdk.journal() == []
    vectorcall(c_sdk.py_qxi_set_serv_addr_v5, (b"a",), ("site_id", "orgcode"), (b"s", b"o"))
    assert qxsdk.journal() == [Call("qxi_set_serv_addr_v5", (b"a", b"o", b"s"))]


# ---------------------------------------------------------------- server address


class NotEqual:
    """A success value judged only through !=; == would raise."""

    def __init__(self, success):
        self.success = success
        self.seen = []

    def __ne__(self, status):
        self.seen.append(status)
        return status != self.success

    def __eq__(self, status):
        raise AssertionError("compared with ==")

    __hash__ = object.__hash__


def test_server_address_by_status(qxsdk):
    for status in (1, -1, 1000, 2**31 - 1):
        qxsdk.push_status("qxi_get_serv_addr", status)
        assert c_sdk.py_qxi_get_serv_addr(b"td") is None
    # The library's null address is never read on failure, but is an error on success.
    qxsdk.push_status("qxi_get_serv_addr", 5)
    qxsdk.push_text("qxi_get_serv_addr", None)
    assert c_sdk.py_qxi_get_serv_addr(b"td") is None
    qxsdk.push_text("qxi_get_serv_addr", None)
    with pytest.raises(SystemError) as info:
        c_sdk.py_qxi_get_serv_addr("td")
    assert "c_sdk.py_qxi_get_serv_addr" in tb_names(info)
    assert qxsdk.journal() == [Call("qxi_get_serv_addr", (b"td", OUT))] * 6


def test_server_address_uses_inequality_with_the_success_value(qxsdk):
    success = c_sdk.CSDK_OPERATE_SUCCESS = NotEqual(1007)
    qxsdk.push_status("qxi_get_serv_addr", 1007)
    qxsdk.push_text("qxi_get_serv_addr", b"tcp://custom")
    assert c_sdk.py_qxi_get_serv_addr(b"a") == b"tcp://custom"
    assert c_sdk.py_qxi_get_serv_addr(b"b") is None  # status 0 is a failure now
    assert success.seen == [1007, 0]

    class Unsure:
        def __ne__(self, other):
            return Truthless()

    class Truthless:
        def __bool__(self):
            raise ArithmeticError("no truth")

    c_sdk.CSDK_OPERATE_SUCCESS = Unsure()
    with pytest.raises(ArithmeticError):
        c_sdk.py_qxi_get_serv_addr(b"c")
    assert [c.args[0] for c in qxsdk.journal()] == [b"a", b"b", b"c"]


def test_server_address_without_a_success_value(qxsdk):
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError) as info:
        c_sdk.py_qxi_get_serv_addr(b"md")
    assert str(info.value) == "name 'CSDK_OPERATE_SUCCESS' is not defined"
    assert qxsdk.journal() == [Call("qxi_get_serv_addr", (b"md", OUT))]  # after the call
    builtins.CSDK_OPERATE_SUCCESS = 9
    try:
        qxsdk.push_status("qxi_get_serv_addr", 9)
        qxsdk.push_text("qxi_get_serv_addr", b"via builtins")
        assert c_sdk.py_qxi_get_serv_addr(b"md") == b"via builtins"
    finally:
        del builtins.CSDK_OPERATE_SUCCESS


@pytest.mark.parametrize("name, args, fn", [
    ("py_qxi_strerror", (1,), "qxi_strerror"),
    ("py_qxi_get_ext_errormsg", (), "qxi_get_ext_errormsg"),
    ("py_qxi_get_encrypted_token", (), "qxi_get_encrypted_token"),
    ("py_qxi_get_orgcode", (), "qxi_get_orgcode"),
])
def test_null_library_text_is_an_error_not_a_crash(qxsdk, name, args, fn):
    qxsdk.push_text(fn, None)
    with pytest.raises(SystemError):
        getattr(c_sdk, name)(*args)
    qxsdk.push_text(fn, b"fine")
    assert getattr(c_sdk, name)(*args) == b"fine"
    assert qxsdk.journal() == [Call(fn, args)] * 2


# ---------------------------------------------------------------- run and stop


def test_run_and_stop_statuses(qxsdk):
    qxsdk.set_session(3, 10)
    assert c_sdk.py_qxi_stop() == 0  # nothing running: the library ignores it
    assert c_sdk.py_qxi_run() == 0
    qxsdk.push_status("qxi_run", -3)
    assert c_sdk.py_qxi_run() == -3
    qxsdk.push_status("qxi_stop", 1005)
    assert c_sdk.py_qxi_stop() == 1005
    qxsdk.push_status("qxi_get_stop_error_code", 1000)
    assert c_sdk.py_qxi_get_stop_error_code() == 1000
    assert c_sdk.qxi_now() == 1767225600000 + 2 * 3 * 10  # both runs played the session
    assert [c.fn for c in qxsdk.journal()] == ["qxi_stop", "qxi_run", "qxi_run", "qxi_stop",
                                             "qxi_get_stop_error_code", "qxi_now"]


# ---------------------------------------------------------------- resources


def test_no_reference_growth(qxsdk):
    qxsdk.set_session(1, 1)

    def action():
        for name, args, fn, received, result, decorated in MEMBERS:
            getattr(c_sdk, name)(*args)
        qxsdk.push_status("qxi_get_serv_addr", 4)
        c_sdk.py_qxi_get_serv_addr("md")
        c_sdk.py_qxi_set_version(sdk_lang=b"py", sdk_version="1")
        swallow([lambda: c_sdk.py_qxi_set_max_wait_time(IntLike(1.5)),
                    lambda: c_sdk.py_qxi_set_version(b"1", x=1),
                    lambda: c_sdk.py_qxi_set_account_id("str"),
                    lambda: c_sdk.py_qxi_strerror(2**40)])
        qxsdk.push_text("qxi_strerror", None)
        try:
            c_sdk.py_qxi_strerror(1)
        except SystemError:
            pass

    growth = growth_without_journal(qxsdk, action, repeat=200)
    assert growth < 50, f"{growth} more blocks"
    qxsdk.clear_journal()
    action()
    assert [c.fn for c in qxsdk.journal()][: len(MEMBERS)] == [m[2] for m in MEMBERS]
