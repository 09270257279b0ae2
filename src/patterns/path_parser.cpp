#include "patterns/path_parser.hpp"

#include <cstddef>
#include <utility>

#include "text/utf8.hpp"

namespace quorvel {

namespace {

enum class TokenKind { Node, Edge };

struct Token {
    TokenKind kind;
    std::string text;
};

// The tokenizer's own notion of white space: only these four separate a node
// from an edge. Everything else (vertical tab, U+00A0, ...) is an ordinary
// character and is refused between patterns.
constexpr bool is_separator(char c) noexcept {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
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

    for (std::size_t i = 0; i < t.size();) {
        const char c = t[i];
        std::size_t len = 1;
        if (static_cast<unsigned char>(c) >= 0x80) len = text::decode(t, i).len;
        const std::string_view ch = t.substr(i, len);
        i += len;

        switch (c) {
            case '(':
                if (paren == 0 && bracket == 0) {
                    if (!edge.empty()) {
                        std::string_view trimmed = text::trim(edge);
                        if (!trimmed.empty()) tokens.push_back({TokenKind::Edge, std::string(trimmed)});
                        edge.clear();
                    }
                    node_start = i - 1;
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
                        tokens.push_back(
                            {TokenKind::Node, std::string(t.substr(node_start, i - node_start))});
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

// Variable and schema of an inner text `variable:Type {props}` (already
// trimmed). Property maps are not parsed; they are cut off.
Parts split_parts(std::string_view inner) {
    if (std::size_t brace = inner.find('{'); brace != std::string_view::npos)
        inner = text::trim(inner.substr(0, brace));

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

std::optional<QuorvelError> parse_node(std::string_view token, std::vector<ParsedNode>& nodes) {
    std::string_view x = text::trim(token);
    if (x.empty() || x.front() != '(' || x.back() != ')')
        return invalid_pattern(x, "Node pattern must be enclosed in parentheses");
    Parts parts = split_parts(text::trim(x.substr(1, x.size() - 2)));
    nodes.push_back({std::move(parts.variable), std::move(parts.schema)});
    return std::nullopt;
}

std::optional<QuorvelError> parse_edge(std::string_view token, std::vector<ParsedEdge>& edges) {
    std::string_view x = text::trim(token);
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
    edges.push_back({std::move(parts.variable), std::move(parts.schema), direction});
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
    for (const Token& token : tokens) {
        auto error = token.kind == TokenKind::Node ? parse_node(token.text, path.nodes)
                                                   : parse_edge(token.text, path.edges);
        if (error) return std::move(*error);
    }

    if (path.nodes.empty()) return invalid_pattern(t, "Pattern must contain at least one node");
    if (path.edges.size() >= path.nodes.size())
        return invalid_pattern(t, "Invalid pattern: too many edges for the number of nodes");
    return path;
}

}  // namespace quorvel
