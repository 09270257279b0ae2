// The tokenizer and literal grammar that where-conditions and brace property
// maps share. Internal to the two parsers (text/literal.cpp and
// query/condition.cpp); everyone else uses their public headers.
//
// Tokens are cut lazily, only when the parser asks for the next one, which
// lets the type test of a condition read its `$...$` schema text raw and lets
// a property map stop at its closing brace.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "text/literal.hpp"
#include "text/utf8.hpp"

namespace quorvel::text {

enum class Tok { End, Error, Word, Keyword, Int, Float, String, Punct, Parameter };

enum class Kw { And, Or, Not, Is, Null, In, Starts, Ends, With, Contains, True, False };

struct Token {
    Tok kind = Tok::End;
    Kw kw = Kw::And;          // Keyword
    std::string_view source;  // the token as written (a Parameter's with its '$')
    std::string value;        // String: the decoded text
    double number = 0.0;      // Float
    std::size_t position = 0;
};

constexpr bool is_digit(char32_t c) noexcept {
    return c >= '0' && c <= '9';
}
constexpr bool is_hex(char32_t c) noexcept {
    return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}
constexpr bool is_ident_start(char32_t c) noexcept {
    return ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '_' || (c >= 0x80 && !is_white_space(c));
}
constexpr bool is_ident_continue(char32_t c) noexcept {
    return is_ident_start(c) || is_digit(c);
}

std::string_view keyword_name(Kw kw) noexcept;

// At most 32 code points of `s`, with "..." when cut: how much of a token an
// error message quotes.
std::string quoted_prefix(std::string_view s);

// Conditions end their messages with "at position N", property maps with
// "in property map".
enum class ScanMode { Condition, Map };

class Scanner {
public:
    Scanner(std::string_view text, ScanMode mode) : text_(text), mode_(mode) {}

    // A literal: number, string, TRUE / FALSE / NULL, a list of literals, or
    // a parameter standing for a whole value.
    bool parse_literal(Literal& out);
    // `{key: literal, ...}`; the text must start at the '{'.
    bool parse_map(MapResult& out);

    Token& peek() {
        if (!has_ahead_) {
            ahead_ = lex();
            has_ahead_ = true;
        }
        return ahead_;
    }
    void advance() { has_ahead_ = false; }

    bool at_punct(std::string_view p) {
        const Token& t = peek();
        return t.kind == Tok::Punct && t.source == p;
    }
    bool at_keyword(Kw kw) {
        const Token& t = peek();
        return t.kind == Tok::Keyword && t.kw == kw;
    }
    bool starts_literal();

    // Records the first error only: a tokenizer error found while peeking is
    // more precise than whatever the grammar says about it afterwards.
    bool fail(std::size_t position, std::string what);
    bool fail_plain(std::size_t position, std::string message) {
        if (!error_) error_ = ParseError{std::move(message), position};
        return false;
    }
    bool fail_unexpected(const Token& t);

    // Nesting (parentheses, NOT chains, list literals together) is refused
    // past 256 levels, so neither parsing nor destroying a tree can exhaust
    // the stack.
    bool enter(std::size_t position);
    void leave() { --depth_; }

    std::optional<ParseError>& error() { return error_; }

protected:
    Token lex();
    // Moves past an identifier starting at pos_ (none: stays put).
    void skip_identifier();
    bool lex_string(Token& t);
    bool lex_number(Token& t);
    void skip_space();
    // Moves past one code point of `len` bytes.
    void step(std::size_t len) {
        pos_ += len;
        ++cp_;
    }
    char32_t current() const { return decode(text_, pos_).cp; }
    bool at_end() const { return pos_ >= text_.size(); }

    std::string_view text_;
    ScanMode mode_;
    std::size_t pos_ = 0;  // bytes
    std::size_t cp_ = 0;   // code points up to pos_
    std::size_t depth_ = 0;
    Token ahead_;  // the next token, when has_ahead_
    bool has_ahead_ = false;
    std::optional<ParseError> error_;
};

}  // namespace quorvel::text
