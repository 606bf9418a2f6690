"""A small strategy session against the stand-in library.

Sets token, server and strategy, registers an event receiver, subscribes two
symbols to ticks and one to 15-second bars, runs the library's loop and reacts to
ticks, bars, a user timer, bus messages and execution reports: it buys on the
first bar that closes above its open, queries positions from inside the event,
publishes a bus message on each timer firing, stops its timer after three
firings and stops the run after enough ticks. It ends with a short summary.

The library is the stand-in (pip install ./standin), asked for explicitly below before
c_sdk is imported: a simulator in which orders fill at once, never a market. Ctrl-C stops
the run through a SIGINT handler that asks the library to stop (an exception raised in
the event receiver, KeyboardInterrupt included, is reported and absorbed by the module,
so it would not end the run).

With --record FILE the same session runs through the qxsdk tap (pip install ./tap) put in
front of the stand-in, which records every library call and event into FILE; read it
with `python3 -m qxsdk_tap summary FILE`. With --replay FILE the stand-in answers every
call from that recording instead of simulating, and the run fails if the session no longer
makes the recorded calls.
"""

import argparse
import json
import os
import signal
import sys
from types import FrameType
from typing import Any, Optional

import qxsdk_standin

HERE = os.path.dirname(os.path.abspath(__file__))
# The stand-in host package; a real installation provides its own.
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "standin"))

_parser = argparse.ArgumentParser(description="A small strategy session against the stand-in library.")
_modes = _parser.add_mutually_exclusive_group()
_modes.add_argument("--record", metavar="FILE", help="record the session through the qxsdk tap into FILE")
_modes.add_argument("--replay", metavar="FILE", help="answer every library call from the session recorded in FILE")
_options = _parser.parse_known_args()[0]
RECORD, REPLAY = _options.record, _options.replay

if RECORD:
    import qxsdk_tap

    qxsdk_tap.activate(target=qxsdk_standin.library_path(), record=RECORD)
else:
    standin = qxsdk_standin.activate()
    if REPLAY:
        standin.replay(REPLAY)
print("Using the qxsdk stand-in library (a simulator, no market): %s" % qxsdk_standin.library_path(), flush=True)
if RECORD:
    print("Recording every library call and event through the qxsdk tap into %s" % RECORD, flush=True)
if REPLAY:
    print("Replaying the session recorded in %s" % REPLAY, flush=True)

import c_sdk  # noqa: E402
from c_sdk import BarLikeDict2, ObjectLikeDict2, QuoteItemLikeDict2, TickLikeDict2  # noqa: E402

SYMBOLS = ["SHSE.600000", "SZSE.000001"]
STOP_AFTER_TICKS = 100


class Strategy:
    def __init__(self) -> None:
        self.ticks = {symbol: 0 for symbol in SYMBOLS}
        self.last_price: dict[str, float] = {}
        self.widest_spread = 0.0
        self.bars: list[tuple[str | None, int | None, float | None]] = []
        self.orders: list[Any] = []
        self.reports: list[ObjectLikeDict2] = []
        self.positions: Any = []
        self.timer_id: int | None = None
        self.timer_fired = 0
        self.bus_messages: list[Any] = []
        self.errors: list[int] = []

    # Every library event arrives here as (text, payload).
    def on_event(self, text: str, payload: bytes) -> None:
        handler = getattr(self, "on_" + text, None)
        if handler is None:
            return
        handler(json.loads(payload) if payload else {})

    def on_tick(self, data: dict[str, Any]) -> None:
        tick = TickLikeDict2(data)
        if tick.symbol is None or tick.price is None or not tick.quotes:
            return  # a record reads None for a field its dict lacks
        self.ticks[tick.symbol] = self.ticks.get(tick.symbol, 0) + 1
        self.last_price[tick.symbol] = tick.price
        best = QuoteItemLikeDict2(tick.quotes[0])
        if best.ask_p is not None and best.bid_p is not None:
            self.widest_spread = max(self.widest_spread, best.ask_p - best.bid_p)
        if sum(self.ticks.values()) == STOP_AFTER_TICKS:
            c_sdk.py_qxi_stop()

    def on_bar(self, data: dict[str, Any]) -> None:
        bar = BarLikeDict2(data)
        self.bars.append((bar.symbol, bar.eob, bar.close))
        if not self.orders and bar.close is not None and bar.open is not None and bar.close > bar.open:
            request = json.dumps({"symbol": bar.symbol, "volume": 100, "side": 1, "price": bar.close})
            status, response = c_sdk.py_qxi_place_order(request)
            if c_sdk.c_status_fail(status, "qxi_place_order_pb") or response is None:
                self.errors.append(status)
                return
            self.orders.append(json.loads(response))
            status, response = c_sdk.py_qxi_get_positions(b"{}")
            if c_sdk.c_status_ok(status) and response is not None:
                self.positions = json.loads(response)

    def on_execution_report(self, data: dict[str, Any]) -> None:
        self.reports.append(ObjectLikeDict2(data))

    def on_user_timer(self, data: dict[str, Any]) -> None:
        self.timer_fired += 1
        # Loops back as a "bus" event, since this strategy listens on the topic.
        c_sdk.py_qxi_send_msg_to_bus("signals", "timer %d fired at %d" % (data["timer_id"], data["now"]))
        if self.timer_fired == 3 and self.timer_id is not None:
            c_sdk.py_qxi_user_timer_stop(self.timer_id)

    def on_bus(self, data: dict[str, Any]) -> None:
        self.bus_messages.append(ObjectLikeDict2(data).msg)


def main() -> int:
    strategy = Strategy()
    c_sdk.py_qxi_set_token("demo-token")
    c_sdk.py_qxi_set_serv_addr("127.0.0.1:7001")
    c_sdk.py_qxi_set_strategy_id("demo-strategy")
    c_sdk.py_qxi_set_data_callback(strategy.on_event)
    status = c_sdk.py_qxi_subscribe(",".join(SYMBOLS), "tick", False)
    assert c_sdk.c_status_ok(status), status
    c_sdk.py_qxi_subscribe(SYMBOLS[0], "15s", False)
    strategy.timer_id = c_sdk.py_qxi_user_timer(10000, 5000)
    c_sdk.py_qxi_add_bus_topic("signals")

    def stop_on_interrupt(signum: int, frame: Optional[FrameType]) -> None:
        # Runs between the receiver's bytecodes, on the thread inside py_qxi_run: asking the
        # library to stop ends the run once the current event has been handled.
        print("interrupted: stopping the run", flush=True)
        c_sdk.py_qxi_stop()

    previous = signal.signal(signal.SIGINT, stop_on_interrupt)
    try:
        status = c_sdk.py_qxi_run()
    finally:
        signal.signal(signal.SIGINT, previous)
    print("run finished with status %d (%s)" % (status, "ok" if c_sdk.c_status_ok(status) else "failed"))
    for symbol in SYMBOLS:
        print("  %-12s %3d ticks, last price %s" % (symbol, strategy.ticks.get(symbol, 0),
                                                  strategy.last_price.get(symbol)))
    print("  widest best-level spread: %.4f" % strategy.widest_spread)
    print("  bars: %d, last %s" % (len(strategy.bars), strategy.bars[-1] if strategy.bars else None))
    print("  orders placed: %d %s" % (len(strategy.orders), [o.get("order_id") for o in strategy.orders]))
    print("  execution reports: %d" % len(strategy.reports))
    print("  positions after the order: %s" % strategy.positions)
    print("  user timer fired %d times, then stopped" % strategy.timer_fired)
    print("  bus messages: %s" % strategy.bus_messages)
    version = c_sdk.qxi_get_c_version()  # None when the library has no version text
    print("  library version: %s, clock %d ms" % (version.decode() if version is not None else "unknown",
                                                  c_sdk.qxi_now()))
    if REPLAY and (standin.divergence() or standin.replay_left()):
        print("the session left its recording: %s" % (standin.divergence() or "%d recorded calls and events not "
                                                      "played" % standin.replay_left()), file=sys.stderr)
        return 1
    return 0 if c_sdk.c_status_ok(status) and not strategy.errors else 1


if __name__ == "__main__":
    sys.exit(main())
