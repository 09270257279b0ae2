#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "persist/dot.hpp"
#include "persist/json.hpp"
#include "persist/type_table.hpp"
#include "persist/type_text.hpp"

using namespace quorvel;

namespace {

// A random type over names that read back (and some that do not, when
// `any_name`), `depth` levels at most.
TypeRef random_type(std::mt19937& rng, int depth, bool any_name = false) {
    static const char* const readable[] = {"A", "B", "Big Company", "x->", "é", "$*$", "a:b", "-", ">"};
    static const char* const unreadable[] = {"", " A", "B ", "(", "a->b", "f)"};
    if (depth == 0 || rng() % 3 == 0) {
        if (any_name && rng() % 2) return Type::variable(unreadable[rng() % std::size(unreadable)]);
        return Type::variable(readable[rng() % std::size(readable)]);
    }
    TypeRef left = random_type(rng, depth - 1, any_name);
    return Type::application(std::move(left), random_type(rng, depth - 1, any_name));
}

bool all_names_readable(const Type& t) {
    if (t.is_variable()) return readable_name(t.name());
    return all_names_readable(*t.left()) && all_names_readable(*t.right());
}

// ---- type text ----

TEST(TypeText, PrintedTypesReadBack) {
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        TypeRef t = random_type(rng, 6, true);
        TypeTextResult r = parse_type_text(t->text());
        if (all_names_readable(*t)) {
            ASSERT_TRUE(std::holds_alternative<TypeRef>(r)) << t->text();
            EXPECT_TRUE(*std::get<TypeRef>(r) == *t) << t->text();
        } else if (std::holds_alternative<TypeRef>(r)) {
            EXPECT_FALSE(*std::get<TypeRef>(r) == *t) << t->text();
        }
    }
}

struct TextCase {
    const char* text;
    const char* printed;  // null: an error
    const char* reason = nullptr;
    std::size_t offset = 0;
};

class TypeTextCases : public ::testing::TestWithParam<TextCase> {};

TEST_P(TypeTextCases, ReadsOrRefuses) {
    const TextCase& c = GetParam();
    TypeTextResult r = parse_type_text(c.text);
    if (c.printed) {
        ASSERT_TRUE(std::holds_alternative<TypeRef>(r)) << std::get<TypeTextError>(r).reason;
        EXPECT_EQ(std::get<TypeRef>(r)->text(), c.printed);
    } else {
        ASSERT_TRUE(std::holds_alternative<TypeTextError>(r));
        EXPECT_STREQ(std::get<TypeTextError>(r).reason, c.reason);
        EXPECT_EQ(std::get<TypeTextError>(r).offset, c.offset);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TypeTextCases,
    ::testing::Values(
        TextCase{"A", "A"}, TextCase{"  A  ", "A"}, TextCase{"A->B", "(A -> B)"}, TextCase{"(A)", "A"},
        TextCase{"((A -> B))", "(A -> B)"}, TextCase{"Big Company -> (x -> y)", "(Big Company -> (x -> y))"},
        TextCase{"a- -> >b", "(a- -> >b)"}, TextCase{"\u00a0A\u3000->B", "(A -> B)"},
        TextCase{"", nullptr, "expected a type name", 0}, TextCase{"(", nullptr, "expected a type name", 1},
        TextCase{"(A -> B", nullptr, "expected ')' to close '('", 0},
        TextCase{"((A -> B)", nullptr, "expected ')' to close '('", 0},
        TextCase{"A -> B -> C", nullptr, "ambiguous '->': group the arrows with parentheses", 7},
        TextCase{"-> A", nullptr, "expected a type name", 0},
        TextCase{"A ->", nullptr, "expected a type name", 4}, TextCase{"A)", nullptr, "unexpected ')'", 1},
        TextCase{"A (B)", nullptr, "expected '->' or the end of the text", 2},
        TextCase{"(A -> B) C", nullptr, "expected '->' or the end of the text", 9},
        TextCase{"(A -> B C) D", nullptr, "expected '->' or the end of the text", 11},
        TextCase{"((A -> B) C)", nullptr, "expected '->' or ')'", 10},
        TextCase{"(A -> (B) C)", nullptr, "expected ')'", 10}));

TEST(TypeText, DeepNestingIsIterative) {
    const std::size_t depth = 1000000;
    std::string text(depth, '(');
    text += "A";
    for (std::size_t i = 0; i < depth; ++i) text += " -> B)";
    TypeTextResult r = parse_type_text(text);
    ASSERT_TRUE(std::holds_alternative<TypeRef>(r));
    EXPECT_EQ(std::get<TypeRef>(r)->text(), text);
}

TEST(TypeText, ReadableNamesAndPositions) {
    for (const char* name : {"A", "Big Company", "x->", "$", "é"})
        EXPECT_EQ(readable_name(name), std::string(name).find("->") == std::string::npos) << name;
    for (const char* name : {"", " A", "A\t", "(", ")", "a->b", "f(x)"})
        EXPECT_FALSE(readable_name(name)) << name;
    EXPECT_EQ(char_position("é(A", 2), 1u);
    EXPECT_EQ(char_position("abc", 10), 3u);
}

// ---- type tables ----

TEST(TypeTable, EqualTypesShareAnEntryAndPartsComeFirst) {
    std::mt19937 rng(11);
    TypeTable table;
    std::vector<std::pair<TypeRef, std::uint32_t>> added;
    for (int i = 0; i < 500; ++i) {
        TypeRef t = random_type(rng, 5, true);
        added.emplace_back(t, table.add(t));
    }
    TypeTableReader read;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table.is_application(i)) {
            ASSERT_LT(table.left(i), i);
            ASSERT_LT(table.right(i), i);
            ASSERT_TRUE(read.add_application(table.left(i), table.right(i)));
        } else {
            read.add_variable(table.name(i));
        }
    }
    for (const auto& [t, index] : added) {
        EXPECT_TRUE(*read[index] == *t);
        // A structurally equal copy, built apart, finds the same entry.
        TypeTextResult again = parse_type_text(t->text());
        if (all_names_readable(*t)) {
            EXPECT_EQ(table.add(std::get<TypeRef>(again)), index);
        }
    }
    for (std::size_t i = 0; i < read.size(); ++i)
        for (std::size_t j = i + 1; j < read.size(); ++j) ASSERT_FALSE(*read[i] == *read[j]);
}

TEST(TypeTable, ReaderRefusesLaterParts) {
    TypeTableReader read;
    EXPECT_FALSE(read.add_application(0, 0));
    read.add_variable("A");
    EXPECT_TRUE(read.add_application(0, 0));
    EXPECT_FALSE(read.add_application(0, 2));
}

TEST(TypeTable, DeepTypeIsIterative) {
    TypeRef t = Type::variable("A");
    for (int i = 0; i < 300000; ++i) t = Type::application(t, Type::variable("B"));
    TypeTable table;
    EXPECT_EQ(table.add(t), 300001u);
    EXPECT_EQ(table.size(), 300002u);
}

// ---- JSON ----

// The token stream of a text, as a compact string, or "error@offset".
std::string tokens_of(std::string_view text) {
    json::JsonReader r(text);
    std::string out;
    for (;;) {
        switch (r.next()) {
            case json::Token::BeginObject:
                out += '{';
                break;
            case json::Token::EndObject:
                out += '}';
                break;
            case json::Token::BeginArray:
                out += '[';
                break;
            case json::Token::EndArray:
                out += ']';
                break;
            case json::Token::Key:
                out += "k:" + std::string(r.string()) + ' ';
                break;
            case json::Token::String:
                out += "s:" + std::string(r.string()) + ' ';
                break;
            case json::Token::Number:
                out += (r.is_integer() ? "i:" : "f:") + std::string(r.number()) + ' ';
                break;
            case json::Token::True:
                out += 'T';
                break;
            case json::Token::False:
                out += 'F';
                break;
            case json::Token::Null:
                out += 'N';
                break;
            case json::Token::End:
                return out;
            case json::Token::Error:
                return std::string(r.error()) + "@" + std::to_string(r.offset());
        }
    }
}

struct JsonCase {
    const char* text;
    const char* tokens;
};

class JsonTexts : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonTexts, Tokens) {
    EXPECT_EQ(tokens_of(GetParam().text), GetParam().tokens) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonTexts,
    ::testing::Values(
        JsonCase{" {\"a\" : [1, -2.5e3, true, false, null, \"x\\n\\u00e9\"], \"b\": {}} ",
                 "{k:a [i:1 f:-2.5e3 TFNs:x\né ]k:b {}}"},
        JsonCase{"[]", "[]"}, JsonCase{"0", "i:0 "}, JsonCase{"\"\\ud83d\\ude00\"", "s:\xF0\x9F\x98\x80 "},
        JsonCase{"", "unexpected end of text@0"}, JsonCase{"[1,]", "expected a value@3"},
        JsonCase{"[1 2]", "expected ',' or ']'@3"}, JsonCase{"{\"a\" 1}", "expected ':' after the key@5"},
        JsonCase{"{1: 2}", "expected a string key@1"}, JsonCase{"{\"a\": 1,}", "expected a string key@8"},
        JsonCase{"01", "unexpected text after the end of the value@1"}, JsonCase{"-", "invalid number@0"},
        JsonCase{"1.", "invalid number@0"}, JsonCase{"1e+", "invalid number@0"},
        JsonCase{"tru", "expected a value@0"}, JsonCase{"NaN", "expected a value@0"},
        JsonCase{"\"a\tb\"", "control character in a string@2"},
        JsonCase{"\"\\x\"", "invalid escape in a string@1"},
        JsonCase{"\"\\u12g4\"", "invalid \\u escape in a string@1"},
        JsonCase{"\"\xC0\xAF\"", "invalid UTF-8 in a string@1"},
        JsonCase{"\"\xED\xA0\x80\"", "invalid UTF-8 in a string@1"},
        JsonCase{"[\"abc", "unexpected end of text in a string@1"},
        JsonCase{"{\"a\":1", "unexpected end of text@6"},
        JsonCase{"[1]]", "unexpected text after the end of the value@3"}));

TEST(Json, LoneSurrogatesAreFlaggedAndWrittenBack) {
    json::JsonReader r("[\"a\\ud800b\", \"\\udc00\", \"ok\"]");
    ASSERT_EQ(r.next(), json::Token::BeginArray);
    std::vector<std::string> strings;
    std::vector<bool> flags;
    while (r.next() == json::Token::String) {
        strings.emplace_back(r.string());
        flags.push_back(r.has_surrogate());
    }
    EXPECT_EQ(strings, (std::vector<std::string>{"a\xED\xA0\x80"
                                                 "b",
                                                 "\xED\xB0\x80", "ok"}));
    EXPECT_EQ(flags, (std::vector<bool>{true, true, false}));
    std::string out;
    json::append_string(out, strings[0]);
    EXPECT_EQ(out, "\"a\\ud800b\"");
}

TEST(Json, StringsRoundTrip) {
    std::mt19937 rng(3);
    for (int i = 0; i < 3000; ++i) {
        std::string s;
        const int n = static_cast<int>(rng() % 12);
        for (int k = 0; k < n; ++k) {
            switch (rng() % 5) {
                case 0:
                    s += static_cast<char>(rng() % 0x20);
                    break;  // control
                case 1:
                    s += "\"\\/"[rng() % 3];
                    break;
                case 2:
                    s += "\xC3\xA9\xF0\x9F\x98\x80\xED\xA0\x81";
                    break;  // é, 😀, a lone surrogate
                default:
                    s += static_cast<char>('a' + rng() % 26);
            }
        }
        std::string text;
        json::append_string(text, s);
        json::JsonReader r(text);
        ASSERT_EQ(r.next(), json::Token::String) << text;
        EXPECT_EQ(r.string(), s);
        EXPECT_EQ(r.next(), json::Token::End);
    }
    std::string invalid;
    json::append_string(invalid, "a\xFF");
    EXPECT_EQ(invalid, "\"a\\ufffd\"");
}

TEST(Json, NumbersRoundTrip) {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 3000; ++i) {
        double d;
        const std::uint64_t bits = rng();
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) continue;
        for (double v : {d, static_cast<double>(static_cast<std::int32_t>(bits)), 1e16, -0.0}) {
            std::string text;
            json::append_double(text, v);
            json::JsonReader r(text);
            ASSERT_EQ(r.next(), json::Token::Number) << text;
            EXPECT_FALSE(r.is_integer()) << text;
            const double back = std::strtod(std::string(r.number()).c_str(), nullptr);
            EXPECT_EQ(std::memcmp(&back, &v, sizeof v), 0) << text;
        }
    }
    std::string text;
    json::append_int(text, INT64_MIN);
    EXPECT_EQ(text, "-9223372036854775808");
}

TEST(Json, DeepNestingSkipsAndLocates) {
    const std::size_t depth = 1000000;
    std::string text = "{\"a\":" + std::string(depth, '[') + std::string(depth, ']') + ",\n \"b\": x}";
    json::JsonReader r(text);
    ASSERT_EQ(r.next(), json::Token::BeginObject);
    ASSERT_EQ(r.next(), json::Token::Key);
    ASSERT_EQ(r.next(), json::Token::BeginArray);
    EXPECT_EQ(r.depth(), 2u);
    ASSERT_TRUE(r.skip());
    EXPECT_EQ(r.depth(), 1u);
    ASSERT_EQ(r.next(), json::Token::Key);
    ASSERT_EQ(r.next(), json::Token::Error);
    const json::Location at = json::locate(text, r.offset());
    EXPECT_EQ(at.line, 2u);
    EXPECT_EQ(at.column, 7u);
    EXPECT_EQ(json::locate("é\né", 4).column, 2u);
    // A member read a second time, on its own.
    json::JsonReader again(text, 5, true);
    EXPECT_EQ(again.next(), json::Token::BeginArray);
}

TEST(Dot, QuotedStrings) {
    std::string out;
    dot::append_quoted(out, "a\"b\\c\nd\re\x01\xFF");
    EXPECT_EQ(out, "\"a\\\"b\\\\c\\nd e \xEF\xBF\xBD\"");
}

}  // namespace
