#include <charconv>
#include <cmath>
#include <limits>
#include <unordered_set>
#include <utility>

#include "text/literal_scanner.hpp"

namespace quorvel::text {

namespace {

constexpr std::size_t kMaxDepth = 256;
constexpr std::size_t kQuoteLimit = 32;

constexpr std::string_view kKeywords[] = {"AND",    "OR",   "NOT",  "IS",       "NULL", "IN",
                                          "STARTS", "ENDS", "WITH", "CONTAINS", "TRUE", "FALSE"};

std::optional<Kw> keyword(std::string_view word) noexcept {
    for (std::size_t k = 0; k < std::size(kKeywords); ++k) {
        std::string_view name = kKeywords[k];
        if (name.size() != word.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < word.size() && same; ++i)
            same = (word[i] & ~0x20) == name[i] && ((word[i] | 0x20) >= 'a' && (word[i] | 0x20) <= 'z');
        if (same) return static_cast<Kw>(k);
    }
    return std::nullopt;
}

// A float literal whose value does not fit a double: infinity when its
// decimal magnitude is large, zero when it is tiny. `s` is well formed.
double out_of_range_value(std::string_view s) {
    const bool negative = s.front() == '-';
    long long order = 0;  // decimal exponent of the first significant digit, plus one
    bool seen_point = false, seen_nonzero = false;
    std::size_t i = negative ? 1 : 0;
    for (; i < s.size() && (s[i] | 0x20) != 'e'; ++i) {
        if (s[i] == '.') {
            seen_point = true;
        } else if (!seen_nonzero && s[i] != '0') {
            seen_nonzero = true;
            if (!seen_point) ++order;
        } else if (seen_nonzero && !seen_point) {
            ++order;
        } else if (!seen_nonzero && seen_point) {
            --order;
        }
    }
    if (i < s.size()) {
        ++i;
        const bool exp_negative = s[i] == '-';
        if (s[i] == '-' || s[i] == '+') ++i;
        long long exponent = 0;
        for (; i < s.size() && exponent < 1000000000; ++i) exponent = exponent * 10 + (s[i] - '0');
        order += exp_negative ? -exponent : exponent;
    }
    const double magnitude = order > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
}

}  // namespace

std::string_view keyword_name(Kw kw) noexcept {
    return kKeywords[static_cast<std::size_t>(kw)];
}

std::string quoted_prefix(std::string_view s) {
    std::size_t end = 0;
    for (std::size_t n = 0; end < s.size() && n < kQuoteLimit; ++n) end += decode(s, end).len;
    std::string out(s.substr(0, end));
    if (end < s.size()) out += "...";
    return out;
}

bool Scanner::starts_literal() {
    const Token& t = peek();
    switch (t.kind) {
        case Tok::Int:
        case Tok::Float:
        case Tok::String:
        case Tok::Parameter:
            return true;
        case Tok::Keyword:
            return t.kw == Kw::True || t.kw == Kw::False || t.kw == Kw::Null;
        case Tok::Punct:
            return t.source == "[";
        default:
            return false;
    }
}

bool Scanner::fail(std::size_t position, std::string what) {
    if (error_) return false;
    if (mode_ == ScanMode::Condition) {
        what += " at position ";
        what += std::to_string(position);
    } else {
        what += " in property map";
    }
    error_ = ParseError{std::move(what), position};
    return false;
}

bool Scanner::fail_unexpected(const Token& t) {
    std::string what = "unexpected ";
    switch (t.kind) {
        case Tok::End:
            what += "end of text";
            break;
        case Tok::Keyword:
            what += keyword_name(t.kw);
            break;
        case Tok::Punct:
            what += "'" + std::string(t.source) + "'";
            break;
        case Tok::String:
            what += "string " + quoted_prefix(t.source);
            break;
        case Tok::Parameter:
            what += "parameter " + quoted_prefix(t.source);
            break;
        default:
            what += "text '" + quoted_prefix(t.source) + "'";
            break;
    }
    return fail(t.position, std::move(what));
}

bool Scanner::enter(std::size_t position) {
    if (++depth_ > kMaxDepth)
        return fail(position,
                    mode_ == ScanMode::Condition ? "condition nested too deeply" : "value nested too deeply");
    return true;
}

void Scanner::skip_space() {
    while (!at_end()) {
        text::Decoded d = decode(text_, pos_);
        if (!is_white_space(d.cp)) break;
        step(d.len);
    }
}

Token Scanner::lex() {
    skip_space();
    Token t;
    t.position = cp_;
    if (at_end()) return t;
    const std::size_t start = pos_;
    const char c = text_[pos_];
    const char next = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';

    bool ok = true;
    t.kind = Tok::Punct;
    switch (c) {
        case '(':
        case ')':
        case '[':
        case ']':
        case '{':
        case '}':
        case ',':
        case '.':
        case ':':
        case '=':
            step(1);
            break;
        case '<':
            step(1);
            if (next == '=' || next == '>') step(1);
            break;
        case '>':
            step(1);
            if (next == '=') step(1);
            break;
        case '!':
            if (next == '=') {
                step(1);
                step(1);
            } else {
                ok = fail(t.position, "unexpected character '!'");
            }
            break;
        case '\'':
        case '"':
            ok = lex_string(t);
            break;
        default:
            if (is_digit(static_cast<unsigned char>(c)) ||
                (c == '-' && is_digit(static_cast<unsigned char>(next)))) {
                ok = lex_number(t);
            } else if (c == '$') {
                step(1);
                const std::size_t name = pos_;
                skip_identifier();
                if (pos_ == name) ok = fail(cp_, "expected a parameter name after '$'");
                t.kind = Tok::Parameter;
            } else if (text::Decoded d = decode(text_, pos_); is_ident_start(d.cp)) {
                skip_identifier();
                std::optional<Kw> kw = keyword(text_.substr(start, pos_ - start));
                t.kind = kw ? Tok::Keyword : Tok::Word;
                if (kw) t.kw = *kw;
            } else if (d.cp < 0x20 || d.cp == 0x7F) {
                static constexpr char hex[] = "0123456789ABCDEF";
                std::string what = "unexpected character U+00";
                what += hex[d.cp >> 4];
                what += hex[d.cp & 0xF];
                ok = fail(t.position, std::move(what));
            } else {
                ok =
                    fail(t.position, "unexpected character '" + std::string(text_.substr(pos_, d.len)) + "'");
            }
            break;
    }
    if (!ok) {
        t.kind = Tok::Error;
        return t;
    }
    t.source = text_.substr(start, pos_ - start);
    return t;
}

void Scanner::skip_identifier() {
    for (std::size_t start = pos_; !at_end();) {
        const Decoded d = decode(text_, pos_);
        if (pos_ == start ? !is_ident_start(d.cp) : !is_ident_continue(d.cp)) break;
        step(d.len);
    }
}

bool Scanner::lex_string(Token& t) {
    const char quote = text_[pos_];
    const std::size_t opening = cp_;
    auto unterminated = [&] {
        return fail(opening,
                    mode_ == ScanMode::Condition ? "unterminated string starting" : "unterminated string");
    };
    step(1);
    t.kind = Tok::String;
    for (;;) {
        if (at_end()) return unterminated();
        const char c = text_[pos_];
        if (c == quote) {
            step(1);
            return true;
        }
        if (c != '\\') {
            const std::size_t len = decode(text_, pos_).len;
            t.value.append(text_.substr(pos_, len));
            step(len);
            continue;
        }
        const std::size_t escape_start = pos_, escape_position = cp_;
        step(1);
        if (at_end()) return unterminated();
        const char e = text_[pos_];
        // Escapes standing for one character: what is written, what is meant.
        static constexpr std::string_view written = "\\'\"ntr0";
        static constexpr std::string_view meant{"\\'\"\n\t\r\0", 7};
        if (std::size_t k = written.find(e); k != std::string_view::npos) {
            t.value += meant[k];
            step(1);
            continue;
        }
        if (e == 'u' || e == 'U') {
            const int digits = e == 'u' ? 4 : 8;
            step(1);
            char32_t value = 0;
            for (int k = 0; k < digits; ++k) {
                if (at_end()) return unterminated();
                const char h = text_[pos_];
                if (!is_hex(static_cast<unsigned char>(h))) break;
                value = value * 16 + static_cast<char32_t>(is_digit(static_cast<unsigned char>(h))
                                                               ? h - '0'
                                                               : (h | 0x20) - 'a' + 10);
                step(1);
            }
            const std::size_t length = pos_ - escape_start;
            if (length != static_cast<std::size_t>(digits) + 2 || value > 0x10FFFF ||
                (value >= 0xD800 && value <= 0xDFFF))
                return fail(escape_position,
                            "invalid escape '" + std::string(text_.substr(escape_start, length)) + "'");
            append_utf8(t.value, value);
            continue;
        }
        const std::size_t len = decode(text_, pos_).len;
        return fail(escape_position, "invalid escape '\\" + std::string(text_.substr(pos_, len)) + "'");
    }
}

bool Scanner::lex_number(Token& t) {
    const std::size_t start = pos_, start_position = cp_;
    auto digit_at = [&](std::size_t i) {
        return i < text_.size() && is_digit(static_cast<unsigned char>(text_[i]));
    };
    if (text_[pos_] == '-') step(1);
    while (digit_at(pos_)) step(1);
    t.kind = Tok::Int;
    if (pos_ < text_.size() && text_[pos_] == '.' && digit_at(pos_ + 1)) {
        step(1);
        while (digit_at(pos_)) step(1);
        t.kind = Tok::Float;
    }
    if (pos_ < text_.size() && (text_[pos_] | 0x20) == 'e') {
        std::size_t i = pos_ + 1;
        if (i < text_.size() && (text_[i] == '+' || text_[i] == '-')) ++i;
        if (digit_at(i)) {
            while (pos_ < i) step(1);
            while (digit_at(pos_)) step(1);
            t.kind = Tok::Float;
        }
    }
    // A number running straight into a word or another '.' is one bad token.
    if (!at_end() && (text_[pos_] == '.' || is_ident_continue(current()))) {
        while (!at_end() && (text_[pos_] == '.' || is_ident_continue(current())))
            step(decode(text_, pos_).len);
        return fail(start_position,
                    "invalid number '" + quoted_prefix(text_.substr(start, pos_ - start)) + "'");
    }
    if (t.kind == Tok::Float) {
        const char* first = text_.data() + start;
        const char* last = text_.data() + pos_;
        auto [ptr, ec] = std::from_chars(first, last, t.number);
        if (ec == std::errc::result_out_of_range)
            t.number = out_of_range_value(text_.substr(start, pos_ - start));
    }
    return true;
}

bool Scanner::parse_literal(Literal& out) {
    Token& t = peek();
    switch (t.kind) {
        case Tok::Int:
            out.kind = Literal::Kind::Int;
            out.text = t.source;
            advance();
            return true;
        case Tok::Float:
            out.kind = Literal::Kind::Float;
            out.text = t.source;
            out.f = t.number;
            advance();
            return true;
        case Tok::String:
            out.kind = Literal::Kind::String;
            out.text = std::move(t.value);
            advance();
            return true;
        case Tok::Parameter:
            out.kind = Literal::Kind::Parameter;
            out.text = t.source.substr(1);
            advance();
            return true;
        case Tok::Keyword:
            if (t.kw == Kw::Null) {
                out.kind = Literal::Kind::Null;
                advance();
                return true;
            }
            if (t.kw == Kw::True || t.kw == Kw::False) {
                out.kind = Literal::Kind::Bool;
                out.b = t.kw == Kw::True;
                advance();
                return true;
            }
            break;
        default:
            break;
    }
    if (t.kind != Tok::Punct || t.source != "[") return fail_unexpected(t);

    const std::size_t open = t.position;
    if (!enter(open)) return false;
    advance();
    out.kind = Literal::Kind::List;
    if (at_punct("]")) {
        advance();
        leave();
        return true;
    }
    for (;;) {
        if (peek().kind == Tok::End) return fail(open, "expected ']' to close '['");
        if (peek().kind == Tok::Parameter)
            return fail(peek().position, "a parameter cannot stand inside a list");
        if (!starts_literal()) return fail(peek().position, "expected a literal in list");
        if (!parse_literal(out.items.emplace_back())) return false;
        if (at_punct(",")) {
            advance();
            continue;
        }
        if (at_punct("]")) break;
        if (peek().kind == Tok::End) return fail(open, "expected ']' to close '['");
        return fail(peek().position, "expected ',' or ']' in list");
    }
    advance();
    leave();
    return true;
}

bool Scanner::parse_map(MapResult& out) {
    if (text_.empty() || text_[0] != '{') return fail_plain(0, "expected '{' to open property map");
    peek();
    advance();  // the '{'
    std::unordered_set<std::string> keys;
    if (at_punct("}")) {
        advance();
        out.consumed = pos_;
        return true;
    }
    for (;;) {
        Token& k = peek();
        if (k.kind == Tok::End) return fail_plain(k.position, "unterminated property map");
        if (k.kind != Tok::Word && k.kind != Tok::Keyword && k.kind != Tok::String)
            return fail(k.position, "expected a key");
        MapEntry& entry = out.entries.emplace_back();
        entry.key = k.kind == Tok::String ? std::move(k.value) : std::string(k.source);
        const std::size_t key_position = k.position;
        advance();
        const std::string quoted_key = "'" + quoted_prefix(entry.key) + "'";
        if (!keys.insert(entry.key).second) return fail(key_position, "duplicate key " + quoted_key);

        if (peek().kind == Tok::End) return fail_plain(peek().position, "unterminated property map");
        if (!at_punct(":")) return fail(peek().position, "expected ':' after key " + quoted_key);
        advance();
        if (peek().kind == Tok::End) return fail_plain(peek().position, "unterminated property map");
        if (!starts_literal()) return fail(peek().position, "expected a value for key " + quoted_key);
        if (!parse_literal(entry.value)) return false;

        if (at_punct(",")) {
            advance();
            continue;
        }
        if (at_punct("}")) break;
        if (peek().kind == Tok::End) return fail_plain(peek().position, "unterminated property map");
        return fail(peek().position, "expected ',' or '}' after the value of key " + quoted_key);
    }
    advance();
    out.consumed = pos_;
    return true;
}

std::variant<MapResult, ParseError> parse_property_map(std::string_view text) {
    Scanner scanner(text, ScanMode::Map);
    MapResult result;
    if (!scanner.parse_map(result)) return std::move(*scanner.error());
    return result;
}

}  // namespace quorvel::text
