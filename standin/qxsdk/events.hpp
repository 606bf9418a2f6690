// Event delivery: the queue of events and the callback, called with the lock released.
#pragma once

#include "state.hpp"

#include <string>

namespace standin {

EventPtr make_event(const char* text, const char* payload, int len);
EventPtr session_event(const char* text, const std::string& json);
// Deliveries queued and not made yet.
long long pending_total();
// Of those, the ones queued through the control interface (not the simulator's own).
long long pending_pushed();
// Delivers the next queued event; false when the queue is empty.
bool deliver_queued(Lock& lk);
// Delivers queued events until the queue is empty or a stop is requested.
void drain(Lock& lk);
// Delivers one event the simulated session produced (then what it queued, inside qxi_run).
void emit(Lock& lk, const char* text, const std::string& json);
// Calls the callback once with `ev` from a new thread and waits for that thread, the lock
// released meanwhile and held again on return.
void deliver_from_thread(Lock& lk, const EventPtr& ev);
// Calls the callback once with `ev` on this thread, the lock released meanwhile (a replay's
// recorded events).
void deliver(Lock& lk, const EventPtr& ev);
// What a library call does before it answers, when a test asked for it (see enter):
// the buffers of the events being delivered expire, and the events scripted for the
// next call are delivered from a library thread. Called with `mu` locked by the caller,
// which it unlocks around those deliveries.
void events_at_call();

}  // namespace standin
