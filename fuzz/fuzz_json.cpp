// Arbitrary bytes into the JSON reader: it must never crash, every error must
// stand inside the text, and a text it accepts must read back the same after
// being written again from its tokens (strings through append_string).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "persist/json.hpp"

using namespace quorvel;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

struct Item {
    json::Token kind;
    std::string text;
};

// The tokens of `text`, or false if it is malformed.
bool read_all(std::string_view text, std::vector<Item>& out) {
    json::JsonReader r(text);
    for (;;) {
        const json::Token t = r.next();
        if (t == json::Token::Error) {
            check(r.offset() <= text.size());
            return false;
        }
        if (t == json::Token::End) return true;
        std::string s;
        if (t == json::Token::Key || t == json::Token::String) s = r.string();
        if (t == json::Token::Number) s = r.number();
        out.push_back({t, std::move(s)});
    }
}

std::string write_all(const std::vector<Item>& items) {
    std::string out;
    bool need_comma = false;
    for (const Item& i : items) {
        const bool closes = i.kind == json::Token::EndObject || i.kind == json::Token::EndArray;
        if (need_comma && !closes) out += ',';
        switch (i.kind) {
            case json::Token::BeginObject:
                out += '{';
                break;
            case json::Token::EndObject:
                out += '}';
                break;
            case json::Token::BeginArray:
                out += '[';
                break;
            case json::Token::EndArray:
                out += ']';
                break;
            case json::Token::Key:
                check(json::append_string(out, i.text));
                out += ':';
                break;
            case json::Token::String:
                check(json::append_string(out, i.text));
                break;
            case json::Token::Number:
                out += i.text;
                break;
            case json::Token::True:
                out += "true";
                break;
            case json::Token::False:
                out += "false";
                break;
            default:
                out += "null";
        }
        need_comma = i.kind != json::Token::Key && i.kind != json::Token::BeginObject &&
                     i.kind != json::Token::BeginArray;
    }
    return out;
}

bool same(const std::vector<Item>& a, const std::vector<Item>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].kind != b[i].kind || a[i].text != b[i].text) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<Item> items;
    if (!read_all(text, items)) return 0;
    std::vector<Item> again;
    check(read_all(write_all(items), again));
    check(same(items, again));
    // Skipping the first container reads to its end.
    json::JsonReader r(text);
    const json::Token first = r.next();
    if (first == json::Token::BeginObject || first == json::Token::BeginArray) {
        check(r.skip());
        check(r.depth() == 0);
        check(r.next() == json::Token::End);
    }
    return 0;
}
