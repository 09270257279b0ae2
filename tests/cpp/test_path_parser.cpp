#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "patterns/path_parser.hpp"

using namespace quorvel;

namespace {

using Opt = std::optional<std::string>;
const Opt none;

struct Node {
    Opt variable, schema;
};
struct Edge {
    Opt variable, schema;
    const char* direction;
};

struct ParseCase {
    std::string input;
    std::vector<Node> nodes;
    std::vector<Edge> edges;
};

struct FailCase {
    std::string input;
    std::string pattern;  // the text the error names
    std::string reason;
};

class PathParses : public ::testing::TestWithParam<ParseCase> {};
class PathFails : public ::testing::TestWithParam<FailCase> {};

TEST_P(PathParses, NodesAndEdges) {
    const ParseCase& c = GetParam();
    ParseResult r = parse_path(c.input);
    if (auto* e = std::get_if<QuorvelError>(&r)) FAIL() << e->display();
    const ParsedPath& p = std::get<ParsedPath>(r);
    ASSERT_EQ(p.nodes.size(), c.nodes.size());
    for (std::size_t i = 0; i < c.nodes.size(); ++i) {
        EXPECT_EQ(p.nodes[i].variable, c.nodes[i].variable) << "node " << i;
        EXPECT_EQ(p.nodes[i].schema, c.nodes[i].schema) << "node " << i;
    }
    ASSERT_EQ(p.edges.size(), c.edges.size());
    for (std::size_t i = 0; i < c.edges.size(); ++i) {
        EXPECT_EQ(p.edges[i].variable, c.edges[i].variable) << "edge " << i;
        EXPECT_EQ(p.edges[i].schema, c.edges[i].schema) << "edge " << i;
        EXPECT_STREQ(direction_name(p.edges[i].direction), c.edges[i].direction) << "edge " << i;
    }
}

TEST_P(PathFails, PatternAndReason) {
    const FailCase& c = GetParam();
    ParseResult r = parse_path(c.input);
    ASSERT_TRUE(std::holds_alternative<QuorvelError>(r));
    const QuorvelError& e = std::get<QuorvelError>(r);
    EXPECT_EQ(e.kind, QuorvelError::Kind::InvalidPattern);
    EXPECT_EQ(e.display(), "Invalid pattern '" + c.pattern + "': " + c.reason);
}

const std::string nbsp = "\xC2\xA0";

INSTANTIATE_TEST_SUITE_P(
    Syntax, PathParses,
    ::testing::Values(
        // Nodes: variable, schema wrapping, `$` texts kept, properties cut off.
        ParseCase{"()", {{none, none}}, {}}, ParseCase{"  (n)\n", {{"n", none}}, {}},
        ParseCase{nbsp + "(n)" + nbsp, {{"n", none}}, {}}, ParseCase{"(:Person)", {{none, "$Person$"}}, {}},
        ParseCase{"(n:)", {{"n", none}}, {}}, ParseCase{"( n : Person )", {{"n", "$Person$"}}, {}},
        ParseCase{"(n:$*$)", {{"n", "$*$"}}, {}}, ParseCase{"(n:A -> B)", {{"n", "$A -> B$"}}, {}},
        ParseCase{"(n:(A -> B) -> C)", {{"n", "$(A -> B) -> C$"}}, {}},
        ParseCase{"(n:Person {age: 30})", {{"n", "$Person$"}}, {}},
        ParseCase{"(n {k: 1})", {{"n", none}}, {}}, ParseCase{"(a:b:c)", {{"a", "$b:c$"}}, {}},
        ParseCase{"(n:[x]<y>)", {{"n", "$[x]<y>$"}}, {}},
        // Directions.
        ParseCase{"(a:A)-[r1]->(b:B)<-[r2]-(c:C)",
                  {{"a", "$A$"}, {"b", "$B$"}, {"c", "$C$"}},
                  {{"r1", none, "forward"}, {"r2", none, "backward"}}},
        ParseCase{"(a)-[e]-(b)", {{"a", none}, {"b", none}}, {{"e", none, "any"}}},
        ParseCase{"(a)-[e]>(b)", {{"a", none}, {"b", none}}, {{"e", none, "forward"}}},
        ParseCase{"(a)<[e]-(b)", {{"a", none}, {"b", none}}, {{"e", none, "backward"}}},
        ParseCase{"(a)<[e](b)", {{"a", none}, {"b", none}}, {{"e", none, "any"}}},
        ParseCase{"(a)[e](b)", {{"a", none}, {"b", none}}, {{"e", none, "any"}}},
        // Separators vanish outside brackets, stay inside.
        ParseCase{
            "(a) - [ e : knows {w: 1} ] -> (b)", {{"a", none}, {"b", none}}, {{"e", "$knows$", "forward"}}},
        ParseCase{"(a)-[]->(b)", {{"a", none}, {"b", none}}, {{none, none, "forward"}}},
        ParseCase{"(a)-[:$x$]->(b)", {{"a", none}, {"b", none}}, {{none, "$x$", "forward"}}},
        // Outer brackets win: first `[` to last `]`.
        ParseCase{"(a)-[[e]]->(b)", {{"a", none}, {"b", none}}, {{"[e]", none, "forward"}}},
        // Counts are all that is checked about alternation.
        ParseCase{"(a)(b)", {{"a", none}, {"b", none}}, {}},
        ParseCase{"-[e]->(a)(b)", {{"a", none}, {"b", none}}, {{"e", none, "forward"}}},
        // A parenthesised type inside an edge's brackets belongs to the edge.
        ParseCase{
            "(a)-[e:(A -> B) -> C]->(b)", {{"a", none}, {"b", none}}, {{"e", "$(A -> B) -> C$", "forward"}}},
        ParseCase{
            "(a)-[e:((A) -> [B])]->(b)", {{"a", none}, {"b", none}}, {{"e", "$((A) -> [B])$", "forward"}}},
        ParseCase{"(a)-[e:(A)]-(b)", {{"a", none}, {"b", none}}, {{"e", "$(A)$", "any"}}},
        // Non-ASCII text is carried byte for byte.
        ParseCase{"(\xC3\xA9:\xE2\x82\xAC)", {{"\xC3\xA9", "$\xE2\x82\xAC$"}}, {}}));

INSTANTIATE_TEST_SUITE_P(
    Errors, PathFails,
    ::testing::Values(
        FailCase{"", "", "Pattern cannot be empty"},
        FailCase{" \t" + nbsp + "\u3000", "", "Pattern cannot be empty"},
        // Tokenizer errors name the whole trimmed text.
        FailCase{"(a", "(a", "Unmatched parentheses in pattern"},
        FailCase{"(a))", "(a))", "Unmatched parentheses in pattern"},
        FailCase{" (a)-[e ", "(a)-[e", "Unmatched brackets in pattern"},
        FailCase{"(a)-[e->(b)", "(a)-[e->(b)", "Unmatched brackets in pattern"},
        // An unclosed group inside brackets counts as an open parenthesis.
        FailCase{"(a)-[e:(A]->(b)", "(a)-[e:(A]->(b)", "Unmatched parentheses in pattern"},
        FailCase{"(a)-[e:(A]", "(a)-[e:(A]", "Unmatched parentheses in pattern"},
        // A stray `)` leaves the depth negative, so what follows is outside any pattern.
        FailCase{"(a)-[e])->(b)", "(a)-[e])->(b)",
                 "Unexpected character 'b' outside of node or edge pattern"},
        FailCase{"(a)-[e]->", "(a)-[e]->", "Pattern cannot end with an edge"},
        FailCase{"(a)-[e:(A)]", "(a)-[e:(A)]", "Pattern cannot end with an edge"},
        FailCase{"(a) x (b)", "(a) x (b)", "Unexpected character 'x' outside of node or edge pattern"},
        FailCase{"(a)" + nbsp + "(b)", "(a)" + nbsp + "(b)",
                 "Unexpected character '" + nbsp + "' outside of node or edge pattern"},
        FailCase{"(a)\v(b)", "(a)\v(b)", "Unexpected character '\v' outside of node or edge pattern"},
        FailCase{"(a)\xF0\x9F\x98\x80", "(a)\xF0\x9F\x98\x80",
                 "Unexpected character '\xF0\x9F\x98\x80' outside of node or edge pattern"},
        // An invalid byte is reported as itself, one byte.
        FailCase{"(a)\xE2\x82(b)", "(a)\xE2\x82(b)",
                 "Unexpected character '\xE2' outside of node or edge pattern"},
        // The tokenizer runs to the end before any token is taken apart.
        FailCase{"(a)-(b)x", "(a)-(b)x", "Unexpected character 'x' outside of node or edge pattern"},
        // Token errors name the trimmed token.
        FailCase{"(a) <-[e]-> (b)", "<-[e]->", "Cannot have both <- and -> in same edge"},
        FailCase{"(a)<->(b)", "<->", "Cannot have both <- and -> in same edge"},
        FailCase{"(a)-(b)", "-", "Edge pattern must contain brackets"},
        FailCase{"(a)->(b)", "->", "Edge pattern must contain brackets"},
        FailCase{"(a)-][->(b)", "-][->", "Brackets are mismatched"},
        FailCase{"(a)-(b)-[e]->(c)-[f]->", "(a)-(b)-[e]->(c)-[f]->", "Pattern cannot end with an edge"},
        FailCase{"(a)-(b)<-[e]->(c)", "-", "Edge pattern must contain brackets"},
        // Both arrows around the brackets, whatever they hold.
        FailCase{"(a)<-[e:A]->(b)", "<-[e:A]->", "Cannot have both <- and -> in same edge"},
        FailCase{"(a)<-[e:A -> B]->(b)", "<-[e:A -> B]->", "Cannot have both <- and -> in same edge"},
        FailCase{"(a)<-[e {k: 1}]->(b)", "<-[e {k: 1}]->", "Cannot have both <- and -> in same edge"},
        FailCase{"(a)<-[e {k: '<-'}]->(b)", "<-[e {k: '<-'}]->", "Cannot have both <- and -> in same edge"},
        // Counts.
        FailCase{"-[e]->(a)", "-[e]->(a)", "Invalid pattern: too many edges for the number of nodes"},
        FailCase{"-[e]->(a)-[f]->(b)", "-[e]->(a)-[f]->(b)",
                 "Invalid pattern: too many edges for the number of nodes"},
        FailCase{"))((", "))((", "Pattern must contain at least one node"}));

TEST(PathParser, LongInputsAreLinear) {
    // A long chain and a deep nest: no recursion, no quadratic rescans.
    std::string chain = "(a)";
    while (chain.size() < 1000000) chain += "-[e:T]->(b:U)";
    std::string deep(500000, '(');
    deep += std::string(500000, ')');
    std::string deep_edge = "(a)-[" + std::string(500000, '(') + std::string(500000, ')') + "]->(b)";

    auto start = std::chrono::steady_clock::now();
    ParseResult r1 = parse_path(chain);
    ParseResult r2 = parse_path(deep);
    ParseResult r3 = parse_path(deep_edge);
    auto elapsed = std::chrono::steady_clock::now() - start;

    ASSERT_TRUE(std::holds_alternative<ParsedPath>(r1));
    const ParsedPath& p = std::get<ParsedPath>(r1);
    EXPECT_EQ(p.edges.size() + 1, p.nodes.size());
    EXPECT_EQ(p.nodes.back().schema, "$U$");
    ASSERT_TRUE(std::holds_alternative<ParsedPath>(r2));
    EXPECT_EQ(std::get<ParsedPath>(r2).nodes.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<ParsedPath>(r3));
    EXPECT_EQ(std::get<ParsedPath>(r3).edges.at(0).variable->size(), 1000000u);
    EXPECT_LT(elapsed, std::chrono::seconds(2));
}

}  // namespace

namespace {

// The direction is read around the brackets: for every connector shape, any
// bracket content gives the direction (or the error) that a plain `e` gives,
// and an error quotes the connector as written.
TEST(PathParser, BracketContentNeverDecidesTheDirection) {
    const std::vector<std::string> lefts = {"", "-", "<-", "<", "--", "<--", "-<", "<->-", ">"};
    const std::vector<std::string> rights = {"", "-", "->", ">", "--", "-->", "<-", "-<>"};
    const std::vector<std::string> contents = {"e:A -> B",        "e:(A -> B)",  "e:<x>",     "e {k: -1}",
                                               "e {s: '->'}",     "e {s: '<-'}", ":$A -> B$", "e:A->B {k: 1}",
                                               "e:(A -> B) -> C", "e:-",         "e:> <"};
    auto outcome = [](const std::string& connector) -> std::string {
        ParseResult r = parse_path("(a)" + connector + "(b)");
        if (auto* e = std::get_if<QuorvelError>(&r)) {
            // Only the quoted text may differ, and it must be the connector.
            EXPECT_EQ(e->first, connector);
            return e->second;
        }
        return direction_name(std::get<ParsedPath>(r).edges.at(0).direction);
    };
    for (const std::string& l : lefts)
        for (const std::string& r : rights) {
            const std::string expected = outcome(l + "[e]" + r);
            for (const std::string& c : contents)
                EXPECT_EQ(outcome(l + "[" + c + "]" + r), expected) << l << c << r;
        }
}

}  // namespace

namespace {

struct HopsCase {
    std::string input;  // one edge between (a) and (b)
    Opt variable, schema;
    const char* direction;
    std::int64_t min, max;  // -1: a plain edge; max -1: unbounded
};

class PathHops : public ::testing::TestWithParam<HopsCase> {};

TEST_P(PathHops, Quantifier) {
    const HopsCase& c = GetParam();
    ParseResult r = parse_path("(a)" + c.input + "(b)");
    if (auto* e = std::get_if<QuorvelError>(&r)) FAIL() << e->display();
    const ParsedEdge& e = std::get<ParsedPath>(r).edges.at(0);
    EXPECT_EQ(e.variable, c.variable);
    EXPECT_EQ(e.schema, c.schema);
    EXPECT_STREQ(direction_name(e.direction), c.direction);
    ASSERT_EQ(e.hops.has_value(), c.min >= 0);
    if (!e.hops) return;
    EXPECT_EQ(e.hops->min, c.min);
    EXPECT_EQ(e.hops->max, c.max < 0 ? Hops::kUnbounded : static_cast<std::uint32_t>(c.max));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, PathHops,
    ::testing::Values(
        HopsCase{"-[e*]->", "e", none, "forward", 1, -1}, HopsCase{"-[e*2]->", "e", none, "forward", 2, 2},
        HopsCase{"-[e*1..3]->", "e", none, "forward", 1, 3},
        HopsCase{"<-[e*..3]-", "e", none, "backward", 1, 3}, HopsCase{"-[e*2..]-", "e", none, "any", 2, -1},
        HopsCase{"-[*1..3]->", none, none, "forward", 1, 3},
        HopsCase{"-[*..]->", none, none, "forward", 1, -1},
        HopsCase{"-[*0..2]->", none, none, "forward", 0, 2}, HopsCase{"-[e*0]->", "e", none, "forward", 0, 0},
        HopsCase{"-[ e *2 ]->", "e", none, "forward", 2, 2},
        HopsCase{"-[e*2147483648]->", "e", none, "forward", 2147483648, 2147483648},
        HopsCase{"-[e*007..010]->", "e", none, "forward", 7, 10},
        // A schema, then the quantifier, then the map.
        HopsCase{"-[e:$* -> bool$*1..2 {k: 1}]->", "e", "$* -> bool$", "forward", 1, 2},
        HopsCase{"-[e:$A$ *]->", "e", "$A$", "forward", 1, -1},
        HopsCase{"-[e:knows*2]->", "e", "$knows$", "forward", 2, 2},
        HopsCase{"-[:(A -> B)*..4]-", none, "$(A -> B)$", "any", 1, 4},
        HopsCase{"-[e:*2]->", "e", none, "forward", 2, 2},
        // A bare `*` in a type part is the wildcard; a bound makes it a quantifier.
        HopsCase{"-[e:* -> *]->", "e", "$* -> *$", "forward", -1, -1},
        HopsCase{"-[e:*]->", "e", "$*$", "forward", -1, -1},
        HopsCase{"-[e:A*]->", "e", "$A*$", "forward", -1, -1},
        HopsCase{"-[e:* -> *2]->", "e", "$* ->$", "forward", 2, 2},
        HopsCase{"-[e:$*$]->", "e", "$*$", "forward", -1, -1},
        HopsCase{"-[e:$A$ x*2]->", "e", "$A$ x*2", "forward", -1, -1},
        // Nodes have no quantifier.
        HopsCase{"-[e]->", "e", none, "forward", -1, -1}));

INSTANTIATE_TEST_SUITE_P(
    Quantifiers, PathFails,
    ::testing::Values(
        FailCase{"(a)-[e*3..1]->(b)", "-[e*3..1]->",
                 "Invalid quantifier '*3..1': the lower bound 3 is above the upper bound 1"},
        FailCase{"(a)-[e*..0]->(b)", "-[e*..0]->",
                 "Invalid quantifier '*..0': the lower bound 1 is above the upper bound 0"},
        FailCase{"(a)-[e*a]->(b)", "-[e*a]->",
                 "Invalid quantifier '*a': expected *, *n, *n.., *..m or *n..m"},
        FailCase{"(a)-[*-1]->(b)", "-[*-1]->", "Invalid quantifier '*-1': bounds cannot be negative"},
        FailCase{"(a)-[e:T*-1]->(b)", "-[e:T*-1]->", "Invalid quantifier '*-1': bounds cannot be negative"},
        FailCase{"(a)-[e*1..-2]->(b)", "-[e*1..-2]->",
                 "Invalid quantifier '*1..-2': bounds cannot be negative"},
        FailCase{"(a)-[e*1...3]->(b)", "-[e*1...3]->",
                 "Invalid quantifier '*1...3': expected *, *n, *n.., *..m or *n..m"},
        FailCase{"(a)-[e* 2]->(b)", "-[e* 2]->",
                 "Invalid quantifier '* 2': expected *, *n, *n.., *..m or *n..m"},
        FailCase{"(a)-[e*2:T]->(b)", "-[e*2:T]->",
                 "Invalid quantifier '*2:T': expected *, *n, *n.., *..m or *n..m"},
        FailCase{"(a)-[e:$A$*x]->(b)", "-[e:$A$*x]->",
                 "Invalid quantifier '*x': expected *, *n, *n.., *..m or *n..m"},
        FailCase{"(a)-[e*2147483649]->(b)", "-[e*2147483649]->",
                 "Invalid quantifier '*2147483649': bounds cannot exceed 2147483648"},
        FailCase{"(a)-[e*1..99999999999999999999]->(b)", "-[e*1..99999999999999999999]->",
                 "Invalid quantifier '*1..99999999999999999999': bounds cannot exceed 2147483648"},
        // A map before the quantifier is not last.
        FailCase{"(a)-[e {k: 1} *2]->(b)", "(a)-[e {k: 1} *2]->(b)",
                 "Property map must come last in a node or edge pattern"}));

}  // namespace

namespace {

// A builder may stop the parse: nothing more is handed over and the parser
// adds no error of its own, even when the text goes wrong further on.
TEST(PathParser, BuilderStopsTheParse) {
    struct Stopper final : PathBuilder {
        bool node(PartsRead& parts) override {
            names.emplace_back(parts.variable);
            return names.size() < 2;
        }
        bool edge(PartsRead& parts) override {
            names.emplace_back(parts.type);
            return true;
        }
        std::vector<std::string> names;
    } stopper;
    EXPECT_FALSE(parse_path("(a)-[:T]->(b)-[c]->(d) x ((", stopper).has_value());
    EXPECT_EQ(stopper.names, (std::vector<std::string>{"a", "T", "b"}));
}

}  // namespace
