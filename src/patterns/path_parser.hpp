// Parser for path pattern texts such as `(n:Person)-[e:knows]->(m:Person)`.
//
// Pure C++ (no Python headers) so it can be unit tested and fuzzed on its
// own; the Python layer turns a ParsedPath into NodePattern / EdgePattern
// objects. A character-level tokenizer cuts the text into node and edge texts
// and hands each over as soon as it is complete, to be taken apart into a
// variable and a schema. A property map in braces, last inside a node's
// parentheses or an edge's brackets (`(n:Person {age: 30})`,
// `-[e {since: 2020}]->`), is read by the tokenizer itself, so that its string
// values may hold any character. One pass, iterative, linear in the input
// length; node and edge texts are slices of the input, not copies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "errors/error.hpp"
#include "text/literal.hpp"

namespace quorvel {

enum class Direction { Forward, Backward, Any };

// "forward", "backward" or "any": the text the Python layer stores.
const char* direction_name(Direction d) noexcept;

struct ParsedNode {
    std::optional<std::string> variable;
    std::optional<std::string> schema;       // type schema text, e.g. "$Person$"
    std::vector<text::MapEntry> properties;  // from `{key: literal, ...}`
};

// How many hops a variable-length edge (`-[e*1..3]->`) may take; the
// schema and the properties hold for every hop. `*` is 1 or more, `*n`
// exactly n, `*..m` 1 to m, `*n..` n or more; only an explicit 0 allows the
// zero-length path.
struct Hops {
    static constexpr std::uint32_t kUnbounded = UINT32_MAX;
    std::uint32_t min = 1;
    std::uint32_t max = kUnbounded;  // inclusive
};

struct ParsedEdge {
    std::optional<std::string> variable;
    std::optional<std::string> schema;
    std::vector<text::MapEntry> properties;
    Direction direction = Direction::Forward;
    std::optional<Hops> hops;  // absent: a plain edge, one hop
};

// At least one node and fewer edges than nodes; edge i stands between nodes i
// and i+1.
struct ParsedPath {
    std::vector<ParsedNode> nodes;
    std::vector<ParsedEdge> edges;
};

// The path, or an InvalidPattern error naming the offending text and reason.
using ParseResult = std::variant<ParsedPath, QuorvelError>;

ParseResult parse_path(std::string_view text);

// One node or edge as the parser reads it, in views into the text that last
// for the call only. The schema text of `type` is type_part_schema(type).
struct PartsRead {
    std::string_view variable;                 // empty: none
    std::string_view type;                     // the type part; empty: none
    std::vector<text::MapEntry>& properties;   // may be moved from
    Direction direction = Direction::Forward;  // edges only
    std::optional<Hops> hops;                  // edges only
};

// For callers that build values of their own instead of a ParsedPath: the
// parser hands each node and edge over in order as soon as it is read.
// Returning false stops the parse at once, with no error of the parser's;
// the builder knows why (a Python exception, say).
class PathBuilder {
public:
    virtual bool node(PartsRead& node) = 0;
    virtual bool edge(PartsRead& edge) = 0;

protected:
    ~PathBuilder() = default;
};

// The same parse into `out`: an InvalidPattern error, or none (parsed, or
// stopped by the builder). What was handed over before an error is to be
// thrown away.
std::optional<QuorvelError> parse_path(std::string_view text, PathBuilder& out);

// The schema text a type part such as `Person` or `$* -> B$` stands for: a
// text holding `$` is a schema already, anything else is wrapped in dollars.
// Node and edge patterns and the type tests of conditions all read types so.
std::string type_part_schema(std::string_view type);
// The same, written into `out` (replacing its contents).
void type_part_schema(std::string_view type, std::string& out);

}  // namespace quorvel
