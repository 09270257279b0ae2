#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "patterns/path_parser.hpp"
#include "query/condition.hpp"

using namespace quorvel::cond;

namespace {

// A compact rendering of the tree, so a table row shows what was parsed.
std::string show(const Literal& l) {
    switch (l.kind) {
        case Literal::Kind::Null:
            return "null";
        case Literal::Kind::Bool:
            return l.b ? "true" : "false";
        case Literal::Kind::Int:
            return l.text;
        case Literal::Kind::Float:
            return "f" + l.text;
        case Literal::Kind::String:
            return "\"" + l.text + "\"";
        case Literal::Kind::Parameter:
            return "$" + l.text;
        case Literal::Kind::List:
            break;
    }
    std::string out = "[";
    for (std::size_t i = 0; i < l.items.size(); ++i) out += (i ? " " : "") + show(l.items[i]);
    return out + "]";
}

std::string show(const Operand& o) {
    switch (o.kind) {
        case Operand::Kind::Literal:
            return show(o.literal);
        case Operand::Kind::Property:
            return o.variable + "." + o.key;
        case Operand::Kind::Parameter:
            return "$" + o.name;
        case Operand::Kind::Function: {
            static const char* const names[] = {"term", "type", "uid", "size", "lower", "upper", "coalesce"};
            std::string out = std::string(names[static_cast<int>(o.function)]) + "(";
            for (std::size_t i = 0; i < o.args.size(); ++i) out += (i ? " " : "") + show(o.args[i]);
            return out + ")";
        }
        case Operand::Kind::Variable:
            break;
    }
    return o.variable;
}

std::string show(const Expr& e) {
    static const char* const cmp[] = {"=", "<>", "<", "<=", ">", ">="};
    auto all = [&](const char* head) {
        std::string out = std::string("(") + head;
        for (const Expr& c : e.children) out += " " + show(c);
        return out + ")";
    };
    switch (e.kind) {
        case Expr::Kind::Or:
            return all("or");
        case Expr::Kind::And:
            return all("and");
        case Expr::Kind::Not:
            return all("not");
        case Expr::Kind::Compare:
            return "(" + std::string(cmp[static_cast<int>(e.cmp)]) + " " + show(e.lhs) + " " + show(e.rhs) +
                   ")";
        case Expr::Kind::IsNull:
            return std::string(e.negated ? "(not-null " : "(null ") + show(e.lhs) + ")";
        case Expr::Kind::In:
            return std::string(e.negated ? "(not-in " : "(in ") + show(e.lhs) + " " + show(e.list) + ")";
        case Expr::Kind::StartsWith:
            return "(starts " + show(e.lhs) + " " + show(e.rhs) + ")";
        case Expr::Kind::EndsWith:
            return "(ends " + show(e.lhs) + " " + show(e.rhs) + ")";
        case Expr::Kind::Contains:
            return "(contains " + show(e.lhs) + " " + show(e.rhs) + ")";
        case Expr::Kind::TypeTest:
            return "(type " + e.variable + " " + e.schema + ")";
        case Expr::Kind::Truth:
            break;
    }
    return "(truth " + show(e.lhs) + ")";
}

struct Case {
    std::string input;
    std::string expected;  // the rendered tree, or the error message
};

class ConditionParses : public ::testing::TestWithParam<Case> {};
class ConditionFails : public ::testing::TestWithParam<Case> {};

TEST_P(ConditionParses, Tree) {
    auto r = parse_condition(GetParam().input);
    if (auto* e = std::get_if<ParseError>(&r)) FAIL() << e->message;
    EXPECT_EQ(show(std::get<Expr>(r)), GetParam().expected);
}

TEST_P(ConditionFails, MessageAndPosition) {
    auto r = parse_condition(GetParam().input);
    ASSERT_TRUE(std::holds_alternative<ParseError>(r)) << show(std::get<Expr>(r));
    const ParseError& e = std::get<ParseError>(r);
    EXPECT_EQ(e.message, GetParam().expected);
    // The position field and the one in the text agree.
    if (e.message != "empty condition") {
        EXPECT_TRUE(e.message.ends_with(" at position " + std::to_string(e.position)));
    }
}

const std::string nbsp = "\xC2\xA0";

INSTANTIATE_TEST_SUITE_P(
    Grammar, ConditionParses,
    ::testing::Values(
        // Precedence: NOT over AND over OR; parentheses regroup; chains stay flat.
        Case{"a OR b AND NOT c", "(or (truth a) (and (truth b) (not (truth c))))"},
        Case{"(a OR b) AND c", "(and (or (truth a) (truth b)) (truth c))"},
        Case{"a AND b AND c OR d OR e", "(or (and (truth a) (truth b) (truth c)) (truth d) (truth e))"},
        Case{"NOT NOT (a)", "(not (not (truth a)))"}, Case{"((n.x))", "(truth n.x)"},
        // Every comparison, with and without spaces.
        Case{"n.a=1 OR n.a<>1 OR n.a!=1", "(or (= n.a 1) (<> n.a 1) (<> n.a 1))"},
        Case{"n.a<1 AND n.a<=1 AND n.a>1 AND n.a>=1", "(and (< n.a 1) (<= n.a 1) (> n.a 1) (>= n.a 1))"},
        Case{"n.x>-3", "(> n.x -3)"}, Case{"n.x<-3", "(< n.x -3)"}, Case{"1 = n . x", "(= 1 n.x)"},
        Case{"n = m", "(= n m)"},
        // Keyword predicates in any case.
        Case{"n.x IS NULL", "(null n.x)"}, Case{"n.x is Not null", "(not-null n.x)"},
        Case{"n.x in [1, 2]", "(in n.x [1 2])"}, Case{"n.x NOT IN []", "(not-in n.x [])"},
        Case{"n.s STARTS WITH 'a' OR n.s ends with m.t OR n.s Contains \"z\"",
             "(or (starts n.s \"a\") (ends n.s m.t) (contains n.s \"z\"))"},
        // Type tests: `$...$` kept verbatim, a name wrapped, keywords allowed as names.
        Case{"n:Person", "(type n $Person$)"},
        Case{"n : $* -> B$ AND m:$A$", "(and (type n $* -> B$) (type m $A$))"},
        Case{"NOT n:Null", "(not (type n $Null$))"},
        // Literals: ints as written (any size), floats, strings, nested lists.
        Case{"n.x = 123456789012345678901234567890", "(= n.x 123456789012345678901234567890)"},
        Case{"n.x = -0 OR n.x = 007", "(or (= n.x -0) (= n.x 007))"},
        Case{"n.x IN [1.5, -2.0e3, 1E5, 3e-2]", "(in n.x [f1.5 f-2.0e3 f1E5 f3e-2])"},
        Case{"n.x IN [[1, [true]], [], null, FALSE]", "(in n.x [[1 [true]] [] null false])"},
        Case{R"(n.s = 'it\'s "x"')", R"((= n.s "it's "x""))"},
        Case{R"(n.s = "a\\b\n\t\r\"")", "(= n.s \"a\\b\n\t\r\"\")"},
        Case{R"(n.s = '\u00e9\U0001F600\u0041')",
             "(= n.s \"\xC3\xA9\xF0\x9F\x98\x80"
             "A\")"},
        Case{R"(n.s = 'a\0b')", std::string("(= n.s \"a\0b\")", 13)}, Case{"true", "(truth true)"},
        Case{"'' OR []", "(or (truth \"\") (truth []))"},
        // Words after '.' are keys, keywords included, kept as written.
        Case{"n.In = 1 AND n.null", "(and (= n.In 1) (truth n.null))"},
        // Identifiers and white space beyond ASCII.
        Case{"\xC3\xA9t\xC3\xA9.x_1 >" + nbsp + "2\u3000AND _a",
             "(and (> \xC3\xA9t\xC3\xA9.x_1 2) (truth _a))"},
        Case{"\n\ta\r\n", "(truth a)"},
        // Parameters stand for whole values: operands and the list of IN; keywords are names after '$'.
        Case{"n.name = $who AND $min <= n.age", "(and (= n.name $who) (<= $min n.age))"},
        Case{"n.name IN $names OR n.x NOT IN $in", "(or (in n.name $names) (not-in n.x $in))"},
        Case{"$flag OR n.s STARTS WITH $_p1", "(or (truth $flag) (starts n.s $_p1))"},
        Case{"n:$A$ AND $\xC3\xA9 IS NULL", "(and (type n $A$) (null $\xC3\xA9))"},
        // Function calls, names in any case, nested, with any operands as arguments.
        Case{"lower(n.name) = 'ann'", "(= lower(n.name) \"ann\")"},
        Case{"TYPE(n) = 'Person' AND Size(n.tags) > 2", "(and (= type(n) \"Person\") (> size(n.tags) 2))"},
        Case{"coalesce(n.nick, n.name, 'x') STARTS WITH $p", "(starts coalesce(n.nick n.name \"x\") $p)"},
        Case{"lower(type(n)) CONTAINS 'a' OR term(e) IN ['knows']",
             "(or (contains lower(type(n)) \"a\") (in term(e) [\"knows\"]))"},
        Case{"uid(n) = uid(m) AND upper ( n.s ) <> size([1, 2])",
             "(and (= uid(n) uid(m)) (<> upper(n.s) size([1 2])))"},
        Case{"coalesce(n.x)", "(truth coalesce(n.x))"},
        // Type texts read as in node patterns.
        Case{"n:list[str]", "(type n $list[str]$)"},
        Case{"n:dict[str, int] AND m:Literal['r', \"s\"]",
             "(and (type n $dict[str, int]$) (type m $Literal['r', \"s\"]$))"},
        Case{"n:A -> B", "(type n $A -> B$)"}, Case{"n:A->B OR x", "(or (type n $A->B$) (truth x))"},
        Case{"n:A -> B -> C AND x", "(and (type n $A -> B -> C$) (truth x))"},
        Case{"NOT (n:(A -> B) -> C)", "(not (type n $(A -> B) -> C$))"},
        Case{"(n:pkg.mod.T)AND m:x", "(and (type n $pkg.mod.T$) (type m $x$))"}, Case{"n: 1", "(type n $1$)"},
        Case{"n:A$B$", "(type n A$B$)"}, Case{"n:A ->", "(type n $A ->$)"}));

INSTANTIATE_TEST_SUITE_P(
    Errors, ConditionFails,
    ::testing::Values(Case{"", "empty condition"}, Case{" \t" + nbsp, "empty condition"},
                      Case{"n.age >  ", "expected a value after '>' at position 9"},
                      Case{"n.age > AND", "expected a value after '>' at position 8"},
                      Case{"n.x = (1)", "expected a value after '=' at position 6"},
                      Case{"n.x == 1", "expected a value after '=' at position 5"},
                      Case{"n.s = 'abc", "unterminated string starting at position 6"},
                      Case{"n.s = 'abc\\", "unterminated string starting at position 6"},
                      Case{"'ab\\q'", "invalid escape '\\q' at position 3"},
                      Case{"'\xC3\xA9\\\xC3\xA9'", "invalid escape '\\\xC3\xA9' at position 2"},
                      Case{"'\\u12g4'", "invalid escape '\\u12' at position 1"},
                      Case{"'\\uD800'", "invalid escape '\\uD800' at position 1"},
                      Case{"'\\U00110000'", "invalid escape '\\U00110000' at position 1"},
                      Case{"(a = 1))", "unexpected ')' at position 7"},
                      Case{")", "unexpected ')' at position 0"},
                      Case{"(a = 1", "expected ')' to close '(' at position 0"},
                      Case{"((a) OR (b) c)", "unexpected text 'c' at position 12"},
                      Case{"n.name = 'x' foo", "unexpected text 'foo' at position 13"},
                      Case{"a = 1 'x'", "unexpected string 'x' at position 6"},
                      Case{"a < b < c", "unexpected '<' at position 6"},
                      Case{"AND a", "unexpected AND at position 0"},
                      Case{"a AND", "expected a condition after AND at position 5"},
                      Case{"a OR NOT", "expected a condition after NOT at position 8"},
                      Case{"(", "expected a condition after '(' at position 1"},
                      Case{"n.", "expected a key after '.' at position 2"},
                      Case{"n.1 = 2", "expected a key after '.' at position 2"},
                      Case{"n IS 5", "expected NULL after IS at position 5"},
                      Case{"n IS NOT", "expected NULL after IS NOT at position 8"},
                      Case{"n STARTS 'a'", "expected WITH after STARTS at position 9"},
                      Case{"n ENDS WITH", "expected a value after ENDS WITH at position 11"},
                      Case{"n CONTAINS )", "expected a value after CONTAINS at position 11"},
                      Case{"n.x IN 1", "expected a list after IN at position 7"},
                      Case{"n NOT IN n.l", "expected a list after NOT IN at position 9"},
                      Case{"n NOT 1", "expected IN after NOT at position 6"},
                      Case{"n IN [1,]", "expected a literal in list at position 8"},
                      Case{"n IN [m]", "expected a literal in list at position 6"},
                      Case{"n IN [1 2]", "expected ',' or ']' in list at position 8"},
                      Case{"n IN [1, [2]", "expected ']' to close '[' at position 5"},
                      // Keywords are not variables.
                      Case{"null.x = 1", "unexpected '.' at position 4"},
                      Case{"n = in", "expected a value after '=' at position 4"},
                      // Type tests.
                      Case{"n.x:T", "a type test needs a variable before ':' at position 3"},
                      Case{"n:", "expected a type after ':' at position 2"},
                      Case{"n:)", "expected a type after ':' at position 2"},
                      Case{"(n: )", "expected a type after ':' at position 4"},
                      Case{"n:$A -> B", "unterminated type schema starting at position 2"},
                      Case{"n:(A -> B", "expected ')' to close '(' at position 2"},
                      Case{"n:list[str, int", "expected ']' to close '[' at position 6"},
                      Case{"n:list[str, (int]", "expected ')' to close '(' at position 12"},
                      Case{"n:A B", "unexpected text 'B' at position 4"},
                      // Function calls.
                      Case{"foo(n) = 1", "unknown function 'foo' at position 0"},
                      Case{"count(n) > 1", "aggregate count() is not allowed in a condition at position 0"},
                      Case{"n.x = SUM(n.y)", "aggregate SUM() is not allowed in a condition at position 6"},
                      Case{"lower(collect(n))", "aggregate collect() is not allowed in a condition at position 6"},
                      Case{"lower() = 'a'", "lower() takes exactly 1 argument (0 given) at position 0"},
                      Case{"x OR Lower(a, b)", "Lower() takes exactly 1 argument (2 given) at position 5"},
                      Case{"coalesce()", "coalesce() takes at least 1 argument (0 given) at position 0"},
                      Case{"lower(n.x", "expected ')' to close '(' at position 5"},
                      Case{"lower(n.x,", "expected ')' to close '(' at position 5"},
                      Case{"lower(n.x n.y)", "expected ',' or ')' after an argument of lower() at position 10"},
                      Case{"lower(,)", "expected a value as an argument of lower() at position 6"},
                      Case{"lower(n.x,)", "expected a value as an argument of lower() at position 10"},
                      Case{"lower(n):T", "a type test needs a variable before ':' at position 8"},
                      Case{"lower(n.x = 1)", "expected ',' or ')' after an argument of lower() at position 10"},
                      // Numbers and stray characters.
                      Case{"n.x = 1.", "invalid number '1.' at position 6"},
                      Case{"n.x = .5", "expected a value after '=' at position 6"},
                      Case{"n.x = 1.5.2", "invalid number '1.5.2' at position 6"},
                      Case{"n.x = 12ab", "invalid number '12ab' at position 6"},
                      Case{"n.x = 1e", "invalid number '1e' at position 6"},
                      Case{"n.x = - 3", "unexpected character '-' at position 6"},
                      Case{"n.x ! 3", "unexpected character '!' at position 4"},
                      Case{"a # b", "unexpected character '#' at position 2"},
                      Case{std::string("a \0 b", 5), "unexpected character U+0000 at position 2"},
                      // Positions count code points, not bytes.
                      Case{"\xC3\xA9\xE2\x82\xAC = ", "expected a value after '=' at position 5"},
                      // The earliest tokenizer error wins over what the grammar would say next.
                      Case{"(a = 'x", "unterminated string starting at position 5"},
                      // Parameters.
                      Case{"n.x = $", "expected a parameter name after '$' at position 7"},
                      Case{"n.x = $1", "expected a parameter name after '$' at position 7"},
                      Case{"n.x = $ a", "expected a parameter name after '$' at position 7"},
                      Case{"$.x = 1", "expected a parameter name after '$' at position 1"},
                      Case{"n.x IN [1, $x]", "a parameter cannot stand inside a list at position 11"},
                      Case{"n.x IN [[$x]]", "a parameter cannot stand inside a list at position 9"},
                      Case{"$a.x = 1", "unexpected '.' at position 2"},
                      Case{"n.x = 1 $a", "unexpected parameter $a at position 8"}));

TEST(ConditionLiterals, FloatValues) {
    struct Row {
        const char* input;
        double value;
    };
    const double inf = std::numeric_limits<double>::infinity();
    for (Row row :
         {Row{"1.5", 1.5}, Row{"-2.5e3", -2500.0}, Row{"3E-2", 0.03}, Row{"1e999", inf}, Row{"-1e999", -inf},
          Row{"1e-999", 0.0}, Row{"0.0001e310", 1e306}, Row{"123456.0e-330", 0.0}, Row{"0.001e312", inf}}) {
        auto r = parse_condition(std::string("n.x = ") + row.input);
        ASSERT_TRUE(std::holds_alternative<Expr>(r)) << row.input;
        const Literal& l = std::get<Expr>(r).rhs.literal;
        EXPECT_EQ(l.kind, Literal::Kind::Float) << row.input;
        EXPECT_EQ(l.text, row.input);
        EXPECT_DOUBLE_EQ(l.f, row.value) << row.input;
    }
}

TEST(ConditionNesting, DepthLimitCountsParensNotsAndLists) {
    auto parses = [](const std::string& s) { return std::holds_alternative<Expr>(parse_condition(s)); };
    auto nest = [](int parens, int nots, int lists) {
        std::string s;
        for (int i = 0; i < parens; ++i) s += "(";
        for (int i = 0; i < nots; ++i) s += "NOT ";
        s += lists == 0 ? "n" : "n IN " + std::string(lists, '[') + std::string(lists, ']');
        return s + std::string(parens, ')');
    };
    EXPECT_TRUE(parses(nest(256, 0, 0)));
    EXPECT_TRUE(parses(nest(0, 256, 0)));
    EXPECT_TRUE(parses(nest(0, 0, 256)));
    EXPECT_TRUE(parses(nest(100, 100, 56)));
    EXPECT_FALSE(parses(nest(100, 100, 57)));
    auto calls = [](int depth) {
        std::string s = "n.x = ";
        for (int i = 0; i < depth; ++i) s += "lower(";
        return s + "n.y" + std::string(depth, ')');
    };
    EXPECT_TRUE(parses(calls(256)));
    EXPECT_FALSE(parses(calls(257)));
    EXPECT_FALSE(parses("(" + calls(256) + ")"));

    // Far past the limit: a clean error at the first level too many.
    auto r = parse_condition(std::string(1000000, '('));
    ASSERT_TRUE(std::holds_alternative<ParseError>(r));
    EXPECT_EQ(std::get<ParseError>(r).message, "condition nested too deeply at position 256");
    r = parse_condition(nest(0, 300, 0));
    EXPECT_EQ(std::get<ParseError>(r).message, "condition nested too deeply at position 1024");
}

TEST(ConditionScale, LongFlatConditionsAreLinear) {
    std::string wide = "v0.x = 1";
    for (int i = 1; i < 200000; ++i)
        wide += (i % 2 ? " OR v" : " AND v") + std::to_string(i % 1000) + ".x = 1";
    auto start = std::chrono::steady_clock::now();
    auto r = parse_condition(wide);
    ASSERT_TRUE(std::holds_alternative<Expr>(r));
    std::vector<std::string> names = variables_of(std::get<Expr>(r));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_EQ(names.size(), 1000u);
    EXPECT_EQ(names[999], "v999");
}

TEST(ConditionVariables, FirstAppearanceOrder) {
    auto r = parse_condition(
        "b.x = a.y OR (NOT a:T AND c IS NULL) AND b = 1 OR 'a' CONTAINS d.s OR e IN [1] OR 2 < g");
    ASSERT_TRUE(std::holds_alternative<Expr>(r));
    EXPECT_EQ(variables_of(std::get<Expr>(r)), (std::vector<std::string>{"b", "a", "c", "d", "e", "g"}));
    r = parse_condition("lower(a.x) = coalesce(b, upper(c.y), $p, d) OR size(a) > 1");
    ASSERT_TRUE(std::holds_alternative<Expr>(r));
    EXPECT_EQ(variables_of(std::get<Expr>(r)), (std::vector<std::string>{"a", "b", "c", "d"}));
}

// A type test and a node pattern read every type text both accept alike.
TEST(ConditionTypeTests, AgreeWithNodePatterns) {
    static constexpr std::string_view pieces[] = {"A", "b", ".", "[", "]", "(", ")", ",", " ", "->", "-",
                                                  ">", "$", "*", "'", "str", " -> ", "\t"};
    std::mt19937 rng(7);
    int compared = 0;
    for (int k = 0; k < 200000; ++k) {
        std::string x;
        for (int n = 1 + static_cast<int>(rng() % 8); n > 0; --n) x += pieces[rng() % std::size(pieces)];
        auto condition = parse_condition("n:" + x);
        quorvel::ParseResult node = quorvel::parse_path("(n:" + x + ")");
        const Expr* test = std::get_if<Expr>(&condition);
        auto* path = std::get_if<quorvel::ParsedPath>(&node);
        if (!test || test->kind != Expr::Kind::TypeTest || !path || path->nodes.size() != 1) continue;
        ++compared;
        EXPECT_EQ(path->nodes[0].schema, test->schema) << x;
    }
    EXPECT_GT(compared, 10000);
}

TEST(ConditionOperands, PositionsAndNamesAsWritten) {
    auto r = parse_condition("n.x = CoAlesce($p, lower( m ))");
    ASSERT_TRUE(std::holds_alternative<Expr>(r));
    const Operand& call = std::get<Expr>(r).rhs;
    EXPECT_EQ(call.name, "CoAlesce");
    EXPECT_EQ(call.function, Function::Coalesce);
    EXPECT_EQ(call.position, 6u);
    ASSERT_EQ(call.args.size(), 2u);
    EXPECT_EQ(call.args[0].position, 15u);
    EXPECT_EQ(call.args[1].position, 19u);
    EXPECT_EQ(call.args[1].args.at(0).position, 26u);
    EXPECT_EQ(std::get<Expr>(r).lhs.position, 0u);
}

struct MapCase {
    std::string input;
    std::string expected;  // "key=value ..." then "| consumed", or the error message
};

class PropertyMap : public ::testing::TestWithParam<MapCase> {};

TEST_P(PropertyMap, EntriesOrError) {
    auto r = parse_property_map(GetParam().input);
    std::string got;
    if (auto* e = std::get_if<ParseError>(&r)) {
        got = e->message;
    } else {
        const MapResult& m = std::get<MapResult>(r);
        for (const MapEntry& entry : m.entries) got += entry.key + "=" + show(entry.value) + " ";
        got += "| " + std::to_string(m.consumed);
    }
    EXPECT_EQ(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Maps, PropertyMap,
    ::testing::Values(
        MapCase{"{}", "| 2"}, MapCase{"{ }) rest", "| 3"},
        MapCase{"{age: 30, 'first name': \"Ada\", ok: TRUE, tags: [1, 'x'], f: -1.5}) -[e]->(m)",
                "age=30 first name=\"Ada\" ok=true tags=[1 \"x\"] f=f-1.5 | 65"},
        MapCase{"{null: null, In: 1, \xC3\xA9" + nbsp + ":" + nbsp + "2}", "null=null In=1 \xC3\xA9=2 | 29"},
        MapCase{"{'}': '}'}", "}=\"}\" | 10"},
        // Errors.
        MapCase{"{", "unterminated property map"}, MapCase{"{age: 30", "unterminated property map"},
        MapCase{"{age", "unterminated property map"}, MapCase{"{age: 30,", "unterminated property map"},
        MapCase{"{age 30}", "expected ':' after key 'age' in property map"},
        MapCase{"{age: }", "expected a value for key 'age' in property map"},
        MapCase{"{age: x}", "expected a value for key 'age' in property map"},
        MapCase{"{age: 1, age: 2}", "duplicate key 'age' in property map"},
        MapCase{"{age: 1, 'age': 2}", "duplicate key 'age' in property map"},
        MapCase{"{age: 1)", "expected ',' or '}' after the value of key 'age' in property map"},
        MapCase{"{age: 1,}", "expected a key in property map"},
        MapCase{"{1: 2}", "expected a key in property map"},
        MapCase{"{a: 'x", "unterminated string in property map"},
        MapCase{"{a: '\\x'}", "invalid escape '\\x' in property map"},
        MapCase{"{a: 1.}", "invalid number '1.' in property map"},
        MapCase{"{a: [1 2]}", "expected ',' or ']' in list in property map"},
        MapCase{"{a: " + std::string(300, '[') + "}", "value nested too deeply in property map"},
        MapCase{"{a: #}", "unexpected character '#' in property map"},
        MapCase{"(a: 1}", "expected '{' to open property map"},
        // Parameters as values, not as keys or list items.
        MapCase{"{name: $who, n: $null}", "name=$who n=$null | 22"},
        MapCase{"{a: $}", "expected a parameter name after '$' in property map"},
        MapCase{"{a: $-1}", "expected a parameter name after '$' in property map"},
        MapCase{"{a: [$x]}", "a parameter cannot stand inside a list in property map"},
        MapCase{"{$a: 1}", "expected a key in property map"}));

}  // namespace
