// Property maps inside path patterns, and the concrete types that pattern
// type parts denote.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "patterns/path_parser.hpp"
#include "type_schema/schema.hpp"

using namespace quorvel;

namespace {

const ParsedPath& parsed(const ParseResult& r) {
    if (auto* e = std::get_if<QuorvelError>(&r)) ADD_FAILURE() << e->display();
    static const ParsedPath empty;
    return r.index() == 0 ? std::get<ParsedPath>(r) : empty;
}

std::vector<std::string> keys(const std::vector<text::MapEntry>& map) {
    std::vector<std::string> out;
    for (const auto& e : map) out.push_back(e.key);
    return out;
}

TEST(PathMaps, NodeAndEdgeMapsAreParsedAndCutOut) {
    ParseResult r = parse_path("(n:Person {age: 30, 'full name': \"A) B]\"})-[e:knows {since: [1, 2]}]->(m)");
    const ParsedPath& p = parsed(r);
    ASSERT_EQ(p.nodes.size(), 2u);
    EXPECT_EQ(p.nodes[0].variable, "n");
    EXPECT_EQ(p.nodes[0].schema, "$Person$");
    EXPECT_EQ(keys(p.nodes[0].properties), (std::vector<std::string>{"age", "full name"}));
    EXPECT_EQ(p.nodes[0].properties[0].value.kind, text::Literal::Kind::Int);
    EXPECT_EQ(p.nodes[0].properties[1].value.text, "A) B]");
    ASSERT_EQ(p.edges.size(), 1u);
    EXPECT_EQ(p.edges[0].schema, "$knows$");
    EXPECT_EQ(keys(p.edges[0].properties), (std::vector<std::string>{"since"}));
    EXPECT_EQ(p.edges[0].properties[0].value.items.size(), 2u);
    EXPECT_TRUE(p.nodes[1].properties.empty());
}

TEST(PathMaps, ParametersAreKeptByName) {
    ParseResult r = parse_path("(n {name: $who, age: 3})-[e:T*2 {since: $year}]->(m)");
    const ParsedPath& p = parsed(r);
    ASSERT_EQ(p.nodes.at(0).properties.size(), 2u);
    EXPECT_EQ(p.nodes[0].properties[0].value.kind, text::Literal::Kind::Parameter);
    EXPECT_EQ(p.nodes[0].properties[0].value.text, "who");
    EXPECT_EQ(p.nodes[0].properties[1].value.kind, text::Literal::Kind::Int);
    ASSERT_EQ(p.edges.at(0).properties.size(), 1u);
    EXPECT_EQ(p.edges[0].properties[0].value.text, "year");
    EXPECT_EQ(p.edges[0].schema, "$T$");
}

TEST(PathMaps, MapTextDoesNotDecideTheDirection) {
    ParseResult r = parse_path("(a)<-[e {s: '->'}]-(b)-[f {t: '<-'}]-(c)");
    const ParsedPath& p = parsed(r);
    ASSERT_EQ(p.edges.size(), 2u);
    EXPECT_EQ(p.edges[0].direction, Direction::Backward);
    EXPECT_EQ(p.edges[1].direction, Direction::Any);
    EXPECT_EQ(p.edges[0].variable, "e");
}

struct MapFail {
    const char* input;
    const char* reason;
};
class PathMapFails : public ::testing::TestWithParam<MapFail> {};

TEST_P(PathMapFails, NameTheWholePattern) {
    ParseResult r = parse_path(GetParam().input);
    ASSERT_TRUE(std::holds_alternative<QuorvelError>(r));
    const QuorvelError& e = std::get<QuorvelError>(r);
    EXPECT_EQ(e.kind, QuorvelError::Kind::InvalidPattern);
    EXPECT_EQ(e.first, GetParam().input);
    EXPECT_EQ(e.second, GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathMapFails,
    ::testing::Values(
        MapFail{"(n {a})", "Expected ':' after key 'a' in property map"},
        MapFail{"(n {a: })", "Expected a value for key 'a' in property map"},
        MapFail{"(n {a: 1, a: 2})", "Duplicate key 'a' in property map"},
        MapFail{"(n {a: 1} m)", "Property map must come last in a node or edge pattern"},
        MapFail{"(n:(A {a: 1}))", "Property map must come last in a node or edge pattern"},
        MapFail{"(a)-[e {a: 1}{b: 2}]->(b)", "Property map must come last in a node or edge pattern"},
        MapFail{"(a)-[e {a: 1}] {b: 2}->(b)", "Unexpected character '{' outside of node or edge pattern"},
        // Nothing but the closing bracket after an edge's map; a map is read or refused, never split.
        MapFail{"(a)-[e {k: 1}][f]->(b)", "Property map must come last in a node or edge pattern"},
        MapFail{"(a)-[e:T {k: 1}][x]->(b)", "Property map must come last in a node or edge pattern"},
        MapFail{"(a)-[e {k: 1}]-]->(b)", "Property map must come last in a node or edge pattern"},
        MapFail{"(a)-[e){k: 1}(]->(b)", "Property map must come last in a node or edge pattern"},
        MapFail{"(a)-](x {k: 1})[-[e]->(b)", "Unexpected character '{' outside of node or edge pattern"},
        MapFail{"(n {a: $})", "Expected a parameter name after '$' in property map"},
        MapFail{"(n {a: [1, $x]})", "A parameter cannot stand inside a list in property map"}));

TEST(PathMaps, UnclosedAfterTheMapIsAnUnmatchedParenthesis) {
    ParseResult r = parse_path("(n {a: 1}");
    ASSERT_TRUE(std::holds_alternative<QuorvelError>(r));
    EXPECT_EQ(std::get<QuorvelError>(r).second, "Unmatched parentheses in pattern");
}

struct Concrete {
    const char* text;
    const char* type;  // printed, or "" for none
};
class ConcreteTypes : public ::testing::TestWithParam<Concrete> {};

TEST_P(ConcreteTypes, Denoted) {
    TypeRef t = concrete_type(GetParam().text);
    EXPECT_EQ(t ? t->text() : std::string(), GetParam().type) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Cases, ConcreteTypes,
                         ::testing::Values(Concrete{"$A$", "A"}, Concrete{" A ", "A"},
                                           Concrete{"$A -> B -> C$", "(A -> (B -> C))"},
                                           Concrete{"(A -> B) -> C", "((A -> B) -> C)"},
                                           Concrete{"((A))", "A"}, Concrete{"my-type->x", "(my-type -> x)"},
                                           Concrete{"$*$", ""}, Concrete{"$(x:A)$", ""}, Concrete{"$$", ""},
                                           Concrete{"A B", ""}, Concrete{"A ->", ""}, Concrete{"(A", ""},
                                           Concrete{"A)", ""}, Concrete{"() -> A", ""},
                                           Concrete{"$A$ -> B", ""}));

TEST(ConcreteTypes, DeepNestingUsesNoStack) {
    const int depth = 200000;
    std::string text(depth, '(');
    text += "A";
    text += std::string(depth, ')');
    std::string chain;
    for (int i = 0; i < depth; ++i) chain += "A -> ";
    chain += "B";
    TypeRef nested = concrete_type(text);
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->text(), "A");
    TypeRef arrows = concrete_type(chain);
    ASSERT_TRUE(arrows);
    EXPECT_TRUE(arrows->is_application());
    EXPECT_EQ(arrows->right()->right()->left()->name(), "A");
}

}  // namespace
