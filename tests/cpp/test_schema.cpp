#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "type_schema/schema.hpp"

using namespace quorvel;

namespace {

TypeRef V(std::string name) { return Type::variable(std::move(name)); }
TypeRef F(TypeRef l, TypeRef r) { return Type::application(std::move(l), std::move(r)); }

std::string repeat(std::string_view s, int n) {
    std::string out;
    out.reserve(s.size() * n);
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

using Expected = std::vector<std::pair<std::string, std::string>>;  // name, type text

Expected texts(const Captures& c) {
    Expected out;
    for (const auto& [name, t] : c) out.push_back({name, t->text()});
    return out;
}

// Same names in the same order, bound to the very same handles.
::testing::AssertionResult same_captures(const Captures& a, const Captures& b) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << a.size() << " vs " << b.size() << " captures";
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto& [na, ta] = a.entries()[i];
        const auto& [nb, tb] = b.entries()[i];
        if (na != nb || !ta.same(tb))
            return ::testing::AssertionFailure() << "entry " << i << ": " << na << " vs " << nb;
    }
    return ::testing::AssertionSuccess();
}

struct Case {
    const char* pattern;
    TypeRef type;
    bool match;
    Expected captures;
};

const TypeRef A = V("A"), B = V("B"), C = V("C");
const TypeRef AB = F(A, B);

std::vector<Case> cases() {
    return {
        // Wildcards and trimming.
        {"$*$", AB, true, {}},
        {" \t$*$\xE3\x80\x80", A, true, {}},
        {"*", V("*"), true, {}},
        {"*", A, false, {}},
        {"$ * $", V(" * "), true, {}},
        {"$ * $", V("*"), false, {}},
        // Names, byte for byte; dollars around a single name are optional.
        {"$Person$", V("Person"), true, {}},
        {"$Person$", V("person"), false, {}},
        {"$Person$", F(V("Person"), V("Person")), false, {}},
        {"Person", V("Person"), true, {}},
        {"$Person$ ", V("Person"), true, {}},
        {"$ Person $", V("Person"), false, {}},
        {"", V(""), true, {}},
        {"\xC2\x85 \xE2\x80\xA8", V(""), true, {}},
        {"$$", V(""), true, {}},
        {"$$", V("$$"), false, {}},
        {"$", V(""), false, {}},
        {"$", V("$"), false, {}},
        {" $ ", V("$"), false, {}},
        // Dollar texts with ':' or '(' but no group are whole-text names.
        {"$a:b$", V("$a:b$"), true, {}},
        {"$a:b$", V("a:b"), false, {}},
        {"$Per(son$", V("$Per(son$"), true, {}},
        {"$Per)son$", V("Per)son"), true, {}},
        // Function types group to the right.
        {"$A -> B$", AB, true, {}},
        {"A->B", AB, true, {}},
        {"$A -> B$", F(B, A), false, {}},
        {"$A -> B$", A, false, {}},
        {"$A -> B -> C$", F(A, F(B, C)), true, {}},
        {"$A -> B -> C$", F(AB, C), false, {}},
        {"$* -> *$", F(AB, C), true, {}},
        {"$* -> *$", V("*"), false, {}},
        {"$A -> $B$$", F(A, V("$B$")), true, {}},
        {"$A -> $B$$", AB, false, {}},
        {"(A -> B)", AB, true, {}},
        {"(A) -> (B)", AB, false, {}},
        {"$ (A -> B) $", AB, false, {}},
        {"$(A -> B) -> C$", F(AB, C), false, {}},
        {"A -> ", F(A, V("")), true, {}},
        {"->", F(V(""), V("")), true, {}},
        {"A -> B)", AB, false, {}},      // the split arrow must sit at depth 0
        {"A) -> (B", AB, false, {}},     // the counter goes negative first
        {"$A -> (B$", F(A, V("$(B$")), true, {}},
        // Capture groups.
        {"$(x:*)$", AB, true, {{"x", "(A -> B)"}}},
        {"$(x:A)$", B, false, {}},
        {"$(:*)$", A, true, {{"", "A"}}},
        {"$( my name : * )$", A, true, {{"my name", "A"}}},
        {"$(Person)$", V("Person"), false, {}},
        {"$(x:(y:A))$", A, true, {{"y", "A"}, {"x", "A"}}},
        {"$(x:a:b)$", V("$a:b$"), true, {{"x", "$a:b$"}}},
        {"$(x:)$", V(""), true, {{"x", ""}}},
        {"$(x:$B$)$", V("$B$"), true, {{"x", "$B$"}}},
        {"$(f:A -> B) -> C$", F(AB, C), true, {{"f", "(A -> B)"}}},
        {"$(x:*) -> B$", AB, true, {{"x", "A"}}},
        {"$A -> (y:*)$", AB, true, {{"y", "B"}}},
        {"$ (x:*) -> (y:*) $", AB, true, {{"x", "A"}, {"y", "B"}}},
        {"(x:*) -> (y:*)", AB, false, {}},  // outer parentheses dropped as a pair
        {"$(x:*) -> $(y:*)$", AB, false, {}},
        {"$(x:*) -> (y:*)$", AB, false, {}},
        {"$(f:(g:*) -> *)$", AB, true, {{"g", "A"}, {"f", "(A -> B)"}}},
        // Later insertion wins, the first insertion keeps its place.
        {"$(x:(x:*) -> *)$", AB, true, {{"x", "(A -> B)"}}},
        {"$ (x:*) -> (x:*) $", AB, true, {{"x", "B"}}},
        {"$ (x:*) -> (y:(x:*) -> *) $", F(A, AB), true, {{"x", "A"}, {"y", "(A -> B)"}}},
        // A capture on the left side does not survive a failure on the right.
        {"$ (x:*) -> C $", AB, false, {}},
    };
}

TEST(TypeSchema, Cases) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(std::string("pattern '") + c.pattern + "' on " + c.type->text());
        TypeSchema schema(c.pattern);
        EXPECT_EQ(schema.pattern(), c.pattern);
        EXPECT_EQ(schema.matches_type(*c.type), c.match);
        Captures got;
        got.insert("stale", A);
        EXPECT_EQ(schema.capture(c.type, got), c.match);
        EXPECT_EQ(texts(got), c.captures);

        Captures ref;
        EXPECT_EQ(reference::reference_matches(c.pattern, c.type, ref), c.match);
        if (c.match) {
            EXPECT_TRUE(same_captures(got, ref));
        }
    }
}

TEST(TypeSchema, CaptureValuesAreTheMatchedHandles) {
    TypeRef left = F(A, B), t = F(left, F(C, A));
    TypeSchema schema("$(all:(l:*) -> (r:*) -> *)$");
    Captures got;
    ASSERT_TRUE(schema.capture(t, got));
    EXPECT_TRUE(got.find("l")->same(left));
    EXPECT_TRUE(got.find("r")->same(t->right()->left()));
    EXPECT_TRUE(got.find("all")->same(t));

    TypeSchema copy = schema;
    TypeSchema moved = std::move(schema);
    Captures again;
    ASSERT_TRUE(moved.capture(t, again));
    EXPECT_TRUE(same_captures(got, again));
    EXPECT_TRUE(copy.capture(t, again));
    EXPECT_TRUE(same_captures(got, again));
}

TEST(Captures, ReplaceKeepsPosition) {
    Captures c;
    c.insert("a", A);
    c.insert("b", B);
    c.insert("a", C);
    EXPECT_EQ(texts(c), (Expected{{"a", "C"}, {"b", "B"}}));
    EXPECT_EQ(c.find("c"), nullptr);
}

// Random pattern texts, biased toward the characters the forms look at, and
// random small types over names those texts can produce. The compiled schema
// has to agree with the reference reading on every pair.
TEST(TypeSchema, AgreesWithReference) {
    const std::vector<std::string> tokens = {"$",  "$",  "(",  ")",  ":", "->", "->", "-",   ">",
                                             "*",  "A",  "B",  "x",  " ", " ",  "\t", "\xC2\x85",
                                             "\xE2\x80\xA8", "\xE2\x80", "\xFF", "(x:", ")$", "$("};
    const std::vector<TypeRef> leaves = {A, B, V("*"), V(""), V("$B$"), V(" A "), V("x"), V("$A$")};
    std::mt19937 rng(12345);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    std::vector<TypeRef> types = leaves;
    for (int i = 0; i < 60; ++i) types.push_back(F(types[pick(types.size())], types[pick(types.size())]));

    const std::vector<std::string> names = {"A", "B", "x", "", "$B$", " A "};
    const std::vector<std::string> blanks = {"", "", " ", "\t", "\xE2\x80\xA8"};
    // Well-formed-looking texts, so that the interesting forms are reached.
    auto structured = [&](auto& self, int depth) -> std::string {
        std::size_t form = depth > 3 ? pick(2) : pick(6);
        std::string b = blanks[pick(blanks.size())];
        switch (form) {
            case 0: return b + "*" + b;
            case 1: return b + names[pick(names.size())] + b;
            case 2: return "(" + b + names[pick(3)] + b + ":" + self(self, depth + 1) + ")";
            case 3: return "(" + self(self, depth + 1) + ")";
            default: return self(self, depth + 1) + b + "->" + b + self(self, depth + 1);
        }
    };

    int matched = 0, captured = 0, exact_ones = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string pattern;
        if (round % 2) {
            std::size_t n = pick(14);
            for (std::size_t k = 0; k < n; ++k) pattern += tokens[pick(tokens.size())];
        } else {
            pattern = structured(structured, 0);
            if (pick(3)) pattern = blanks[pick(blanks.size())] + "$" + pattern + "$";
            if (pick(4) == 0) pattern.insert(pick(pattern.size() + 1), tokens[pick(tokens.size())]);
        }
        TypeSchema schema(pattern);
        // An exact type is matched, and nothing unequal to it is.
        const TypeRef exact = schema.exact_type();
        if (exact) {
            ASSERT_TRUE(schema.matches_type(*exact)) << "'" << pattern << "'";
            ++exact_ones;
        }
        for (int k = 0; k < 8; ++k) {
            const TypeRef& t = types[pick(types.size())];
            if (exact && !(*t == *exact)) {
                ASSERT_FALSE(schema.matches_type(*t)) << "'" << pattern << "'";
            }
            Captures ref, got;
            bool expect = reference::reference_matches(pattern, t, ref);
            ASSERT_EQ(schema.matches_type(*t), expect) << "'" << pattern << "' on " << t->text();
            ASSERT_EQ(schema.capture(t, got), expect) << "'" << pattern << "'";
            if (expect) {
                ASSERT_TRUE(same_captures(got, ref)) << "'" << pattern << "' on " << t->text();
                ++matched;
                captured += !got.empty();
            } else {
                ASSERT_TRUE(got.empty());
            }
        }
    }
    // The generator must actually reach matches and captures to mean anything.
    EXPECT_GT(matched, 500);
    EXPECT_GT(captured, 50);
    EXPECT_GT(exact_ones, 500);
}

constexpr int kDeep = 100000;

TEST(TypeSchemaDeep, NestedGroups) {
    std::string pattern = "$" + repeat("(a:", kDeep) + "*" + repeat(")", kDeep) + "$";
    TypeSchema schema(pattern);
    Captures got;
    ASSERT_TRUE(schema.capture(AB, got));
    EXPECT_EQ(texts(got), (Expected{{"a", "(A -> B)"}}));
}

TEST(TypeSchemaDeep, DollarGroupsReadAsOneName) {
    for (int n : {3, kDeep}) {
        std::string pattern = repeat("$(a:", n) + "*" + repeat(")$", n);
        std::string inner = repeat("$(a:", n - 1) + "*" + repeat(")$", n - 1);
        TypeRef name = V("$" + inner + "$");
        TypeSchema schema(pattern);
        Captures got;
        ASSERT_TRUE(schema.capture(name, got));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(got.find("a")->same(name));
        EXPECT_FALSE(schema.matches_type(*V(inner)));
        if (n == 3) {
            Captures ref;
            EXPECT_TRUE(reference::reference_matches(pattern, name, ref));
        }
    }
}

TEST(TypeSchemaDeep, RightNestedArrows) {
    TypeSchema schema(repeat("A -> ", kDeep) + "A");
    TypeRef t = A, u = B;
    for (int i = 0; i < kDeep; ++i) t = F(A, t), u = F(A, u);
    EXPECT_TRUE(schema.matches_type(*t));
    EXPECT_FALSE(schema.matches_type(*u));
    EXPECT_FALSE(schema.matches_type(*t->right()));
}

TEST(TypeSchemaDeep, LeftNestedGroupsAndArrows) {
    // "(f:(f:(f:A -> B) -> B) -> B)": every level re-reads the whole left side
    // in a naive reading; the pending right sides pile up while matching.
    TypeSchema schema("$" + repeat("(f:", kDeep) + "A" + repeat(" -> B)", kDeep) + "$");
    TypeRef t = A;
    for (int i = 0; i < kDeep; ++i) t = F(t, B);
    Captures got;
    ASSERT_TRUE(schema.capture(t, got));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got.find("f")->same(t));
    EXPECT_FALSE(schema.matches_type(*t->left()));
}

TEST(TypeSchemaDeep, MillionDeepType) {
    TypeRef t = A;
    for (int i = 0; i < 1000000; ++i) t = F(t, A);
    TypeSchema wild("$(x:*) -> A$");
    Captures got;
    ASSERT_TRUE(wild.capture(t, got));
    EXPECT_TRUE(got.find("x")->same(t->left()));
    EXPECT_TRUE(TypeSchema("$* -> *$").matches_type(*t));
    EXPECT_FALSE(TypeSchema("$A -> A$").matches_type(*t));
    EXPECT_FALSE(TypeSchema("$A$").matches_type(*t));
}

}  // namespace
