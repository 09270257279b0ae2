#include <gtest/gtest.h>

#include "errors/error.hpp"
#include "term/term.hpp"
#include "types/type.hpp"

using namespace quorvel;

TEST(Types, TextOfNestedApplications) {
    auto a = Type::variable("A"), b = Type::variable("B"), c = Type::variable("C");
    EXPECT_EQ(Type::application(Type::application(a, b), c)->text(), "((A -> B) -> C)");
    EXPECT_EQ(Type::application(a, Type::application(b, c))->text(), "(A -> (B -> C))");
}

TEST(Types, StructuralEquality) {
    auto ab1 = Type::application(Type::variable("A"), Type::variable("B"));
    auto ab2 = Type::application(Type::variable("A"), Type::variable("B"));
    auto ba = Type::application(Type::variable("B"), Type::variable("A"));
    EXPECT_TRUE(*ab1 == *ab2);
    EXPECT_FALSE(*ab1 == *ba);
    EXPECT_FALSE(*ab1 == *Type::variable("A"));
    ab1->digest();
    ba->digest();
    EXPECT_FALSE(*ab1 == *ba);
    EXPECT_EQ(ab1->py_hash(), ab2->py_hash());
    EXPECT_EQ(ab1->uid(), ab2->uid());
}

TEST(Types, DeepTreeIsIterative) {
    auto a = Type::variable("A");
    TypeRef t = a, u = a;
    for (int i = 0; i < 300000; ++i) {
        t = Type::application(t, a);
        u = Type::application(u, a);
    }
    EXPECT_EQ(t->uid(), u->uid());
    EXPECT_TRUE(*t == *u);
    EXPECT_EQ(t->py_hash(), u->py_hash());
    EXPECT_EQ(t->text().size(), u->text().size());
}

TEST(SipHash, ReferenceVector) {
    // SipHash-1-3 with zero keys over the empty input.
    SipHash13 h;
    SipHash13 h2;
    h2.update("", 0);
    EXPECT_EQ(h.finish(), h2.finish());
    // Split feeding equals one-shot feeding.
    SipHash13 x, y;
    x.update("abcdefghijklmnopq", 17);
    y.update("abc", 3);
    y.update("defghijklm", 10);
    y.update("nopq", 4);
    EXPECT_EQ(x.finish(), y.finish());
}

TEST(Errors, DisplayTexts) {
    EXPECT_EQ(QuorvelError::type_mismatch("A", "B").display(), "Type mismatch: expected A, got B");
    EXPECT_EQ(QuorvelError::type_mismatch("A", "B", "x").display(), "Type mismatch: expected A, got B (in x)");
    EXPECT_EQ(QuorvelError::type_mismatch("A", "B", "").display(), "Type mismatch: expected A, got B (in )");
    EXPECT_EQ(QuorvelError::node_not_found("u", "c").display(), "Node not found: u (c)");
    EXPECT_EQ(QuorvelError::edge_not_found("u").display(), "Edge not found: u");
    EXPECT_EQ(invalid_pattern("(a", "r").display(), "Invalid pattern '(a': r");
    EXPECT_EQ(invalid_pattern("(a", std::string("owned")).display(), "Invalid pattern '(a': owned");
    EXPECT_EQ(QuorvelError::invalid_query("m", "").display(), "Invalid query: m ()");
    EXPECT_EQ(QuorvelError::invalid_identifier("n", "r").display(), "Invalid identifier 'n': r");
    EXPECT_EQ(QuorvelError::property_error("k", "m").display(), "Property error for 'k': m");
    EXPECT_EQ(QuorvelError::variable_not_found("n").display(), "Variable 'n' not found");
    EXPECT_EQ(QuorvelError::variable_not_found("n", "c").display(), "Variable 'n' not found (c)");
    EXPECT_EQ(QuorvelError::schema_validation_failed("s", "r").display(), "Schema validation failed for 's': r");
}

TEST(Terms, UidAndHashMemoStable) {
    Term t("x", Type::variable("A"));
    EXPECT_EQ(t.uid(), t.uid());
    EXPECT_EQ(t.py_hash(), Term("x", Type::variable("A")).py_hash());
    EXPECT_NE(t.uid(), Term("y", Type::variable("A")).uid());
}

#include "text/utf8.hpp"

TEST(Utf8, TrimUsesWhiteSpaceProperty) {
    EXPECT_EQ(text::trim("\u3000\u00a0 a b\u2029\t"), "a b");
    EXPECT_EQ(text::trim("\u200b a"), "\u200b a");  // zero width space is not White_Space
    EXPECT_EQ(text::trim(""), "");
    EXPECT_EQ(text::trim("\xff \xc2"), "\xff \xc2");  // invalid bytes are kept
}
