#include "patterns/path_parser.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "text/utf8.hpp"

namespace quorvel {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// The tokenizer's own notion of white space: only these four separate a node
// from an edge. Everything else (vertical tab, U+00A0, ...) is an ordinary
// character and is refused between patterns.
constexpr bool is_separator(char c) noexcept {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

// Node and edge parts are a few characters long: plain loops beat library
// calls there.
std::size_t index_of(std::string_view s, char c) noexcept {
    for (std::size_t i = 0; i < s.size(); ++i)
        if (s[i] == c) return i;
    return npos;
}

std::size_t last_index_of(std::string_view s, char c) noexcept {
    for (std::size_t i = s.size(); i-- > 0;)
        if (s[i] == c) return i;
    return npos;
}

bool has_arrow(std::string_view s) noexcept {
    for (std::size_t i = 1; i < s.size(); ++i)
        if (s[i] == '>' && s[i - 1] == '-') return true;
    return false;
}

// What the tokenizer's inner loops stop at: inside a node (or a
// parenthesised group in an edge), only parentheses and braces matter;
// inside an edge's brackets, brackets too.
enum : std::uint8_t { kGroupStop = 1, kBracketStop = 2 };

constexpr std::array<std::uint8_t, 256> kStops = [] {
    std::array<std::uint8_t, 256> stops{};
    for (unsigned char c : {'(', ')', '{'}) stops[c] = kGroupStop | kBracketStop;
    for (unsigned char c : {'[', ']'}) stops[c] = kBracketStop;
    return stops;
}();

std::size_t skip_to(std::string_view t, std::size_t i, std::uint8_t stop) noexcept {
    while (i < t.size() && !(kStops[static_cast<unsigned char>(t[i])] & stop)) ++i;
    return i;
}

// The map parser's message as a reason: "expected a key in property map"
// becomes "Expected a key in property map", like the other reasons.
std::string map_reason(std::string message) {
    if (!message.empty() && message[0] >= 'a' && message[0] <= 'z')
        message[0] = static_cast<char>(message[0] - 'a' + 'A');
    return message;
}

constexpr const char* kMapMustComeLast = "Property map must come last in a node or edge pattern";

// Reads the property map that starts at t[open] into `out`; `end` is where it
// stops. Only white space may follow it before the `closer` that ends the node
// or edge (`at_top`: no other group is open in between).
std::optional<QuorvelError> read_map(std::string_view t, std::size_t open, char closer, bool at_top,
                                     std::size_t& end, std::vector<text::MapEntry>& out) {
    auto result = text::parse_property_map(t.substr(open));
    if (auto* error = std::get_if<text::ParseError>(&result))
        return invalid_pattern(t, map_reason(error->message));
    auto& map = std::get<text::MapResult>(result);
    end = open + map.consumed;
    std::size_t k = end;
    while (k < t.size()) {
        const text::Decoded d = text::decode(t, k);
        if (!text::is_white_space(d.cp)) break;
        k += d.len;
    }
    if (k < t.size() && (t[k] != closer || !at_top)) return invalid_pattern(t, kMapMustComeLast);
    out = std::move(map.entries);
    return std::nullopt;
}

// The text of the connector being read. It is a slice of the input until a
// character inside it is dropped (a separator outside the brackets, a stray
// parenthesis); only then is it copied, so most connectors are never copied.
class EdgeText {
public:
    explicit EdgeText(std::string_view input) : input_(input) {}

    bool empty() const noexcept { return begin_ == end_ && !owned_mode_; }
    std::size_t size() const noexcept { return owned_mode_ ? owned_.size() : end_ - begin_; }
    std::string_view view() const noexcept {
        return owned_mode_ ? std::string_view(owned_) : input_.substr(begin_, end_ - begin_);
    }

    // Appends input_[at, at + len).
    void append(std::size_t at, std::size_t len) {
        if (!owned_mode_ && (at == end_ || begin_ == end_)) {
            if (begin_ == end_) begin_ = at;
            end_ = at + len;
            return;
        }
        append_copied(at, len);
    }

    void clear() noexcept {
        begin_ = end_ = 0;
        owned_.clear();
        owned_mode_ = false;
    }

private:
    // A character was dropped in between: from now on the text is a copy.
    [[gnu::noinline]] void append_copied(std::size_t at, std::size_t len) {
        if (!owned_mode_) {
            owned_.assign(input_.substr(begin_, end_ - begin_));
            owned_mode_ = true;
        }
        owned_.append(input_.substr(at, len));
    }

    std::string_view input_;
    std::size_t begin_ = 0, end_ = 0;
    std::string owned_;
    bool owned_mode_ = false;
};

// Takes each node and edge text apart as the tokenizer hands it over, and
// hands the parts to the builder. The first failure is kept, not returned:
// the tokenizer runs to the end first, since its errors name the whole text
// and take precedence.
class Assembler {
public:
    explicit Assembler(PathBuilder& out) : out_(out) {}

    void node(std::string_view text, std::size_t map_begin, std::vector<text::MapEntry>& map);
    void edge(std::string_view text, std::size_t map_begin, std::vector<text::MapEntry>& map);

    std::optional<QuorvelError> error;
    bool stopped = false;  // by the builder
    std::size_t nodes = 0, edges = 0;

private:
    PathBuilder& out_;
};

// The variable and type part of an inner text `variable:Type` (trimmed, any
// property map already cut off); `has_type` tells whether there was a colon.
struct Split {
    std::string_view variable, type;
    bool has_type = false;
};

[[gnu::always_inline]] inline Split split_at_colon(std::string_view inner) {
    Split s{inner, {}, false};
    if (std::size_t colon = index_of(inner, ':'); colon != npos) {
        s.variable = text::trim(inner.substr(0, colon));
        s.type = text::trim(inner.substr(colon + 1));
        s.has_type = true;
    }
    return s;
}

// Larger bounds are refused: no path is that long, and the engine may count
// hops in 32 bits with room to spare.
constexpr std::uint64_t kLargestBound = std::uint64_t{1} << 31;

constexpr bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// Whether a `*` at t[star] is followed by a bound (`*2`, `*..3`, and the
// malformed `*-1`), which makes it a quantifier even inside a type part,
// where a bare `*` is the schema wildcard.
bool bound_follows(std::string_view t, std::size_t star) noexcept {
    std::string_view rest = t.substr(star + 1);
    return (!rest.empty() && is_digit(rest[0])) || rest.starts_with("..") ||
           (rest.size() >= 2 && rest[0] == '-' && is_digit(rest[1]));
}

// Splits an edge's inner text into variable, type part and quantifier
// (empty: none). With no type part before it, or after a `$...$` schema,
// any `*...` is a quantifier; inside a plain type part only a `*` followed
// by a bound, so `-[e:* -> *]->` keeps its schema.
Split split_edge(std::string_view inner, std::string_view& quantifier) {
    const std::size_t colon = index_of(inner, ':');
    if (std::size_t star = index_of(inner.substr(0, colon), '*'); star != npos) {
        quantifier = inner.substr(star);
        return Split{text::trim(inner.substr(0, star)), {}, false};
    }
    Split s = split_at_colon(inner);
    if (!s.has_type) return s;
    std::size_t star = npos;
    if (std::size_t dollar = last_index_of(s.type, '$'); dollar != npos) {
        const std::string_view after = text::trim(s.type.substr(dollar + 1));
        if (after.starts_with('*')) star = static_cast<std::size_t>(after.data() - s.type.data());
    } else {
        for (std::size_t k = s.type.find('*'); k != npos; k = s.type.find('*', k + 1))
            if (bound_follows(s.type, k)) {
                star = k;
                break;
            }
    }
    if (star != npos) {
        quantifier = s.type.substr(star);
        s.type = text::trim(s.type.substr(0, star));
    }
    return s;
}

// Reads a whole number of at most 10 digits from the front of `t`;
// `value` stays untouched when there are none.
bool read_bound(std::string_view& t, std::uint64_t& value) {
    std::size_t n = 0;
    std::uint64_t v = 0;
    while (n < t.size() && is_digit(t[n])) {
        if (n < 11) v = v * 10 + static_cast<std::uint64_t>(t[n] - '0');
        ++n;
    }
    if (n == 0) return false;
    value = n > 10 ? UINT64_MAX : v;
    t.remove_prefix(n);
    return true;
}

// `*`, `*n`, `*n..`, `*..m`, `*n..m` or `*..`; the reason why not otherwise.
std::optional<std::string> parse_hops(std::string_view quantifier, Hops& out) {
    const std::string_view q = text::trim(quantifier);
    auto refuse = [&](std::string_view why) {
        std::string reason = "Invalid quantifier '";
        reason += q;
        reason += "': ";
        reason += why;
        return reason;
    };
    std::string_view rest = q.substr(1);
    std::uint64_t min = 1, max = Hops::kUnbounded;
    const bool has_min = read_bound(rest, min);
    bool has_max = false;
    if (rest.starts_with("..")) {
        rest.remove_prefix(2);
        has_max = read_bound(rest, max);
    } else if (has_min) {
        max = min;
    }
    if (!rest.empty()) {
        if (rest[0] == '-' && rest.size() > 1 && is_digit(rest[1]))
            return refuse("bounds cannot be negative");
        return refuse("expected *, *n, *n.., *..m or *n..m");
    }
    if ((has_min && min > kLargestBound) || (has_max && max > kLargestBound))
        return refuse("bounds cannot exceed " + std::to_string(kLargestBound));
    if (min > max)
        return refuse("the lower bound " + std::to_string(min) + " is above the upper bound " +
                      std::to_string(max));
    out.min = static_cast<std::uint32_t>(min);
    out.max = static_cast<std::uint32_t>(max);
    return std::nullopt;
}

// `text` is a node slice from its `(` to its `)`; `map_begin` is where its
// property map starts (npos: none). What follows a map is white space only.
void Assembler::node(std::string_view text, std::size_t map_begin, std::vector<text::MapEntry>& map) {
    if (error || stopped) return;
    std::string_view x = text::trim(text);
    if (x.empty() || x.front() != '(' || x.back() != ')') {
        error = invalid_pattern(x, "Node pattern must be enclosed in parentheses");
        return;
    }
    const std::size_t inner_end = map_begin == npos ? x.size() - 1 : map_begin;
    const Split split = split_at_colon(text::trim(x.substr(1, inner_end - 1)));
    PartsRead parts{split.variable, split.type, map, Direction::Forward, std::nullopt};
    ++nodes;
    stopped = !out_.node(parts);
}

// `text` is a connector as written (separators outside its brackets dropped),
// `map_begin` where its property map starts (npos: none); the map stands
// before the connector's last `]`, with only white space in between.
void Assembler::edge(std::string_view text, std::size_t map_begin, std::vector<text::MapEntry>& map) {
    std::string_view x = text::trim(text);
    if (error || stopped || x.empty()) return;
    map_begin -= map_begin == npos ? 0 : static_cast<std::size_t>(x.data() - text.data());
    const std::size_t open = index_of(x, '[');
    const std::size_t close = last_index_of(x, ']');

    // The direction comes from the characters around the brackets: whatever
    // stands between the first `[` and the last `]` (a type such as `A -> B`,
    // a map value such as `-1`) never counts.
    std::string_view head = x, tail;
    if (open != npos && close != npos && open < close) {
        head = x.substr(0, open + 1);
        tail = x.substr(close);
    }
    const bool starts_left = x.front() == '<';
    const bool arrow = has_arrow(head) || has_arrow(tail);
    if (starts_left && arrow) {
        error = invalid_pattern(x, "Cannot have both <- and -> in same edge");
        return;
    }
    Direction direction = Direction::Any;
    if (starts_left && (index_of(head, '-') != npos || index_of(tail, '-') != npos))
        direction = Direction::Backward;
    else if (arrow || x.back() == '>')
        direction = Direction::Forward;

    if (open == npos) {
        error = invalid_pattern(x, "Edge pattern must contain brackets");
        return;
    }
    if (close == npos) {
        error = invalid_pattern(x, "Edge pattern must contain closing bracket");
        return;
    }
    if (close < open) {
        error = invalid_pattern(x, "Brackets are mismatched");
        return;
    }
    const std::size_t inner_end = map_begin == npos ? close : map_begin;
    std::string_view quantifier;
    Split split = split_edge(text::trim(x.substr(open + 1, inner_end - open - 1)), quantifier);
    std::optional<Hops> hops;
    if (!quantifier.empty()) {
        if (auto reason = parse_hops(quantifier, hops.emplace())) {
            error = invalid_pattern(x, std::move(*reason));
            return;
        }
    }
    PartsRead parts{split.variable, split.type, map, direction, hops};
    ++edges;
    stopped = !out_.edge(parts);
}

// Cuts `t` into node and edge texts and hands each to `out` as soon as it is
// complete. `paren` and `bracket` are signed: a stray `)` or `]` drives them
// negative and a later opener may bring them back.
//
// Node texts are not buffered: while a node is open every character belongs to
// it, so a node's text is the slice from its `(` to the `)` that closes it.
// A parenthesised group opened inside an edge's brackets (for instance the
// `(A -> B)` of `-[e:(A -> B) -> C]->`) is counted like a node (brackets
// inside it do not count, an unclosed one is an unmatched parenthesis) but
// its characters go to the edge text, so the edge's schema reads exactly as
// written and never ends a node or starts one.
//
// A `{` inside a node or an edge's brackets always starts a property map,
// which is read whole (its strings may hold any character) or refused.
std::optional<QuorvelError> tokenize(std::string_view t, Assembler& out) {
    std::ptrdiff_t paren = 0;
    std::ptrdiff_t bracket = 0;
    bool edge_group = false;  // the open parenthesis group began inside an edge's brackets
    std::size_t node_start = 0;
    EdgeText edge(t);
    std::vector<text::MapEntry> node_map, edge_map;
    std::size_t node_map_begin = npos, edge_map_begin = npos;
    bool edge_map_closed = false;  // the `]` after the edge's map has been seen

    // A `(` outside everything: the connector before it is complete.
    const auto start_node = [&](std::size_t at) {
        if (!edge.empty()) {
            out.edge(edge.view(), edge_map_begin, edge_map);
            edge.clear();
        }
        edge_map.clear();
        edge_map_begin = npos;
        edge_map_closed = false;
        node_start = at;
        node_map.clear();
        node_map_begin = npos;
        paren = 1;
    };
    // The `)` that closes a node, ending at `end`.
    const auto end_node = [&](std::size_t end) {
        out.node(t.substr(node_start, end - node_start), node_map_begin, node_map);
        node_map.clear();
        node_map_begin = npos;
    };

    for (std::size_t i = 0; i < t.size();) {
        if (out.stopped) return std::nullopt;
        // The common states first, each with its few characters that matter;
        // everything else goes to the full table below. Inside a node (or a
        // group opened after a stray `]`, whose text is dropped) runs of
        // characters are the node's slice; inside brackets, or a group within
        // them, the edge's.
        if (paren > 0 && !edge_group) {
            i = skip_to(t, i, kGroupStop);
            if (i == t.size()) break;
            if (t[i] == '(') {
                ++paren, ++i;
                continue;
            }
            if (t[i] == ')') {
                ++i;
                if (--paren == 0 && bracket == 0) end_node(i);
                continue;
            }
        } else if (paren > 0 || (bracket > 0 && paren == 0)) {  // a group in brackets, or the brackets
            const std::size_t from = i;
            i = skip_to(t, i, edge_group ? kGroupStop : kBracketStop);
            if (i == t.size()) {
                edge.append(from, i - from);
                break;
            }
            const char c = t[i];
            if (c != '{') {
                const bool dropped = c == ')' && !edge_group;  // a stray `)` in brackets
                edge.append(from, i + (dropped ? 0 : 1) - from);
                ++i;
                if (c == '(') {
                    edge_group = true;
                    ++paren;
                } else if (c == ')') {
                    if (--paren == 0) edge_group = false;
                } else if (c == '[') {
                    ++bracket;
                } else if (--bracket == 0 && edge_map_begin != npos) {  // `]`
                    edge_map_closed = true;
                }
                continue;
            }
            edge.append(from, i - from);
        } else if (paren == 0 && bracket == 0) {
            const char c = t[i];
            if (c == '-' || c == '<' || c == '>') {
                edge.append(i++, 1);
                continue;
            }
            if (is_separator(c)) {
                ++i;
                continue;
            }
            if (c == '(') {
                start_node(i++);
                continue;
            }
            if (c == '[' && !edge_map_closed) {
                edge.append(i++, 1);
                bracket = 1;
                continue;
            }
        }
        const char c = t[i];
        const std::size_t at = i;
        std::size_t len = 1;
        if (static_cast<unsigned char>(c) >= 0x80) len = text::decode(t, i).len;
        i += len;

        switch (c) {
            case '{': {
                const bool in_node = paren > 0 && !edge_group && bracket == 0;
                if (!in_node && bracket <= 0) {
                    if (paren > 0)
                        return invalid_pattern(t, "Unexpected character '{' outside of node or edge pattern");
                    break;  // outside everything: refused below like any other character
                }
                std::size_t& begin = in_node ? node_map_begin : edge_map_begin;
                if (begin != npos)
                    return invalid_pattern(t, "A node or edge pattern holds at most one property map");
                const bool at_top = in_node ? paren == 1 : bracket == 1 && paren == 0;
                std::size_t end = 0;
                if (auto error =
                        read_map(t, at, in_node ? ')' : ']', at_top, end, in_node ? node_map : edge_map))
                    return error;
                if (in_node) {
                    begin = at - node_start;
                } else {
                    begin = edge.size();
                    edge.append(at, end - at);
                }
                i = end;
                continue;
            }
            case '(':
                if (paren == 0 && bracket == 0) {
                    start_node(at);
                } else {
                    if (paren == 0 && bracket > 0) edge_group = true;
                    if (edge_group) edge.append(at, 1);
                    ++paren;
                }
                continue;
            case ')':
                if (edge_group) edge.append(at, 1);
                --paren;
                if (paren == 0) {
                    if (edge_group)
                        edge_group = false;
                    else if (bracket == 0)
                        end_node(i);
                }
                continue;
            case '[':
            case ']':
                if (paren > 0 && !edge_group) continue;  // part of a node's text
                // After a map only white space and the `]` that closes it.
                if (edge_map_closed) return invalid_pattern(t, kMapMustComeLast);
                if (paren == 0) {
                    edge.append(at, 1);
                    bracket += c == '[' ? 1 : -1;
                    if (c == ']' && edge_map_begin != npos && bracket == 0) edge_map_closed = true;
                } else if (edge_group) {
                    edge.append(at, 1);
                }
                continue;
            case '-':
            case '<':
            case '>':
                if (paren == 0 || edge_group) edge.append(at, 1);
                continue;
            default:
                break;
        }
        if (paren > 0) {
            if (edge_group) edge.append(at, len);
        } else if (bracket > 0) {
            edge.append(at, len);
        } else if (!is_separator(c)) {
            std::string reason = "Unexpected character '";
            reason += t.substr(at, len);
            reason += "' outside of node or edge pattern";
            return invalid_pattern(t, std::move(reason));
        }
    }

    if (out.stopped) return std::nullopt;
    if (paren != 0) return invalid_pattern(t, "Unmatched parentheses in pattern");
    if (bracket != 0) return invalid_pattern(t, "Unmatched brackets in pattern");
    if (!edge.empty()) return invalid_pattern(t, "Pattern cannot end with an edge");
    return std::nullopt;
}

}  // namespace

void type_part_schema(std::string_view type, std::string& out) {
    // A text with `$` is already a schema; a bare type name matches exactly.
    if (index_of(type, '$') != npos) {
        out.assign(type);
        return;
    }
    out.clear();
    out.reserve(type.size() + 2);
    out += '$';
    out += type;
    out += '$';
}

std::string type_part_schema(std::string_view type) {
    std::string out;
    type_part_schema(type, out);
    return out;
}

const char* direction_name(Direction d) noexcept {
    switch (d) {
        case Direction::Forward:
            return "forward";
        case Direction::Backward:
            return "backward";
        case Direction::Any:
            break;
    }
    return "any";
}

std::optional<QuorvelError> parse_path(std::string_view text, PathBuilder& out) {
    const std::string_view t = text::trim(text);
    if (t.empty()) return invalid_pattern("", "Pattern cannot be empty");
    Assembler parts(out);
    if (auto error = tokenize(t, parts)) return error;
    if (parts.stopped) return std::nullopt;
    if (parts.error) return std::move(parts.error);
    if (parts.nodes == 0) return invalid_pattern(t, "Pattern must contain at least one node");
    if (parts.edges >= parts.nodes)
        return invalid_pattern(t, "Invalid pattern: too many edges for the number of nodes");
    return std::nullopt;
}

namespace {

class ParsedPathBuilder final : public PathBuilder {
public:
    explicit ParsedPathBuilder(std::size_t length) {
        // A node takes at least three characters, an edge at least two.
        const std::size_t guess = std::min<std::size_t>(length / 6 + 1, 64);
        path.nodes.reserve(guess);
        path.edges.reserve(guess);
    }

    bool node(PartsRead& parts) override {
        ParsedNode& node = path.nodes.emplace_back();
        set(parts, node.variable, node.schema);
        node.properties = std::move(parts.properties);
        return true;
    }

    bool edge(PartsRead& parts) override {
        ParsedEdge& edge = path.edges.emplace_back();
        set(parts, edge.variable, edge.schema);
        edge.properties = std::move(parts.properties);
        edge.direction = parts.direction;
        edge.hops = parts.hops;
        return true;
    }

    ParsedPath path;

private:
    static void set(const PartsRead& parts, std::optional<std::string>& variable,
                    std::optional<std::string>& schema) {
        if (!parts.variable.empty()) variable.emplace(parts.variable);
        if (!parts.type.empty()) type_part_schema(parts.type, schema.emplace());
    }
};

}  // namespace

ParseResult parse_path(std::string_view text) {
    ParsedPathBuilder out(text.size());
    if (auto error = parse_path(text, out)) return std::move(*error);
    return std::move(out.path);
}

}  // namespace quorvel
