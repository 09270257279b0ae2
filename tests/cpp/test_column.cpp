// Result columns: legacy texts left alone, expressions and aggregates read.
#include <gtest/gtest.h>

#include <string>

#include "query/column.hpp"

using namespace quorvel::cond;

namespace {

std::string show(const Operand& o) {
    switch (o.kind) {
        case Operand::Kind::Literal:
            return o.literal.kind == Literal::Kind::String ? "'" + o.literal.text + "'" : o.literal.text;
        case Operand::Kind::Property:
            return o.variable + "." + o.key;
        case Operand::Kind::Parameter:
            return "$" + o.name;
        case Operand::Kind::Function: {
            std::string out = o.name + "(";
            for (std::size_t i = 0; i < o.args.size(); ++i) out += (i ? " " : "") + show(o.args[i]);
            return out + ")";
        }
        case Operand::Kind::Variable:
            break;
    }
    return o.variable;
}

// "legacy", or the aggregate around its argument, then " as alias"; or the error.
std::string show(std::string_view text) {
    auto r = parse_column(text);
    if (auto* e = std::get_if<ParseError>(&r)) {
        EXPECT_TRUE(e->message.ends_with(" at position " + std::to_string(e->position))) << e->message;
        return e->message;
    }
    const Column& c = std::get<Column>(r);
    EXPECT_EQ(c.text, text);
    if (c.legacy) return "legacy";
    static const char* const names[] = {"", "count", "collect", "sum", "min", "max", "avg"};
    std::string out = show(c.operand);
    if (c.aggregate != Aggregate::None)
        out = std::string(names[static_cast<int>(c.aggregate)]) + "(" + (c.distinct ? "distinct " : "") +
              (c.star ? "*" : out) + ")";
    else
        EXPECT_FALSE(c.star || c.distinct);
    if (c.alias) out += " as " + *c.alias;
    return out;
}

struct Case {
    std::string input, expected;
};
class Columns : public ::testing::TestWithParam<Case> {};

TEST_P(Columns, Read) {
    EXPECT_EQ(show(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Columns,
    ::testing::Values(
        // No call and no AS word: any text, as it always was.
        Case{"n", "legacy"}, Case{"n.name", "legacy"}, Case{"weird name! *", "legacy"}, Case{"", "legacy"},
        Case{"n AS", "legacy"}, Case{"n.as x", "legacy"}, Case{"class", "legacy"}, Case{"has x", "legacy"},
        // Aggregates, names in any case.
        Case{"count(*)", "count(*)"}, Case{"COUNT( * ) AS total", "count(*) as total"},
        Case{"count(e)", "count(e)"}, Case{"count(DISTINCT x)", "count(distinct x)"},
        Case{"collect(x.key)", "collect(x.key)"}, Case{"collect(distinct x.key)", "collect(distinct x.key)"},
        Case{"sum(x.key)", "sum(x.key)"}, Case{"min(n.age)", "min(n.age)"},
        Case{"Max(n.age) AS oldest", "max(n.age) as oldest"},
        Case{"avg(n.age) as mean", "avg(n.age) as mean"}, Case{"count(distinct)", "count(distinct)"},
        Case{"count(lower(n.name))", "count(lower(n.name))"},
        // Expressions with an alias, or a call without one.
        Case{"n AS person", "n as person"}, Case{"n.name\tas\u00a0name", "n.name as name"},
        Case{"lower(n.name)", "lower(n.name)"}, Case{"n.name AS 'full name'", "n.name as full name"},
        Case{"$p AS p", "$p as p"}, Case{"1 AS one", "1 as one"}, Case{"n AS null", "n as null"},
        Case{"coalesce(n.nick, n.name, 'x') AS shown", "coalesce(n.nick n.name 'x') as shown"},
        // Errors.
        Case{"foo(n)", "unknown function 'foo' at position 0"},
        Case{"count(count(x))", "aggregate count() cannot be nested at position 6"},
        Case{"lower(sum(x.k))", "aggregate sum() cannot be nested at position 6"},
        Case{"sum(*)", "'*' stands only in count(*) at position 4"},
        Case{"count(DISTINCT *)", "'*' stands only in count(*) at position 15"},
        Case{"count(*, x)", "expected ')' after '*' at position 7"},
        Case{"count(*", "expected ')' to close '(' at position 5"},
        Case{"count()", "count() takes exactly 1 argument (0 given) at position 0"},
        Case{"count(a, b)", "count() takes exactly 1 argument (2 given) at position 0"},
        Case{"count(x", "expected ')' to close '(' at position 5"},
        Case{"lower(n) AS", "expected a name after AS at position 11"},
        Case{"n AS a b", "unexpected text 'b' at position 7"},
        Case{"n.name AS 1", "expected a name after AS at position 10"},
        Case{"count(*) x", "unexpected text 'x' at position 9"}, Case{"(n)", "unexpected '(' at position 0"},
        Case{"n = 1 AS x", "unexpected '=' at position 2"},
        Case{"* AS x", "unexpected character '*' at position 0"},
        Case{"lower(n, m)", "lower() takes exactly 1 argument (2 given) at position 0"},
        Case{"x AS y (", "unexpected '(' at position 7"}));

}  // namespace
