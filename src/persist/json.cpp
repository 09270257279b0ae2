#include "persist/json.hpp"

#include <charconv>
#include <cstring>

#include "text/utf8.hpp"

namespace quorvel::json {

namespace {

bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

unsigned char byte_at(std::string_view s, std::size_t i) noexcept {
    return i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
}

// Length of the well-formed UTF-8 sequence at s[i] (a non-ASCII lead byte),
// or 0. With `surrogates`, the three-byte encodings of U+D800..U+DFFF count
// as well-formed too.
std::size_t utf8_length(std::string_view s, std::size_t i, bool surrogates) noexcept {
    const unsigned char b0 = byte_at(s, i);
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED && !surrogates) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    const unsigned char b1 = byte_at(s, i + 1);
    if (b1 < lo || b1 > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if ((byte_at(s, i + k) & 0xC0) != 0x80) return 0;
    return n;
}

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at s[i], or -1.
long hex4(std::string_view s, std::size_t i) noexcept {
    if (i + 4 > s.size()) return -1;
    long v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        int h = hex_value(s[i + k]);
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}

}  // namespace

JsonReader::JsonReader(std::string_view text, std::size_t start, bool value_only)
    : text_(text), pos_(start), value_only_(value_only) {}

Token JsonReader::fail(const char* message, std::size_t at) {
    error_ = message;
    begin_ = at;
    return Token::Error;
}

Token JsonReader::next() {
    if (error_) return Token::Error;
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
    begin_ = pos_;
    const bool at_end = pos_ == text_.size();
    switch (state_) {
        case State::Done:
            if (value_only_ || at_end) return Token::End;
            return fail("unexpected text after the end of the value", pos_);
        case State::Value:
            return value();
        case State::FirstElement:
            if (!at_end && text_[pos_] == ']') return close(Token::EndArray);
            return value();
        case State::FirstMember:
            if (!at_end && text_[pos_] == '}') return close(Token::EndObject);
            [[fallthrough]];
        case State::Member:
            if (at_end) return fail("unexpected end of text", pos_);
            if (text_[pos_] != '"') return fail("expected a string key", pos_);
            return string_token(Token::Key);
        case State::Colon:
            if (at_end) return fail("unexpected end of text", pos_);
            if (text_[pos_] != ':') return fail("expected ':' after the key", pos_);
            ++pos_;
            while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
            begin_ = pos_;
            return value();
        case State::Comma: {
            const bool object = stack_.back();
            if (at_end) return fail("unexpected end of text", pos_);
            const char c = text_[pos_];
            if (c == (object ? '}' : ']')) return close(object ? Token::EndObject : Token::EndArray);
            if (c != ',') return fail(object ? "expected ',' or '}'" : "expected ',' or ']'", pos_);
            state_ = object ? State::Member : State::Value;
            ++pos_;
            return next();
        }
    }
    return fail("internal error", pos_);
}

Token JsonReader::close(Token kind) {
    stack_.pop_back();
    ++pos_;
    state_ = stack_.empty() ? State::Done : State::Comma;
    return kind;
}

Token JsonReader::value() {
    if (pos_ == text_.size()) return fail("unexpected end of text", pos_);
    const char c = text_[pos_];
    Token kind;
    if (c == '{' || c == '[') {
        stack_.push_back(c == '{');
        ++pos_;
        state_ = c == '{' ? State::FirstMember : State::FirstElement;
        return c == '{' ? Token::BeginObject : Token::BeginArray;
    }
    if (c == '"') {
        kind = string_token(Token::String);
        if (kind == Token::Error) return kind;
    } else if (c == '-' || is_digit(c)) {
        std::size_t i = pos_ + (c == '-');
        if (i < text_.size() && text_[i] == '0') {
            ++i;
        } else if (i < text_.size() && is_digit(text_[i])) {
            while (i < text_.size() && is_digit(text_[i])) ++i;
        } else {
            return fail("invalid number", pos_);
        }
        integer_ = true;
        if (i < text_.size() && text_[i] == '.') {
            integer_ = false;
            if (++i >= text_.size() || !is_digit(text_[i])) return fail("invalid number", pos_);
            while (i < text_.size() && is_digit(text_[i])) ++i;
        }
        if (i < text_.size() && (text_[i] == 'e' || text_[i] == 'E')) {
            integer_ = false;
            ++i;
            if (i < text_.size() && (text_[i] == '+' || text_[i] == '-')) ++i;
            if (i >= text_.size() || !is_digit(text_[i])) return fail("invalid number", pos_);
            while (i < text_.size() && is_digit(text_[i])) ++i;
        }
        pos_ = i;
        kind = Token::Number;
    } else {
        static constexpr struct {
            const char* word;
            std::size_t len;
            Token kind;
        } literals[] = {{"true", 4, Token::True}, {"false", 5, Token::False}, {"null", 4, Token::Null}};
        kind = Token::Error;
        for (const auto& l : literals) {
            if (text_.compare(pos_, l.len, l.word) == 0) {
                pos_ += l.len;
                kind = l.kind;
                break;
            }
        }
        if (kind == Token::Error) return fail("expected a value", pos_);
    }
    state_ = stack_.empty() ? State::Done : State::Comma;
    return kind;
}

Token JsonReader::string_token(Token kind) {
    std::size_t i = pos_ + 1;
    surrogate_ = false;
    // Fast path: no escapes, so the text is a view of the input.
    const std::size_t start = i;
    for (;;) {
        if (i >= text_.size()) return fail("unexpected end of text in a string", pos_);
        const auto c = static_cast<unsigned char>(text_[i]);
        if (c == '"' || c == '\\') break;
        if (c < 0x20) return fail("control character in a string", i);
        if (c < 0x80) {
            ++i;
            continue;
        }
        const std::size_t n = utf8_length(text_, i, false);
        if (!n) return fail("invalid UTF-8 in a string", i);
        i += n;
    }
    if (text_[i] == '"') {
        string_ = text_.substr(start, i - start);
        pos_ = i + 1;
        if (kind == Token::Key) state_ = State::Colon;
        return kind;
    }
    buffer_.assign(text_.substr(start, i - start));
    for (;;) {
        if (i >= text_.size()) return fail("unexpected end of text in a string", pos_);
        const auto c = static_cast<unsigned char>(text_[i]);
        if (c == '"') break;
        if (c < 0x20) return fail("control character in a string", i);
        if (c >= 0x80) {
            const std::size_t n = utf8_length(text_, i, false);
            if (!n) return fail("invalid UTF-8 in a string", i);
            buffer_.append(text_.substr(i, n));
            i += n;
            continue;
        }
        if (c != '\\') {
            buffer_ += static_cast<char>(c);
            ++i;
            continue;
        }
        const char e = i + 1 < text_.size() ? text_[i + 1] : '\0';
        const char* simple = std::strchr("\"\\/bfnrt", e);
        if (e && simple) {
            static constexpr char decoded[] = "\"\\/\b\f\n\r\t";
            buffer_ += decoded[simple - "\"\\/bfnrt"];
            i += 2;
            continue;
        }
        if (e != 'u') return fail("invalid escape in a string", i);
        long cp = hex4(text_, i + 2);
        if (cp < 0) return fail("invalid \\u escape in a string", i);
        i += 6;
        if (cp >= 0xD800 && cp <= 0xDBFF && text_.compare(i, 2, "\\u") == 0) {
            const long low = hex4(text_, i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i += 6;
            }
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) surrogate_ = true;
        text::append_utf8(buffer_, static_cast<char32_t>(cp));
    }
    string_ = buffer_;
    pos_ = i + 1;
    if (kind == Token::Key) state_ = State::Colon;
    return kind;
}

bool JsonReader::skip() {
    const std::size_t target = stack_.size() - 1;
    for (;;) {
        const Token t = next();
        if (t == Token::Error) return false;
        if ((t == Token::EndObject || t == Token::EndArray) && stack_.size() == target) return true;
    }
}

Location locate(std::string_view text, std::size_t offset) noexcept {
    Location at{1, 1};
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            ++at.line;
            at.column = 1;
        } else if ((c & 0xC0) != 0x80) {
            ++at.column;
        }
    }
    return at;
}

bool append_string(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    bool exact = true;
    std::size_t high_end = std::string_view::npos;  // just past the last lone high surrogate
    out += '"';
    std::size_t run = 0;  // start of the bytes not yet copied
    auto flush = [&](std::size_t i) { out.append(s.substr(run, i - run)); };
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            const std::size_t n = utf8_length(s, i, true);
            if (n && !(c == 0xED && byte_at(s, i + 1) >= 0xA0)) {
                i += n;
                continue;
            }
            flush(i);
            if (n) {  // a lone surrogate
                if (byte_at(s, i + 1) < 0xB0)
                    high_end = i + n;
                else if (i == high_end)
                    exact = false;
                const unsigned cp =
                    ((c & 0x0Fu) << 12) | ((byte_at(s, i + 1) & 0x3Fu) << 6) | (byte_at(s, i + 2) & 0x3Fu);
                out += "\\u";
                for (int shift = 12; shift >= 0; shift -= 4) out += hex[(cp >> shift) & 0xF];
                i += n;
            } else {
                out += "\\ufffd";
                ++i;
            }
            run = i;
            continue;
        }
        flush(i);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
        }
        run = ++i;
    }
    flush(s.size());
    out += '"';
    return exact;
}

void append_int(std::string& out, std::int64_t value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

void append_double(std::string& out, double value) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    const std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
    out += text;
    if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

}  // namespace quorvel::json
