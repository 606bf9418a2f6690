"""Library functions exposed directly under their own names."""


import pytest

import c_sdk
from conftest import growth_without_journal, swallow, tb_names, vectorcall
from qxsdk_standin import Call

START = 1767225600000  # the library's clock after a reset

NO_ARGS = "none"
ONE_ARG = "one"
NAMED = "named"

# Name, doc string, calling style, sample arguments, library arguments, result.
DIRECT = [
    ("qxi_add_bus_topic", "wrap(topic: 'const char *') -> 'void'", ONE_ARG, (b"t",), (b"t",), None),
    ("qxi_get_c_version", "wrap() -> 'const char *'", NO_ARGS, (), (), b"qxsdk stand-in 1.0"),
    ("qxi_get_encrypted_token", "wrap() -> 'const char *'", NO_ARGS, (), (), b"enc-"),
    ("qxi_get_ext_errormsg", "wrap() -> 'const char *'", NO_ARGS, (), (), b""),
    ("qxi_get_orgcode", "wrap() -> 'const char *'", NO_ARGS, (), (), b"org-standin"),
    ("qxi_init", "wrap() -> 'int'", NO_ARGS, (), (), 0),
    ("qxi_now", "wrap() -> 'long long'", NO_ARGS, (), (), START),
    ("qxi_now_plus", "wrap() -> float", NO_ARGS, (), (), START / 1000),
    ("qxi_poll", "wrap() -> 'int'", NO_ARGS, (), (), 0),
    ("qxi_send_msg_to_bus", "wrap(topic: 'const char *', msg: 'const char *') -> 'int'", NAMED,
     (b"t", b"m"), (b"t", b"m"), 1002),
    ("qxi_set_bus_info", "wrap(server_addr: 'const char *', user_name: 'const char *', "
     "password: 'const char *') -> 'void'", NAMED, (b"s", b"u", b"p"), (b"s", b"u", b"p"), None),
    ("qxi_set_bus_secure", "wrap(in_mode: 'int', tlsca: 'const char *', tlscert: 'const char *', "
     "tlskey: 'const char *', skip_verify: 'bool') -> 'void'", NAMED,
     (3, b"a", b"b", b"c", [0]), (3, b"a", b"b", b"c", True), None),
    ("qxi_set_mode", "wrap(mode: 'int') -> 'void'", ONE_ARG, (2,), (2,), None),
    ("qxi_strerror", "wrap(errorno: 'int') -> 'const char *'", ONE_ARG, (1001,), (1001,), b"invalid parameter"),
]
NAMES = {
    "qxi_send_msg_to_bus": ("topic", "msg"),
    "qxi_set_bus_info": ("server_addr", "user_name", "password"),
    "qxi_set_bus_secure": ("in_mode", "tlsca", "tlscert", "tlskey", "skip_verify"),
}


def ids(members):
    return [m[0] for m in members]




def test_fourteen_distinct_objects_named_wrap():
    objects = [getattr(c_sdk, m[0]) for m in DIRECT]
    assert len({id(o) for o in objects}) == 14
    for (name, doc, *_), obj in zip(DIRECT, objects):
        assert callable(obj)
        assert obj.__name__ == "wrap", name
        assert obj.__doc__ == doc, name


@pytest.mark.parametrize("name, doc, style, args, received, result", DIRECT, ids=ids(DIRECT))
def test_each_calls_its_own_library_function(qxsdk, name, doc, style, args, received, result):
    value = getattr(c_sdk, name)(*args)
    if name == "qxi_get_encrypted_token":
        assert type(value) is bytes and value.startswith(result)
    else:
        assert value == result and type(value) is type(result)
    assert qxsdk.journal() == [Call(name, received)]


def test_shared_adapters_keep_their_own_function(qxsdk):
    qxsdk.push_status("qxi_init", 11)
    qxsdk.push_status("qxi_poll", 22)
    assert (c_sdk.qxi_init(), c_sdk.qxi_poll()) == (11, 22)
    for fn in ("qxi_get_c_version", "qxi_get_encrypted_token", "qxi_get_ext_errormsg", "qxi_get_orgcode"):
        qxsdk.push_text(fn, fn.encode() + b"\xff")
    assert [c_sdk.qxi_get_orgcode(), c_sdk.qxi_get_c_version(), c_sdk.qxi_get_ext_errormsg(),
            c_sdk.qxi_get_encrypted_token()] == [b"qxi_get_orgcode\xff", b"qxi_get_c_version\xff",
                                                 b"qxi_get_ext_errormsg\xff", b"qxi_get_encrypted_token\xff"]
    assert [c.fn for c in qxsdk.journal()] == ["qxi_init", "qxi_poll", "qxi_get_orgcode", "qxi_get_c_version",
                                             "qxi_get_ext_errormsg", "qxi_get_encrypted_token"]


# ---------------------------------------------------------------- arguments


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("qxi_poll", (1,), {}, "wrap() takes no arguments (1 given)"),
    ("qxi_now", (None, None), {}, "wrap() takes no arguments (2 given)"),
    ("qxi_get_orgcode", (), {"x": 1}, "wrap() takes no keyword arguments"),
    ("qxi_strerror", (), {}, "wrap() takes exactly one argument (0 given)"),
    ("qxi_strerror", (), {"errorno": 1}, "wrap() takes no keyword arguments"),
    ("qxi_set_mode", (1, 2), {}, "wrap() takes exactly one argument (2 given)"),
    ("qxi_add_bus_topic", (b"t",), {"topic": b"t"}, "wrap() takes no keyword arguments"),
    ("qxi_set_bus_secure", (1, b"", b"", b""), {}, "wrap() takes exactly 5 positional arguments (4 given)"),
    ("qxi_set_bus_secure", (1, b"", b"", b"", 0, 0), {}, "wrap() takes exactly 5 positional arguments (6 given)"),
    ("qxi_set_bus_secure", (1,), {"tlscert": b"", "tlskey": b"", "skip_verify": 0},
     "wrap() takes exactly 5 positional arguments (1 given)"),
    ("qxi_send_msg_to_bus", (), {}, "wrap() takes exactly 2 positional arguments (0 given)"),
    ("qxi_send_msg_to_bus", (b"t", b"m"), {"topic": b"t"}, "wrap() got multiple values for keyword argument 'topic'"),
    ("qxi_send_msg_to_bus", (b"t", b"m"), {"message": b"m"}, "wrap() got an unexpected keyword argument 'message'"),
    ("qxi_set_bus_info", (None, None), {}, "wrap() takes exactly 3 positional arguments (2 given)"),
])
def test_calling_style_errors_name_wrap(qxsdk, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(c_sdk, name)(*args, **kwargs)
    assert str(info.value) == message
    assert "c_sdk.wrap" in tb_names(info)
    assert qxsdk.journal() == []


def test_non_string_keyword(qxsdk):
    with pytest.raises(TypeError) as info:
        vectorcall(c_sdk.qxi_send_msg_to_bus, (b"t", b"m"), (2,), (b"m",))
    assert str(info.value) == "wrap() keywords must be strings"
    assert qxsdk.journal() == []


@pytest.mark.parametrize("name", sorted(NAMES))
def test_keywords_and_positions_make_the_same_call(qxsdk, name):
    args = next(m[3] for m in DIRECT if m[0] == name)
    fn = getattr(c_sdk, name)
    params = NAMES[name]
    results = [fn(*args), fn(**dict(zip(params, args))),
               fn(*args[:1], **dict(reversed(list(zip(params[1:], args[1:])))))]
    assert results[0] == results[1] == results[2]
    first, *others = qxsdk.journal()
    assert others == [first] * 2 and first.fn == name


def test_text_arguments(qxsdk):
    c_sdk.qxi_add_bus_topic(b"")
    c_sdk.qxi_set_bus_info(bytearray(b"srv"), b"u\x00ser", b"")
    c_sdk.qxi_send_msg_to_bus(b"", b"x\x00y")
    assert qxsdk.journal() == [Call("qxi_add_bus_topic", (b"",)), Call("qxi_set_bus_info", (b"srv", b"u", b"")),
                             Call("qxi_send_msg_to_bus", (b"", b"x"))]
    qxsdk.clear_journal()
    # No decorator here: text objects are refused like any other non-bytes.
    for call, message in [
        (lambda: c_sdk.qxi_send_msg_to_bus("t", "m"), "expected bytes, str found"),
        (lambda: c_sdk.qxi_send_msg_to_bus(b"t", "m"), "expected bytes, str found"),
        (lambda: c_sdk.qxi_add_bus_topic("t"), "expected bytes, str found"),
        (lambda: c_sdk.qxi_add_bus_topic(None), "expected bytes, NoneType found"),
        (lambda: c_sdk.qxi_set_bus_info(b"s", b"u", memoryview(b"p")), "expected bytes, memoryview found"),
        (lambda: c_sdk.qxi_set_bus_secure(1, "a", b"", b"", 0), "expected bytes, str found"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert qxsdk.journal() == []


def test_integer_and_flag_arguments(qxsdk):
    c_sdk.qxi_strerror(2.7)
    c_sdk.qxi_set_mode(-2.9)
    c_sdk.qxi_set_mode(True)
    c_sdk.qxi_set_bus_secure(2**31 - 1, b"", b"", b"", [])
    c_sdk.qxi_set_bus_secure(-2**31, b"", b"", b"", "x")
    assert qxsdk.journal() == [Call("qxi_strerror", (2,)), Call("qxi_set_mode", (-2,)), Call("qxi_set_mode", (1,)),
                             Call("qxi_set_bus_secure", (2**31 - 1, b"", b"", b"", False)),
                             Call("qxi_set_bus_secure", (-2**31, b"", b"", b"", True))]
    qxsdk.clear_journal()

    class BadBool:
        def __bool__(self):
            raise OSError("truth")

    for call, error in [(lambda: c_sdk.qxi_strerror(2**31), OverflowError),
                        (lambda: c_sdk.qxi_set_mode(-2**31 - 1), OverflowError),
                        (lambda: c_sdk.qxi_set_mode(None), TypeError),
                        (lambda: c_sdk.qxi_strerror("1"), TypeError),
                        (lambda: c_sdk.qxi_set_bus_secure(b"1", b"", b"", b"", 0), TypeError),
                        (lambda: c_sdk.qxi_set_bus_secure(1, b"", b"", b"", BadBool()), OSError),
                        (lambda: c_sdk.qxi_set_bus_secure(None, b"", b"", b"", BadBool()), TypeError)]:
        with pytest.raises(error) as info:
            call()
        if error is TypeError:
            assert str(info.value) == "an integer is required"
    assert qxsdk.journal() == []


# ---------------------------------------------------------------- results


def test_clock_results(qxsdk):
    for now in (2**40, -(2**62), 0, -1, 2**63 - 1):
        qxsdk.set_now(now)
        value = c_sdk.qxi_now()
        assert value == now and type(value) is int
    qxsdk.set_now(-1000)
    assert c_sdk.qxi_now_plus() == -1.0  # the error-signalling value, with no error pending
    qxsdk.set_now(1500)
    value = c_sdk.qxi_now_plus()
    assert value == 1.5 and type(value) is float
    assert [c.fn for c in qxsdk.journal()] == ["qxi_now"] * 5 + ["qxi_now_plus"] * 2


def test_status_results_unchanged(qxsdk):
    for status in (-1, 1005, -2**31):
        qxsdk.push_status("qxi_init", status)
        qxsdk.push_status("qxi_poll", status)
        qxsdk.push_status("qxi_send_msg_to_bus", status)
        assert c_sdk.qxi_init() == status
        assert c_sdk.qxi_poll() == status
        assert c_sdk.qxi_send_msg_to_bus(b"t", b"m") == status
    assert len(qxsdk.journal()) == 9


@pytest.mark.parametrize("name, args", [("qxi_strerror", (5,)), ("qxi_get_c_version", ()),
                                        ("qxi_get_encrypted_token", ()), ("qxi_get_ext_errormsg", ()),
                                        ("qxi_get_orgcode", ())])
def test_null_text_gives_none(qxsdk, name, args):
    qxsdk.push_text(name, None)
    assert getattr(c_sdk, name)(*args) is None
    assert getattr(c_sdk, name)(*args) is not None
    assert qxsdk.journal() == [Call(name, args)] * 2


def test_poll_absorbs_event_errors(qxsdk, monkeypatch):
    monkeypatch.setattr("sys.excepthook", lambda *a: None)
    monkeypatch.setattr("sys.unraisablehook", lambda u: None)

    def receiver(text, payload):
        raise RuntimeError(text)

    c_sdk.py_qxi_set_data_callback(receiver)
    qxsdk.flood_events(b"boom", b"", 3)
    assert c_sdk.qxi_poll() == 0  # the errors were reported, nothing is left pending
    qxsdk.push_status("qxi_poll", -1)
    qxsdk.push_event(b"boom", b"")
    assert c_sdk.qxi_poll() == -1
    assert qxsdk.delivered_events() == 4
    assert qxsdk.journal()[1:] == [Call("qxi_poll", ())] * 2


def test_no_reference_growth(qxsdk):
    qxsdk.set_now(2**40)

    def action():
        for name, doc, style, args, received, result in DIRECT:
            getattr(c_sdk, name)(*args)
        c_sdk.qxi_set_bus_secure(in_mode=1, tlsca=b"a", tlscert=b"b", tlskey=b"c", skip_verify=1)
        qxsdk.push_text("qxi_strerror", None)
        c_sdk.qxi_strerror(1)
        swallow([lambda: c_sdk.qxi_send_msg_to_bus("t", "m"), lambda: c_sdk.qxi_strerror(2**31),
                    lambda: c_sdk.qxi_poll(1), lambda: c_sdk.qxi_set_bus_info(b"s", b"u", pw=b"p")])

    growth = growth_without_journal(qxsdk, action, repeat=500)
    assert growth < 50, f"{growth} more blocks"
    qxsdk.clear_journal()
    action()
    assert [c.fn for c in qxsdk.journal()] == [m[0] for m in DIRECT] + ["qxi_set_bus_secure", "qxi_strerror"]
