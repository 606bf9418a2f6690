#include "orders.hpp"

#include "events.hpp"
#include "market.hpp"
#include "state.hpp"
#include "text.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string_view>

namespace standin {

namespace {

struct JVal {
    enum Kind { Str, Num, Other } kind = Other;
    std::string s;  // a string's value, or a number's text (read exactly when it is used)
};

// Deeper nesting is refused, so that no request can exhaust the stack.
constexpr int kMaxNesting = 64;

// A JSON reader (RFC 8259) for one object whose members are kept; nested values are
// checked and skipped.
struct Reader {
    std::string_view in;
    std::size_t i = 0;

    static bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    void ws() {
        while (i < in.size() && is_ws(in[i])) ++i;
    }
    bool lit(char c) {
        ws();
        if (i < in.size() && in[i] == c) return ++i, true;
        return false;
    }
    bool word(std::string_view w) {
        if (in.substr(i, w.size()) != w) return false;
        i += w.size();
        return true;
    }
    bool str(std::string& out) {
        if (i >= in.size() || in[i] != '"') return false;
        for (++i; i < in.size(); ++i) {
            char c = in[i];
            if (c == '"') return ++i, true;
            if (c == '\\') {
                if (++i >= in.size()) return false;
                switch (c = in[i]) {
                    case 'n':
                        c = '\n';
                        break;
                    case 't':
                        c = '\t';
                        break;
                    case 'r':
                        c = '\r';
                        break;
                    case 'b':
                        c = '\b';
                        break;
                    case 'f':
                        c = '\f';
                        break;
                    case 'u': {
                        unsigned cp = 0;
                        if (i + 4 >= in.size() ||
                            std::from_chars(in.data() + i + 1, in.data() + i + 5, cp, 16).ptr !=
                                in.data() + i + 5)
                            return false;
                        i += 4;
                        if (cp < 0x80) {
                            c = static_cast<char>(cp);
                            break;
                        }
                        if (cp < 0x800) {
                            out += static_cast<char>(0xC0 | (cp >> 6));
                        } else {
                            out += static_cast<char>(0xE0 | (cp >> 12));
                            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                        }
                        c = static_cast<char>(0x80 | (cp & 0x3F));
                        break;
                    }
                    default:
                        break;  // \" \\ \/ stand for themselves
                }
            }
            out += c;
        }
        return false;
    }
    // One value; a string or a number is kept in v.
    bool value(JVal& v, int depth) {
        ws();
        if (i >= in.size()) return false;
        if (in[i] == '"') {
            v.kind = JVal::Str;
            return str(v.s);
        }
        if (in[i] == '{' || in[i] == '[')
            return depth < kMaxNesting && (in[i] == '{' ? object(depth + 1, nullptr) : array(depth + 1));
        if (word("true") || word("false") || word("null")) return true;
        const std::size_t n = json_number_length(in.substr(i));
        if (n == 0) return false;
        v.kind = JVal::Num;
        v.s = in.substr(i, n);
        i += n;
        return true;
    }
    // An object; its members go to `keep` when one is given (a repeated key: the last).
    bool object(int depth, std::map<std::string, JVal>* keep) {
        if (!lit('{')) return false;
        if (lit('}')) return true;
        do {
            ws();
            std::string key;
            JVal v;
            if (!str(key) || !lit(':') || !value(v, depth)) return false;
            if (keep) (*keep)[std::move(key)] = std::move(v);
        } while (lit(','));
        return lit('}');
    }
    bool array(int depth) {
        if (!lit('[')) return false;
        if (lit(']')) return true;
        do {
            JVal v;
            if (!value(v, depth)) return false;
        } while (lit(','));
        return lit(']');
    }
};

// The members of one JSON object; nullopt when the text is not exactly one object.
std::optional<std::map<std::string, JVal>> parse_object(std::string_view in) {
    Reader r{in};
    std::map<std::string, JVal> out;
    if (!r.object(0, &out)) return std::nullopt;
    r.ws();
    if (r.i != in.size()) return std::nullopt;
    return out;
}

}  // namespace

std::optional<Order> parse_order(const char* req, int n) {
    if (!req || n <= 0) return std::nullopt;
    const auto obj = parse_object(std::string_view(req, static_cast<std::size_t>(n)));
    if (!obj) return std::nullopt;
    auto get = [&](const char* k, JVal::Kind kind) -> const JVal* {
        const auto it = obj->find(k);
        return it != obj->end() && it->second.kind == kind ? &it->second : nullptr;
    };
    const JVal* sym = get("symbol", JVal::Str);
    const JVal* vol = get("volume", JVal::Num);
    const JVal* side = get("side", JVal::Num);
    const JVal* price = get("price", JVal::Num);
    if (!sym || sym->s.empty() || !vol || !side) return std::nullopt;
    // Numbers are whole units of what they count, read from their text.
    const auto volume = scaled_whole(vol->s, 0, 1000000000);
    const auto direction = scaled_whole(side->s, 0, 2);
    if (!volume || *volume < 1 || !direction || *direction < 1) return std::nullopt;
    // No price or 0: a market order at the simulated price. A limit price must be a whole
    // number of cents up to 1e7 (0.001 is not a price here, nor is 10.005).
    std::optional<long long> limit_cents;
    if (obj->count("price")) {
        limit_cents = price ? scaled_whole(price->s, 2, 1000000000) : std::nullopt;
        if (!limit_cents || *limit_cents < 0) return std::nullopt;
    }
    Order o{sym->s, *volume, static_cast<int>(*direction), 0};
    o.price = limit_cents.value_or(0) > 0 ? *limit_cents : price_at(o.symbol, st.now);
    return o;
}

std::string fill(const Order& o) {
    const std::string id = std::to_string(st.next_order_id++);
    const long long amount = o.price * o.volume;  // cents; bounded by the parse limits
    const long long q = o.side == 1 ? o.volume : -o.volume;
    Position& pos = st.positions[o.symbol];
    if (pos.volume == 0 || (pos.volume > 0) == (q > 0)) {  // opens or adds
        pos.open_volume += o.volume;
        pos.open_cost += static_cast<__int128>(amount);
    } else if (o.volume > std::llabs(pos.volume)) {  // closes and opens the other side
        pos.open_volume = o.volume - std::llabs(pos.volume);
        pos.open_cost = static_cast<__int128>(pos.open_volume) * o.price;
    }  // a fill that only reduces the position leaves its average price as it is
    pos.volume += q;
    if (pos.volume == 0) st.positions.erase(o.symbol);
    st.cash = sat_add(st.cash, o.side == 1 ? -amount : amount);

    const std::string common = ",\"symbol\":" + quoted(o.symbol) + ",\"side\":" + std::to_string(o.side) +
                               ",\"volume\":" + std::to_string(o.volume) + ",\"price\":" + cents(o.price);
    st.queue.push_back(
        {session_event("execution_report", "{\"order_id\":\"" + id + "\",\"exec_id\":\"" + id + "\"" +
                                               common + ",\"amount\":" + cents(amount) +
                                               ",\"created_at\":" + std::to_string(st.now) + "}"),
         1});
    return "{\"order_id\":\"" + id + "\",\"status\":\"filled\"" + common +
           ",\"filled_volume\":" + std::to_string(o.volume) + ",\"filled_amount\":" + cents(amount) +
           ",\"created_at\":" + std::to_string(st.now) + "}";
}

namespace {

// The average price of the opening fills, open_cost / open_volume cents, as a decimal
// with four places rounded half up: exact, whatever the volumes.
std::string vwap_text(const Position& p) {
    const __int128 v = std::max<long long>(p.open_volume, 1);
    const __int128 units = (p.open_cost * 200 + v) / (2 * v);  // ten-thousandths
    const auto whole = static_cast<unsigned long long>(units / 10000);
    const auto frac = static_cast<unsigned>(units % 10000);
    char b[48];
    std::snprintf(b, sizeof b, "%llu.%04u", whole, frac);
    return b;
}

}  // namespace

std::string positions_json() {
    std::string j = "[";
    for (const auto& [sym, p] : st.positions) {
        if (j.size() > 1) j += ',';
        j += "{\"symbol\":" + quoted(sym) + ",\"volume\":" + std::to_string(p.volume) +
             ",\"vwap\":" + vwap_text(p) + "}";
    }
    return j + "]";
}

namespace {

// Open positions are valued at their average price: open_cost scaled to the volume still
// held, rounded half up to the cent (exact whenever the average is a whole cent).
long long held_cost(const Position& p) {
    const __int128 v = std::max<long long>(p.open_volume, 1);
    const __int128 magnitude = (p.open_cost * std::llabs(p.volume) * 2 + v) / (2 * v);
    const __int128 limited = std::min<__int128>(magnitude, LLONG_MAX);
    return p.volume < 0 ? -static_cast<long long>(limited) : static_cast<long long>(limited);
}

}  // namespace

std::string cash_json() {
    long long market = 0;
    for (const auto& [sym, p] : st.positions) market = sat_add(market, held_cost(p));
    return "{\"available\":" + cents(st.cash) + ",\"market_value\":" + cents(market) +
           ",\"nav\":" + cents(sat_add(st.cash, market)) + "}";
}

}  // namespace standin
