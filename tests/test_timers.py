"""Schedules, timers and the message bus: the calls the library receives and the events
they produce."""

import json

import pytest

import c_sdk
from conftest import assert_argument_error, growth_without_journal, swallow
from qxsdk_standin import Call

START = 1767225600000  # the library's clock after a reset



class Events:
    """A receiver keeping (text, decoded payload) pairs."""

    def __init__(self):
        self.seen = []

    def __call__(self, text, payload):
        self.seen.append((text, json.loads(payload)))

    def of(self, text):
        return [p for t, p in self.seen if t == text]


@pytest.fixture
def events(qxsdk):
    receiver = Events()
    c_sdk.py_qxi_set_data_callback(receiver)
    qxsdk.clear_journal()
    return receiver


# Python name, arguments, library call, result, decorated.
MEMBERS = [
    ("py_qxi_schedule", (b"1d", b"09:31:00"), Call("qxi_schedule", (b"1d", b"09:31:00")), 0, True),
    ("py_qxi_set_timer", (1500,), Call("qxi_set_timer", (1500,)), None, False),
    ("py_qxi_user_timer", (2000, 500), Call("qxi_user_timer", (2000, 500)), 1, True),
    ("py_qxi_user_timer_stop", (9,), Call("qxi_user_timer_stop", (9,)), None, True),
    ("py_qxi_set_bus_info", (b"nats://bus", b"me", b"pw"), Call("qxi_set_bus_info", (b"nats://bus", b"me", b"pw")), None, True),
    ("py_qxi_set_bus_secure", (2, b"ca", b"cert", b"key", 1),
     Call("qxi_set_bus_secure", (2, b"ca", b"cert", b"key", True)), None, True),
    ("py_qxi_add_bus_topic", (b"signals",), Call("qxi_add_bus_topic", (b"signals",)), None, True),
    ("py_qxi_send_msg_to_bus", (b"signals", b"buy"), Call("qxi_send_msg_to_bus", (b"signals", b"buy")), 1002, True),
]
KEYWORDS = {
    "py_qxi_schedule": ("date_rule", "time_rule"),
    "py_qxi_user_timer": ("period", "start_delay"),
    "py_qxi_set_bus_info": ("server_addr", "user_name", "password"),
    "py_qxi_set_bus_secure": ("in_mode", "tlsca", "tlscert", "tlskey", "skip_verify"),
    "py_qxi_send_msg_to_bus": ("topic", "msg"),
}


@pytest.mark.parametrize("name, args, call, result, decorated", MEMBERS, ids=[m[0] for m in MEMBERS])
def test_member_calls_its_library_function(qxsdk, name, args, call, result, decorated):
    binding = getattr(c_sdk, name)
    assert binding.__name__ == ("wrapper" if decorated else name)
    results = [binding(*args)]
    if name in KEYWORDS:
        params = KEYWORDS[name]
        results.append(binding(**dict(zip(params, args))))
        results.append(binding(args[0], **dict(reversed(list(zip(params[1:], args[1:]))))))
    # The library numbers user timers itself; everything else answers the same each time.
    expected = [1, 2, 3] if name == "py_qxi_user_timer" else [result] * len(results)
    assert results == expected and all(type(r) is type(result) for r in results)
    assert qxsdk.journal() == [call] * len(results)


@pytest.mark.parametrize("name", ["py_qxi_schedule", "py_qxi_user_timer", "py_qxi_send_msg_to_bus"])
def test_int_results_come_back_unchanged(qxsdk, name):
    args = next(m[1] for m in MEMBERS if m[0] == name)
    fn = next(m[2].fn for m in MEMBERS if m[0] == name)
    for status in (-1, 1004, -2**31, 2**31 - 1):
        qxsdk.push_status(fn, status)
        assert getattr(c_sdk, name)(*args) == status
    assert len(qxsdk.calls(fn)) == 4


def test_texts(qxsdk):
    c_sdk.py_qxi_schedule("", bytearray(b"15:00:00"))
    c_sdk.py_qxi_set_bus_info("srv", "user", "pw\x00rest")
    c_sdk.py_qxi_set_bus_secure(0, b"", "", bytearray(), "")
    c_sdk.py_qxi_add_bus_topic("topic")
    c_sdk.py_qxi_send_msg_to_bus(b"a", b"x\x00y")
    c_sdk.py_qxi_send_msg_to_bus(topic=bytearray(b""), msg="")
    assert qxsdk.journal() == [
        Call("qxi_schedule", (b"", b"15:00:00")),
        Call("qxi_set_bus_info", (b"srv", b"user", b"pw")),
        Call("qxi_set_bus_secure", (0, b"", b"", b"", False)),
        Call("qxi_add_bus_topic", (b"topic",)),
        Call("qxi_send_msg_to_bus", (b"a", b"x")),
        Call("qxi_send_msg_to_bus", (b"", b"")),
    ]
    qxsdk.clear_journal()
    with pytest.raises(UnicodeEncodeError):
        c_sdk.py_qxi_set_bus_info("srv", "user", "p\u00e4ss")
    with pytest.raises(UnicodeEncodeError):  # before the argument count is checked
        c_sdk.py_qxi_send_msg_to_bus("\u00e9")
    for call in [lambda: c_sdk.py_qxi_set_bus_info(b"srv", b"user", None),
                 lambda: c_sdk.py_qxi_add_bus_topic(None),
                 lambda: c_sdk.py_qxi_schedule(b"1d", 5),
                 lambda: c_sdk.py_qxi_set_bus_secure(1, b"", b"", [], 0)]:
        with pytest.raises(TypeError, match="^expected bytes, "):
            call()
    assert qxsdk.journal() == []


def test_integers(qxsdk):
    c_sdk.py_qxi_user_timer(2.9, -2.9)
    c_sdk.py_qxi_user_timer(period=True, start_delay=-2**31)
    c_sdk.py_qxi_set_timer(2**31 - 1)
    c_sdk.py_qxi_user_timer_stop(7.99)
    c_sdk.py_qxi_set_bus_secure(-1.5, b"", b"", b"", 0)
    assert qxsdk.journal() == [
        Call("qxi_user_timer", (2, -2)),
        Call("qxi_user_timer", (1, -2**31)),
        Call("qxi_set_timer", (2**31 - 1,)),
        Call("qxi_user_timer_stop", (7,)),
        Call("qxi_set_bus_secure", (-1, b"", b"", b"", False)),
    ]
    qxsdk.clear_journal()
    for call, error in [
        (lambda: c_sdk.py_qxi_user_timer("5", 0), "an integer is required"),
        (lambda: c_sdk.py_qxi_user_timer(5, None), "an integer is required"),
        (lambda: c_sdk.py_qxi_set_timer("5"), "an integer is required"),
        (lambda: c_sdk.py_qxi_user_timer_stop(b"1"), "an integer is required"),
        (lambda: c_sdk.py_qxi_set_bus_secure("1", b"", b"", b"", 0), "an integer is required"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == error
    for call in [lambda: c_sdk.py_qxi_user_timer(2**31, 0), lambda: c_sdk.py_qxi_user_timer(0, -2**31 - 1),
                 lambda: c_sdk.py_qxi_set_timer(-2**63), lambda: c_sdk.py_qxi_user_timer_stop(2**31)]:
        with pytest.raises(OverflowError):
            call()
    assert qxsdk.journal() == []


@pytest.mark.parametrize("given, seen", [(None, False), (0, False), ("", False), ([], False), ({}, False),
                                         ([0], True), ((None,), True), ({0: 0}, True), ("0", True), (-1, True)])
def test_skip_verify_is_a_truth_value(qxsdk, given, seen):
    c_sdk.py_qxi_set_bus_secure(1, b"ca", b"c", b"k", given)
    assert qxsdk.journal() == [Call("qxi_set_bus_secure", (1, b"ca", b"c", b"k", seen))]


def test_first_failing_conversion_is_reported(qxsdk):
    class BadBool:
        def __bool__(self):
            raise RuntimeError("truth")

    with pytest.raises(TypeError, match="an integer is required"):
        c_sdk.py_qxi_set_bus_secure(None, None, None, None, BadBool())
    with pytest.raises(TypeError, match="expected bytes"):
        c_sdk.py_qxi_set_bus_secure(1, b"", b"", None, BadBool())
    with pytest.raises(RuntimeError):
        c_sdk.py_qxi_set_bus_secure(1, b"", b"", b"", BadBool())
    with pytest.raises(OverflowError):
        c_sdk.py_qxi_user_timer(2**40, "x")
    assert qxsdk.journal() == []


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("py_qxi_set_timer", (), {"interval": 1}, "py_qxi_set_timer() takes no keyword arguments"),
    ("py_qxi_set_timer", (1, 2), {}, "py_qxi_set_timer() takes exactly one argument (2 given)"),
    ("py_qxi_user_timer_stop", (), {"timer_id": 1}, "py_qxi_user_timer_stop() takes no keyword arguments"),
    ("py_qxi_add_bus_topic", (), {}, "py_qxi_add_bus_topic() takes exactly one argument (0 given)"),
    ("py_qxi_user_timer", (1,), {}, "py_qxi_user_timer() takes exactly 2 positional arguments (1 given)"),
    ("py_qxi_user_timer", (1, 2), {"period": 1}, "py_qxi_user_timer() got multiple values for keyword argument 'period'"),
    ("py_qxi_schedule", (), {"time_rule": "x"}, "py_qxi_schedule() takes exactly 2 positional arguments (0 given)"),
    ("py_qxi_set_bus_info", (b"s", b"u", b"p", b"x"), {}, "py_qxi_set_bus_info() takes exactly 3 positional arguments (4 given)"),
    ("py_qxi_set_bus_secure", (1, b"", b"", b""), {}, "py_qxi_set_bus_secure() takes exactly 5 positional arguments (4 given)"),
    ("py_qxi_set_bus_secure", (1, b""), {"tlskey": b"", "skip_verify": 0}, "py_qxi_set_bus_secure() takes exactly 5 positional arguments (2 given)"),
    ("py_qxi_send_msg_to_bus", (b"t", b"m"), {"message": b"m"}, "py_qxi_send_msg_to_bus() got an unexpected keyword argument 'message'"),
])
def test_argument_errors(qxsdk, name, args, kwargs, message):
    assert_argument_error(qxsdk, name, args, kwargs, message)


# ---------------------------------------------------------------- what the triggers produce


def test_user_timers_fire_at_their_period_inside_the_run(qxsdk, events):
    qxsdk.set_session(6, 1000)
    first = c_sdk.py_qxi_user_timer(2000, 1000)
    second = c_sdk.py_qxi_user_timer(period=3000, start_delay=3000)
    assert (first, second) == (1, 2)
    assert c_sdk.py_qxi_run() == 0
    fired = [(p["timer_id"], p["now"] - START) for p in events.of("user_timer")]
    assert fired == [(1, 1000), (1, 3000), (2, 3000), (1, 5000), (2, 6000)]
    assert [c.fn for c in qxsdk.journal()] == ["qxi_user_timer", "qxi_user_timer", "qxi_run"]


def test_user_timer_stopped_from_inside_an_event(qxsdk, events):
    qxsdk.set_session(5, 1000)
    timer = c_sdk.py_qxi_user_timer(1000, 1000)

    def receiver(text, payload):
        events(text, payload)
        if len(events.of("user_timer")) == 2:
            assert c_sdk.py_qxi_user_timer_stop(timer) is None

    c_sdk.f = receiver
    c_sdk.py_qxi_run()
    assert len(events.of("user_timer")) == 2
    assert qxsdk.calls("qxi_user_timer_stop") == [Call("qxi_user_timer_stop", (timer,))]
    # Stopped for good; stopping again or an unknown id is the library's business.
    c_sdk.py_qxi_user_timer_stop(timer)
    c_sdk.py_qxi_user_timer_stop(-5)
    c_sdk.py_qxi_run()
    assert len(events.of("user_timer")) == 2


def test_poll_delivers_due_timers_without_waiting(qxsdk, events):
    qxsdk.set_now(5_000)
    c_sdk.py_qxi_set_timer(1000)
    timer = c_sdk.py_qxi_user_timer(500, 0)
    assert c_sdk.qxi_poll() == 0
    assert events.seen == [("user_timer", {"timer_id": timer, "now": 5000})]
    assert c_sdk.qxi_poll() == 0  # nothing is due: returns at once, clock unchanged
    assert len(events.seen) == 1 and c_sdk.qxi_now() == 5000
    qxsdk.set_now(5_500)
    c_sdk.qxi_poll()
    qxsdk.set_now(6_000)
    c_sdk.qxi_poll()
    assert [(t, p["now"]) for t, p in events.seen[1:]] == [("user_timer", 5500), ("timer", 6000), ("user_timer", 6000)]
    c_sdk.py_qxi_set_timer(0)  # disabled
    qxsdk.set_now(7_000)
    c_sdk.qxi_poll()
    assert [t for t, _ in events.seen[4:]] == ["user_timer"]
    assert [c.fn for c in qxsdk.journal()].count("qxi_poll") == 5


def test_schedules_fire_in_the_middle_of_the_session(qxsdk, events):
    qxsdk.set_session(4, 1000)
    assert c_sdk.py_qxi_schedule("1d", "09:31:00") == 0
    assert c_sdk.py_qxi_schedule(date_rule=b"1w", time_rule=b"14:55:00") == 0
    c_sdk.py_qxi_set_timer(1000)
    c_sdk.py_qxi_run()
    assert [t for t, _ in events.seen] == ["timer", "timer", "schedule", "schedule", "timer", "timer"]
    assert events.of("schedule") == [{"date_rule": "1d", "time_rule": "09:31:00"},
                                     {"date_rule": "1w", "time_rule": "14:55:00"}]


def test_bus_topics_receive_what_is_sent(qxsdk, events):
    c_sdk.py_qxi_set_bus_info(b"nats://127.0.0.1", b"me", b"secret")
    c_sdk.py_qxi_add_bus_topic("signals")
    assert c_sdk.py_qxi_send_msg_to_bus("signals", b'buy "600000"\x00ignored') == 0
    assert c_sdk.py_qxi_send_msg_to_bus(b"other", b"lost") == 1002  # never added
    assert c_sdk.qxi_poll() == 0
    assert events.seen == [("bus", {"topic": "signals", "msg": 'buy "600000"'})]
    assert qxsdk.journal()[-3:] == [Call("qxi_send_msg_to_bus", (b"signals", b'buy "600000"')),
                                  Call("qxi_send_msg_to_bus", (b"other", b"lost")),
                                  Call("qxi_poll", ())]


def test_bus_message_sent_from_inside_an_event(qxsdk, events):
    c_sdk.py_qxi_add_bus_topic(b"echo")

    def receiver(text, payload):
        events(text, payload)
        if text == "tick":
            c_sdk.py_qxi_send_msg_to_bus(b"echo", payload[:10])

    c_sdk.f = receiver
    qxsdk.set_session(2, 1000)
    c_sdk.py_qxi_subscribe(b"SHSE.600000", b"tick", 0)
    c_sdk.py_qxi_run()
    assert [t for t, _ in events.seen] == ["tick", "bus", "tick", "bus"]
    assert events.of("bus")[0] == {"topic": "echo", "msg": '{"symbol":'}


def test_no_reference_growth(qxsdk):
    def action():
        for name, args, call, result, decorated in MEMBERS:
            getattr(c_sdk, name)(*args)
        c_sdk.py_qxi_set_bus_secure(in_mode=1, tlsca="a", tlscert="b", tlskey="c", skip_verify=[1])
        swallow([lambda: c_sdk.py_qxi_user_timer(2**31, 0), lambda: c_sdk.py_qxi_set_timer(interval=1),
                    lambda: c_sdk.py_qxi_send_msg_to_bus(b"t", None)])

    growth = growth_without_journal(qxsdk, action, repeat=500)
    assert growth < 50, f"{growth} more blocks"
    qxsdk.clear_journal()
    action()
    assert [c.fn for c in qxsdk.journal()] == [m[2].fn for m in MEMBERS] + ["qxi_set_bus_secure"]
