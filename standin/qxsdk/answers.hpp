// How a library call gets its answer: the next scripted status, response or text of its
// function, else the default one; while a replay plays, the recorded one (replay.hpp).
// Responses and texts are handed out in blocks of their exact size, owned by the library
// (state.hpp: held, texts).
#pragma once

#include "replay.hpp"
#include "state.hpp"

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace standin {

inline Script* script_of(std::string_view fn) {
    if (st.scripted_items == 0) return nullptr;  // the common case: nothing scripted at all
    const auto it = st.scripts.find(fn);
    return it == st.scripts.end() ? nullptr : &it->second;
}

// The script of fn, created on first use, for one more scripted item.
Script& script_for(const char* fn);

// Takes the next scripted item of one kind, if any.
template <class T>
std::optional<T> pop_front(std::deque<T>& items) {
    if (items.empty()) return std::nullopt;
    std::optional<T> v = std::move(items.front());
    items.pop_front();
    --st.scripted_items;
    return v;
}

inline std::optional<int> pop_status(std::string_view fn) {
    if (replaying()) [[unlikely]]
        return replayed_status();
    Script* s = script_of(fn);
    return s ? pop_front(s->statuses) : std::nullopt;
}

inline int scripted(std::string_view fn, int natural) { return pop_status(fn).value_or(natural); }

// Hands out a block through (res, res_len); it is freed at the next library call.
void hand_out(char** res, int* res_len, std::unique_ptr<char[]> block, int len);
// Hands out a copy of a scripted or recorded response, as it says.
void hand_out(char** res, int* res_len, const Response& r);
// A copy of exactly `size` bytes: no terminator to lean on, so over-reads show under ASan.
std::unique_ptr<char[]> exact_copy(const char* data, std::size_t size);
// Stores the scripted response, or `fallback`, through (res, res_len).
void store(std::string_view fn, char** res, int* res_len, std::string_view fallback);
// The next scripted text of fn (nullopt inside: a null pointer), or nothing scripted.
std::optional<std::optional<std::string>> scripted_text(std::string_view fn);
// The scripted text, or `fallback`, as the library-owned text returned by fn (see answers.cpp).
const char* give_text(std::string_view fn, std::string fallback);
// {"fn":"<fn>"}: the default response of functions without a request.
std::string default_body(const char* fn);
// Stores the scripted response, or {"fn":"<fn>","req_len":<n>}.
void store_default(std::string_view fn, int req_len, char** res, int* res_len);
// {"fn":"<fn>","req_len":<n>} as a string.
std::string default_body(std::string_view fn, int req_len);

}  // namespace standin
