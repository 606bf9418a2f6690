#include "answers.hpp"

#include <charconv>
#include <cstring>

namespace standin {

Script& script_for(const char* fn) {
    ++st.scripted_items;
    return st.scripts[fn];
}

void hand_out(char** res, int* res_len, std::unique_ptr<char[]> block, int len) {
    char* p = block.get();
    if (block) held.push_back(std::move(block));
    if (res) *res = p;
    if (res_len) *res_len = len;
}

void hand_out(char** res, int* res_len, const Response& r) {
    hand_out(res, r.writes_length ? res_len : nullptr,
             r.null ? nullptr : exact_copy(r.data.data(), r.data.size()), r.len);
}

std::unique_ptr<char[]> exact_copy(const char* data, std::size_t size) {
    std::unique_ptr<char[]> block(new char[size]);
    if (size) std::memcpy(block.get(), data, size);
    return block;
}

namespace {

// Stores the recorded response while a replay plays, else the next scripted response of
// fn, if there is one.
bool store_scripted(std::string_view fn, char** res, int* res_len) {
    if (replaying()) [[unlikely]]
        return store_replayed(res, res_len);
    Script* s = script_of(fn);
    std::optional<Response> r = s ? pop_front(s->responses) : std::nullopt;
    if (!r) return false;
    hand_out(res, res_len, *r);
    return true;
}

}  // namespace

void store(std::string_view fn, char** res, int* res_len, std::string_view fallback) {
    if (!store_scripted(fn, res, res_len))
        hand_out(res, res_len, exact_copy(fallback.data(), fallback.size()),
                 static_cast<int>(fallback.size()));
}

std::optional<std::optional<std::string>> scripted_text(std::string_view fn) {
    if (replaying()) [[unlikely]]
        return replayed_text(fn);
    Script* s = script_of(fn);
    return s ? pop_front(s->texts) : std::nullopt;
}

// The scripted text, or `fallback`, as the library-owned text returned by fn. Each text is
// a new allocation and the previous text of fn is freed only now, so reading a text after
// the next call of the same function is a use after free that a sanitizer reports.
const char* give_text(std::string_view fn, std::string fallback) {
    std::optional<std::string> t = scripted_text(fn).value_or(std::move(fallback));
    // The terminator included, and nothing after it: over-reads show under ASan.
    std::unique_ptr<char[]> block = t ? exact_copy(t->c_str(), t->size() + 1) : nullptr;
    auto it = texts.find(fn);
    if (it == texts.end()) it = texts.emplace(std::string(fn), nullptr).first;
    it->second = std::move(block);
    return it->second.get();
}

std::string default_body(const char* fn) { return "{\"fn\":\"" + std::string(fn) + "\"}"; }

// Stores the scripted response, or {"fn":"<fn>","req_len":<n>}. That default is the
// response of most calls, so it is written straight into the one block handed out.
void store_default(std::string_view fn, int req_len, char** res, int* res_len) {
    if (store_scripted(fn, res, res_len)) return;
    constexpr std::string_view head = "{\"fn\":\"", middle = "\",\"req_len\":";
    char digits[16];
    const auto number =
        static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, req_len).ptr - digits);
    const std::size_t size = head.size() + fn.size() + middle.size() + number + 1;
    std::unique_ptr<char[]> block(new char[size]);
    char* w = block.get();
    for (const std::string_view part : {head, fn, middle, std::string_view(digits, number)}) {
        std::memcpy(w, part.data(), part.size());
        w += part.size();
    }
    *w = '}';
    hand_out(res, res_len, std::move(block), static_cast<int>(size));
}

std::string default_body(std::string_view fn, int req_len) {
    return "{\"fn\":\"" + std::string(fn) + "\",\"req_len\":" + std::to_string(req_len) + "}";
}

}  // namespace standin
