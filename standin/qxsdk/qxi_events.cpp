// Library interface: the event callback.
#include "answers.hpp"
#include "journal.hpp"
#include "state.hpp"

using namespace standin;

extern "C" {

int qxi_set_event_callback_pb(qxi_event_callback callback) {
    Lock lk(mu);
    enter(Rec(__func__).cb(callback != nullptr));
    const int status = scripted(__func__, kOk);
    if (status == kOk) st.cb = callback;
    return status;
}

}  // extern "C"
