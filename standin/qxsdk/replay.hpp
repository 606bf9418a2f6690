// Answering from a recorded session instead of the simulator. The control interface hands
// the recording over call by call and event by event (qxstub_replay_*), in the order they
// started; then every library call is checked against it in enter() (journal.hpp), which
// also delivers the events recorded inside that call, and takes its recorded status,
// response, text or clock through the answer functions (answers.hpp).
//
// Strict: the calls must come in the recorded order, with the recorded arguments (a
// redacted text matches any text but a null one). Otherwise each function takes its own
// recorded answers in order, whatever else comes between them. At the first call that
// cannot be answered so, the replay diverges: that call and every later one fail with
// kErrReplay, and qxi_get_ext_errormsg says which call was expected and which came.
#pragma once

#include "state.hpp"

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

struct RecordedCall {
    std::string fn;
    std::string args;                 // as the journal writes them; "*" stands for a redacted text's hex
    int parent;                       // the recorded event from whose callback it was made, -1 for none
    std::optional<long long> number;  // an int or long long result
    std::optional<double> real;
    bool has_text = false;            // a returned or stored text was recorded
    std::optional<std::string> text;  // nullopt: a null pointer
    std::optional<Response> response;
};

struct RecordedEvent {
    EventPtr ev;
    int inside;  // the call it was delivered inside; -1: from a library thread, outside any call
};

struct Replay {
    bool strict = true;
    std::vector<RecordedCall> calls;
    std::vector<RecordedEvent> events;
    struct Step {
        bool event;
        int index;
    };
    std::vector<Step> steps;      // calls and events in the order they started
    std::size_t cursor = 0;       // strict: the next step
    std::vector<int> delivering;  // strict: the events whose callbacks are running, innermost last
    // Not strict: per function, its calls not answered yet; per call, the events delivered
    // inside it and the library-thread events recorded just before it.
    std::map<std::string, std::deque<int>, std::less<>> unanswered;
    std::vector<std::vector<int>> inside, before;
    long long played = 0;  // calls answered and events delivered
    long long made = 0;    // calls received
    std::optional<std::string> divergence;
};

// How the call being made is answered: set by enter() for every call while a replay plays,
// read by the answer functions under the same hold of the lock.
struct ReplayAnswer {
    bool on = false;                     // the replay answers this call
    const RecordedCall* call = nullptr;  // its recorded answers; null: it fails
};
extern ReplayAnswer replay_answer;

inline bool replaying() { return replay_answer.on; }
// The recorded status (or id), kErrReplay once the replay has diverged.
std::optional<int> replayed_status();
// Stores the recorded response (a null one of length 0 once diverged); false if none was recorded.
bool store_replayed(char** res, int* res_len);
// The recorded text; once diverged, the divergence from qxi_get_ext_errormsg and nothing
// from the others; nothing for a redacted text. Nothing: the stand-in's own text.
std::optional<std::optional<std::string>> replayed_text(std::string_view fn);
// The recorded clock of qxi_now and qxi_now_plus, if this call has one.
inline std::optional<long long> replayed_number() {
    return replaying() && replay_answer.call ? replay_answer.call->number : std::nullopt;
}
inline std::optional<double> replayed_real() {
    return replaying() && replay_answer.call ? replay_answer.call->real : std::nullopt;
}

// Starts playing the recording handed over (qxstub_replay_start).
void start_replay(bool strict);
// Recorded calls and events not played yet, and the next of them as text.
long long replay_left(const Replay& r);
std::string replay_next(const Replay& r);

}  // namespace standin
