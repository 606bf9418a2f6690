"""Code a type checker must reject: each line marked `# E: <code>` holds one planted
mistake, and mypy --strict must report that error code on that line and nothing on
any unmarked line (tools/check_planted_errors.py). Never run, only checked."""

import c_sdk
from c_sdk import BarLikeDict2, QuoteItemLikeDict2, TickLikeDict2


def planted() -> None:
    # Texts: str only where the decorator encodes it.
    c_sdk.py_qxi_get_symbol_infos("{}")  # E: arg-type
    c_sdk.qxi_send_msg_to_bus("topic", b"msg")  # E: arg-type
    c_sdk.py_qxi_set_token(123)  # E: arg-type
    # Calling styles: one-argument bindings refuse keywords; keyword bindings need all.
    c_sdk.py_qxi_strerror(errorno=1)  # E: call-arg
    c_sdk.py_qxi_subscribe(b"SHSE.600000", b"tick")  # E: call-arg
    c_sdk.py_qxi_run(0)  # E: call-arg
    c_sdk.py_qxi_user_timer(period=1000, start=0)  # E: call-arg
    # Arguments out of place: the flag and the fields swapped.
    c_sdk.py_qxi_current(b"SHSE.600000", True, b"price")  # E: arg-type
    c_sdk.py_qxi_set_backtest_config(b"s", b"e", "1e6", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1, 1, 1)  # E: arg-type
    c_sdk.py_qxi_smart_reorder_cancel("7")  # E: arg-type
    # Results: the response is None on failure, texts are bytes.
    status, response = c_sdk.py_qxi_get_dividends(b"{}")
    response.decode()  # E: union-attr
    org: str = c_sdk.py_qxi_get_orgcode()  # E: assignment
    now: int = c_sdk.qxi_now_plus()  # E: assignment
    address: bytes = c_sdk.py_qxi_get_serv_addr(b"md")  # E: assignment
    # A direct object gives None for a null library text, where a binding raises.
    c_sdk.qxi_strerror(1003).decode()  # E: union-attr
    # The event receiver takes (text, payload).
    c_sdk.py_qxi_set_data_callback(lambda text: None)  # E: arg-type
    # Records: fields may be absent (None), storage needs get and item assignment.
    tick = TickLikeDict2({"price": 10.5})
    tick.price + 1  # E: operator
    tick.symbol = 5  # E: assignment
    BarLikeDict2(5)  # E: arg-type
    "bid_p" in QuoteItemLikeDict2({})  # E: operator
    # Quote levels carry the four fields of the library's tick payloads, no others.
    levels = tick.quotes or []
    levels[0]["bid_price"]  # E: typeddict-item
    # Names the module does not have.
    c_sdk.py_qxi_place_orders(b"{}")  # E: attr-defined


def accepted() -> None:
    """The same calls written correctly: nothing here may be reported."""
    c_sdk.py_qxi_set_token("token")
    c_sdk.py_qxi_get_symbol_infos(bytearray(b"{}"))
    c_sdk.py_qxi_subscribe(symbols=b"SHSE.600000", frequency="tick", unsubscribe_previous=False)
    c_sdk.py_qxi_current("SHSE.600000", "price", include_call_auction=True)
    status, response = c_sdk.py_qxi_get_dividends(b"{}")
    if c_sdk.c_status_ok(status) and response is not None:
        response.decode()
    c_sdk.c_status_fail(status, "qxi_get_dividends")
    c_sdk.py_qxi_set_data_callback(lambda text, payload: None)
    tick = TickLikeDict2({"price": 10.5})
    if tick.price is not None:
        tick.price = tick.price + 1
    tick.extra = "stored under 'extra'"
    quotes = tick.quotes or []
    level = QuoteItemLikeDict2(quotes[0])
    level.ask_p
    quotes[0]["ask_v"] + 1
    text = c_sdk.qxi_strerror(1003)
    if text is not None:
        text.decode()
    "close" in BarLikeDict2({"close": None})
    c_sdk.CSDK_OPERATE_SUCCESS == c_sdk.qxi_poll()
