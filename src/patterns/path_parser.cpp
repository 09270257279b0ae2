#include "patterns/path_parser.hpp"

#include <cstddef>
#include <utility>

#include "text/utf8.hpp"

namespace quorvel {

namespace {

enum class TokenKind { Node, Edge };

struct Token {
    TokenKind kind;
    std::string text;  // without its property map
    std::vector<text::MapEntry> properties;
};

// The tokenizer's own notion of white space: only these four separate a node
// from an edge. Everything else (vertical tab, U+00A0, ...) is an ordinary
// character and is refused between patterns.
constexpr bool is_separator(char c) noexcept {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

// The map parser's message as a reason: "expected a key in property map"
// becomes "Expected a key in property map", like the other reasons.
std::string map_reason(std::string message) {
    if (!message.empty() && message[0] >= 'a' && message[0] <= 'z') message[0] = static_cast<char>(message[0] - 'a' + 'A');
    return message;
}

// Where a property map that starts at t[open] ends, with the map itself, or
// an error. Only white space may follow it before the `closer` that ends the
// node or edge (`at_top`: no other group is open in between).
std::optional<QuorvelError> read_map(std::string_view t, std::size_t open, char closer, bool at_top,
                                     std::size_t& end, std::vector<text::MapEntry>& out) {
    auto result = text::parse_property_map(t.substr(open));
    if (auto* error = std::get_if<text::ParseError>(&result)) return invalid_pattern(t, map_reason(error->message));
    auto& map = std::get<text::MapResult>(result);
    end = open + map.consumed;
    std::size_t k = end;
    while (k < t.size()) {
        const text::Decoded d = text::decode(t, k);
        if (!text::is_white_space(d.cp)) break;
        k += d.len;
    }
    if (k < t.size() && (t[k] != closer || !at_top))
        return invalid_pattern(t, "Property map must come last in a node or edge pattern");
    out = std::move(map.entries);
    return std::nullopt;
}

// Cuts `t` into node and edge texts. `paren` and `bracket` are signed: a stray
// `)` or `]` drives them negative and a later opener may bring them back.
//
// Node texts are not buffered: while a node is open every character belongs to
// it, so a node's text is the slice from its `(` to the `)` that closes it.
// A parenthesised group opened inside an edge's brackets (for instance the
// `(A -> B)` of `-[e:(A -> B) -> C]->`) is counted like a node (brackets
// inside it do not count, an unclosed one is an unmatched parenthesis) but
// its characters go to the edge text, so the edge's schema reads exactly as
// written and never ends a node or starts one.
std::optional<QuorvelError> tokenize(std::string_view t, std::vector<Token>& tokens) {
    std::ptrdiff_t paren = 0;
    std::ptrdiff_t bracket = 0;
    bool edge_group = false;  // the open parenthesis group began inside an edge's brackets
    std::size_t node_start = 0;
    std::string edge;
    // The property maps of the open node and edge; a node's map is cut out
    // of its text, an edge's map never enters the edge text.
    std::vector<text::MapEntry> node_map, edge_map;
    std::size_t node_map_begin = 0, node_map_end = 0;
    bool node_has_map = false, edge_has_map = false;

    for (std::size_t i = 0; i < t.size();) {
        const char c = t[i];
        std::size_t len = 1;
        if (static_cast<unsigned char>(c) >= 0x80) len = text::decode(t, i).len;
        const std::string_view ch = t.substr(i, len);
        i += len;

        if (c == '{') {
            const bool in_node = paren > 0 && !edge_group && bracket == 0;
            const bool in_edge = bracket > 0 && (paren == 0 || edge_group);
            if (in_node || in_edge) {
                bool& seen = in_node ? node_has_map : edge_has_map;
                if (seen) return invalid_pattern(t, "A node or edge pattern holds at most one property map");
                seen = true;
                std::size_t end = 0;
                const bool at_top = in_node ? paren == 1 : bracket == 1 && paren == 0;
                if (auto error = read_map(t, i - 1, in_node ? ')' : ']', at_top, end, in_node ? node_map : edge_map))
                    return error;
                if (in_node) node_map_begin = i - 1, node_map_end = end;
                i = end;
                continue;
            }
        }

        switch (c) {
            case '(':
                if (paren == 0 && bracket == 0) {
                    if (!edge.empty()) {
                        std::string_view trimmed = text::trim(edge);
                        if (!trimmed.empty())
                            tokens.push_back({TokenKind::Edge, std::string(trimmed), std::move(edge_map)});
                        edge.clear();
                    }
                    edge_map.clear();
                    edge_has_map = false;
                    node_start = i - 1;
                    node_map.clear();
                    node_has_map = false;
                    paren = 1;
                } else {
                    if (paren == 0 && bracket > 0) edge_group = true;
                    if (edge_group) edge += c;
                    ++paren;
                }
                break;
            case ')':
                if (edge_group) edge += c;
                --paren;
                if (paren == 0) {
                    if (edge_group) {
                        edge_group = false;
                    } else if (bracket == 0) {
                        std::string text;
                        if (node_has_map) {
                            text = t.substr(node_start, node_map_begin - node_start);
                            text += t.substr(node_map_end, i - node_map_end);
                        } else {
                            text = t.substr(node_start, i - node_start);
                        }
                        tokens.push_back({TokenKind::Node, std::move(text), std::move(node_map)});
                        node_map.clear();
                        node_has_map = false;
                    }
                }
                break;
            case '[':
            case ']':
                if (paren == 0) {
                    edge += c;
                    bracket += c == '[' ? 1 : -1;
                } else if (edge_group) {
                    edge += c;
                }
                break;
            case '-':
            case '<':
            case '>':
                if (paren == 0 || edge_group) edge += c;
                break;
            default:
                if (paren > 0) {
                    if (edge_group) edge += ch;
                } else if (bracket > 0) {
                    edge += ch;
                } else if (!is_separator(c)) {
                    std::string reason = "Unexpected character '";
                    reason += ch;
                    reason += "' outside of node or edge pattern";
                    return invalid_pattern(t, std::move(reason));
                }
                break;
        }
    }

    if (paren != 0) return invalid_pattern(t, "Unmatched parentheses in pattern");
    if (bracket != 0) return invalid_pattern(t, "Unmatched brackets in pattern");
    if (!edge.empty()) return invalid_pattern(t, "Pattern cannot end with an edge");
    return std::nullopt;
}

bool contains(std::string_view s, std::string_view what) noexcept {
    return s.find(what) != std::string_view::npos;
}

struct Parts {
    std::optional<std::string> variable;
    std::optional<std::string> schema;
};

// Variable and schema of an inner text `variable:Type` (already trimmed; the
// tokenizer has taken out any property map).
Parts split_parts(std::string_view inner) {
    std::string_view variable = inner;
    std::string_view type;
    if (std::size_t colon = inner.find(':'); colon != std::string_view::npos) {
        variable = text::trim(inner.substr(0, colon));
        type = text::trim(inner.substr(colon + 1));
    }

    Parts parts;
    if (!variable.empty()) parts.variable.emplace(variable);
    if (!type.empty()) {
        // A text with `$` is already a schema; a bare type name matches exactly.
        if (contains(type, "$")) {
            parts.schema.emplace(type);
        } else {
            std::string schema;
            schema.reserve(type.size() + 2);
            schema += '$';
            schema += type;
            schema += '$';
            parts.schema = std::move(schema);
        }
    }
    return parts;
}

std::optional<QuorvelError> parse_node(Token& token, std::vector<ParsedNode>& nodes) {
    std::string_view x = text::trim(token.text);
    if (x.empty() || x.front() != '(' || x.back() != ')')
        return invalid_pattern(x, "Node pattern must be enclosed in parentheses");
    Parts parts = split_parts(text::trim(x.substr(1, x.size() - 2)));
    nodes.push_back({std::move(parts.variable), std::move(parts.schema), std::move(token.properties)});
    return std::nullopt;
}

std::optional<QuorvelError> parse_edge(Token& token, std::vector<ParsedEdge>& edges) {
    std::string_view x = text::trim(token.text);
    const bool starts_left = !x.empty() && x.front() == '<';
    if (starts_left && contains(x, "->"))
        return invalid_pattern(x, "Cannot have both <- and -> in same edge");

    Direction direction = Direction::Any;
    if (starts_left && contains(x, "-"))
        direction = Direction::Backward;
    else if (contains(x, "->") || (!x.empty() && x.back() == '>'))
        direction = Direction::Forward;

    std::size_t open = x.find('[');
    if (open == std::string_view::npos) return invalid_pattern(x, "Edge pattern must contain brackets");
    std::size_t close = x.rfind(']');
    if (close == std::string_view::npos)
        return invalid_pattern(x, "Edge pattern must contain closing bracket");
    if (close < open) return invalid_pattern(x, "Brackets are mismatched");

    Parts parts = split_parts(text::trim(x.substr(open + 1, close - open - 1)));
    edges.push_back({std::move(parts.variable), std::move(parts.schema), std::move(token.properties), direction});
    return std::nullopt;
}

}  // namespace

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

ParseResult parse_path(std::string_view text) {
    const std::string_view t = text::trim(text);
    if (t.empty()) return invalid_pattern("", "Pattern cannot be empty");

    std::vector<Token> tokens;
    if (auto error = tokenize(t, tokens)) return std::move(*error);

    ParsedPath path;
    for (Token& token : tokens) {
        auto error = token.kind == TokenKind::Node ? parse_node(token, path.nodes) : parse_edge(token, path.edges);
        if (error) return std::move(*error);
    }

    if (path.nodes.empty()) return invalid_pattern(t, "Pattern must contain at least one node");
    if (path.edges.size() >= path.nodes.size())
        return invalid_pattern(t, "Invalid pattern: too many edges for the number of nodes");
    return path;
}

}  // namespace quorvel
