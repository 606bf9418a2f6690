#include "replay.hpp"

#include "answers.hpp"
#include "events.hpp"
#include "journal.hpp"
#include "text.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

namespace standin {

ReplayAnswer replay_answer;

namespace {

constexpr auto npos = std::string_view::npos;

// ---- Calls and events as text, for the divergence message

// The value of "key" in one argument object of the journal: a string's contents or a token.
std::string_view field(std::string_view object, std::string_view key) {
    std::string pattern = "\"";  // appended, not concatenated: GCC 12 warns wrongly about that at -O3
    pattern += key;
    pattern += "\":";
    const auto at = object.find(pattern);
    if (at == npos) return {};
    auto start = at + pattern.size();
    if (start < object.size() && object[start] == '"') {
        ++start;
        return object.substr(start, object.find('"', start) - start);
    }
    return object.substr(start, object.find_first_of(",}", start) - start);
}

int nibble(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

// Hex-encoded bytes as a C string literal, long ones cut short.
void literal(std::string& out, std::string_view hex) {
    constexpr std::size_t kShown = 48;
    const std::size_t size = hex.size() / 2;
    out += '"';
    for (std::size_t i = 0; i < size && i < kShown; ++i) {
        const auto c = static_cast<unsigned char>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    out += '"';
    if (size > kShown) out += "... (" + std::to_string(size) + " bytes)";
}

// fn(arg, ...) with the arguments as C sees them: "text", 7, 1.5, true, NULL, OUT.
std::string render_call(std::string_view fn, std::string_view args) {
    std::string out(fn);
    out += '(';
    for (auto at = args.find('{'); at != npos; at = args.find('{', at)) {
        const auto end = args.find('}', at);
        const std::string_view object = args.substr(at, end - at + 1);
        const std::string_view kind = field(object, "k");
        if (out.back() != '(') out += ", ";
        if (field(object, "null") == "true")
            out += "NULL";
        else if ((kind == "str" || kind == "req") && field(object, "hex") == "*")
            out += "<redacted>";
        else if (kind == "str" || kind == "req")
            literal(out, field(object, "hex"));
        else if (kind == "out")
            out += "OUT";
        else if (kind == "cb")
            out += "CALLBACK";
        else
            out += field(object, "v");
        at = end;
    }
    out += ')';
    return out;
}

// The arguments of a journal entry: {"fn":"<fn>","args":[...]}.
std::string_view args_of(std::string_view entry) {
    const auto at = entry.find('[');
    return entry.substr(at, entry.size() - 1 - at);
}

std::string recorded_call(const Replay& r, int index) {
    const RecordedCall& c = r.calls[static_cast<std::size_t>(index)];
    return render_call(c.fn, c.args) + " (recorded call " + std::to_string(index + 1) + " of " +
           std::to_string(r.calls.size()) + ")";
}

std::string recorded_event(const Replay& r, int index) {
    const RecordedEvent& e = r.events[static_cast<std::size_t>(index)];
    std::string out = e.ev->text ? "the " + quoted(*e.ev->text) + " event" : "an event with a null text";
    out += e.inside < 0 ? " from a library thread"
                        : " delivered inside " + r.calls[static_cast<std::size_t>(e.inside)].fn;
    return out;
}

std::string at_call(const Replay& r) {
    return "replay differs from the recording at call " + std::to_string(r.made) + ": ";
}

// ---- Following the recording

// The expected arguments, where "*" stands for the hex digits of a redacted text.
bool same_args(std::string_view expected, std::string_view came) {
    std::size_t j = 0;
    for (const char c : expected) {
        if (c == '*') {
            while (j < came.size() &&
                   ((came[j] >= '0' && came[j] <= '9') || (came[j] >= 'a' && came[j] <= 'f')))
                ++j;
        } else if (j == came.size() || came[j++] != c) {
            return false;
        }
    }
    return j == came.size();
}

// Only the first divergence is kept: what follows it is its consequence.
void diverge(Replay& r, std::string message) {
    if (!r.divergence) r.divergence = std::move(message);
}

// Delivers one recorded event with the lock released meanwhile. The lock is held by the
// library function's own Lock, which this borrows and gives back held.
void deliver_recorded(const RecordedEvent& e) {
    Lock lk(mu, std::adopt_lock);
    if (e.inside < 0)
        deliver_from_thread(lk, e.ev);
    else
        deliver(lk, e.ev);
    lk.release();
}

// Strict: the library-thread events recorded before this call, each from a new thread.
void deliver_thread_events(const std::shared_ptr<Replay>& replay) {
    Replay& r = *replay;
    while (st.replay == replay && !r.divergence && r.cursor < r.steps.size()) {
        const Replay::Step step = r.steps[r.cursor];
        if (!step.event || r.events[static_cast<std::size_t>(step.index)].inside >= 0) return;
        ++r.cursor;
        ++r.played;
        deliver_recorded(r.events[static_cast<std::size_t>(step.index)]);
    }
}

int match_strict(Replay& r, std::string_view fn, std::string_view came) {
    if (r.divergence) return -1;
    if (r.cursor == r.steps.size()) {
        diverge(r, at_call(r) + "expected no more calls (all " + std::to_string(r.calls.size()) +
                       " recorded calls were made), came " + render_call(fn, came));
        return -1;
    }
    const Replay::Step step = r.steps[r.cursor];
    const RecordedCall* c = step.event ? nullptr : &r.calls[static_cast<std::size_t>(step.index)];
    if (c && c->fn == fn && same_args(c->args, came)) {
        ++r.cursor;
        ++r.played;
        return step.index;
    }
    const std::string next = step.event ? recorded_event(r, step.index) : recorded_call(r, step.index);
    // Inside a callback that made all its recorded calls, the recording goes on elsewhere.
    const int callback = r.delivering.empty() ? -1 : r.delivering.back();
    if (callback >= 0 && (!c || c->parent != callback))
        diverge(r, at_call(r) + "expected the callback of " + recorded_event(r, callback) +
                       " to return, the recording going on with " + next + ", came " + render_call(fn, came));
    else
        diverge(r, at_call(r) + "expected " + next + ", came " + render_call(fn, came));
    return -1;
}

// Strict: the events recorded inside call k, in place among the calls their callbacks make.
void deliver_strict(const std::shared_ptr<Replay>& replay, int k) {
    Replay& r = *replay;
    while (st.replay == replay && !r.divergence && r.cursor < r.steps.size()) {
        const Replay::Step step = r.steps[r.cursor];
        if (!step.event) {
            // Made from the callback of an event of this call, which has returned without it.
            const int parent = r.calls[static_cast<std::size_t>(step.index)].parent;
            if (parent >= 0 && r.events[static_cast<std::size_t>(parent)].inside == k)
                diverge(r, "replay differs from the recording after call " + std::to_string(r.made) +
                               ": expected " + recorded_call(r, step.index) + " from the callback of " +
                               recorded_event(r, parent) + ", came the return of that callback");
            return;
        }
        const RecordedEvent& e = r.events[static_cast<std::size_t>(step.index)];
        if (e.inside != k && e.inside >= 0) return;  // an event of a call further out
        ++r.cursor;
        ++r.played;
        if (e.inside >= 0) r.delivering.push_back(step.index);
        deliver_recorded(e);
        if (e.inside >= 0) r.delivering.pop_back();
    }
}

int match_any(Replay& r, std::string_view fn, std::string_view came) {
    if (r.divergence) return -1;
    const auto it = r.unanswered.find(fn);
    if (it == r.unanswered.end() || it->second.empty()) {
        const auto recorded =
            std::count_if(r.calls.begin(), r.calls.end(), [&](const RecordedCall& c) { return c.fn == fn; });
        diverge(r, at_call(r) + "expected no more calls of " + std::string(fn) + " (the recording has " +
                       std::to_string(recorded) + "), came " + render_call(fn, came));
        return -1;
    }
    const int k = it->second.front();
    it->second.pop_front();
    ++r.played;
    return k;
}

// Not strict: the library-thread events recorded just before call k, then those inside it.
void deliver_any(const std::shared_ptr<Replay>& replay, int k) {
    Replay& r = *replay;
    for (const std::vector<int>* events :
         {&r.before[static_cast<std::size_t>(k)], &r.inside[static_cast<std::size_t>(k)]}) {
        for (const int e : *events) {
            if (st.replay != replay || r.divergence) return;
            ++r.played;
            deliver_recorded(r.events[static_cast<std::size_t>(e)]);
        }
    }
}

}  // namespace

void replay_enter(Rec& rec) {
    const std::shared_ptr<Replay> replay = st.replay;  // kept alive while the lock is released
    Replay& r = *replay;
    const std::string_view fn = rec.fn();
    std::string entry = rec.take();
    ++r.made;
    if (r.strict) deliver_thread_events(replay);
    int k = -1;
    if (st.replay == replay)
        k = r.strict ? match_strict(r, fn, args_of(entry)) : match_any(r, fn, args_of(entry));
    if (st.journal_on) keep(std::move(entry));
    if (k >= 0) r.strict ? deliver_strict(replay, k) : deliver_any(replay, k);
    // A callback that reset the stand-in leaves this call answered as without a recording.
    if (st.replay != replay)
        replay_answer = {};
    else
        replay_answer = {true, r.divergence || k < 0 ? nullptr : &r.calls[static_cast<std::size_t>(k)]};
}

std::optional<int> replayed_status() {
    const RecordedCall* c = replay_answer.call;
    if (!c) return kErrReplay;
    if (!c->number) return std::nullopt;
    return static_cast<int>(*c->number);
}

bool store_replayed(char** res, int* res_len) {
    const RecordedCall* c = replay_answer.call;
    if (!c) {
        hand_out(res, res_len, nullptr, 0);
        return true;
    }
    if (!c->response) return false;
    hand_out(res, res_len, *c->response);
    return true;
}

std::optional<std::optional<std::string>> replayed_text(std::string_view fn) {
    const RecordedCall* c = replay_answer.call;
    if (!c && fn == "qxi_get_ext_errormsg" && st.replay && st.replay->divergence)
        return std::optional<std::optional<std::string>>(std::in_place, st.replay->divergence);
    if (!c || !c->has_text) return std::nullopt;
    return std::optional<std::optional<std::string>>(std::in_place, c->text);
}

void start_replay(bool strict) {
    std::shared_ptr<Replay> replay = std::move(st.replay_next);
    if (!replay) replay = std::make_shared<Replay>();
    Replay& r = *replay;
    r.strict = strict;
    r.inside.assign(r.calls.size(), {});
    r.before.assign(r.calls.size(), {});
    std::vector<int> waiting;  // library-thread events that go with the next call
    for (const Replay::Step& step : r.steps) {
        if (!step.event) {
            r.unanswered[r.calls[static_cast<std::size_t>(step.index)].fn].push_back(step.index);
            r.before[static_cast<std::size_t>(step.index)] = std::exchange(waiting, {});
        } else if (const int inside = r.events[static_cast<std::size_t>(step.index)].inside; inside >= 0) {
            r.inside[static_cast<std::size_t>(inside)].push_back(step.index);
        } else {
            waiting.push_back(step.index);
        }
    }
    replay_answer = {};
    st.replay = std::move(replay);
}

long long replay_left(const Replay& r) { return static_cast<long long>(r.steps.size()) - r.played; }

std::string replay_next(const Replay& r) {
    if (r.strict) {
        if (r.cursor == r.steps.size()) return {};
        const Replay::Step step = r.steps[r.cursor];
        return step.event ? recorded_event(r, step.index) : recorded_call(r, step.index);
    }
    int first = -1;
    for (const auto& [fn, calls] : r.unanswered)
        if (!calls.empty() && (first < 0 || calls.front() < first)) first = calls.front();
    if (first >= 0) return recorded_call(r, first);
    return replay_left(r) > 0 ? "events from a library thread after the last call" : "";
}

}  // namespace standin
