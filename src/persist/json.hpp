// JSON text, read and written without recursion.
//
// JsonReader is a pull reader: each next() returns one token (the start or
// end of an object or array, a key, a scalar) with its byte offset, so the
// caller builds what it wants as it reads, and knows where every value
// stands when it has to refuse one. Nesting depth costs one byte of state per
// level, never stack. The grammar is RFC 8259's, strictly: no comments, no
// trailing commas, no NaN, UTF-8 only (an invalid sequence in a string is an
// error), one value per text.
//
// Strings come back as UTF-8, except that a \u escape of a lone surrogate
// (which Python strings may hold) is kept as its three-byte encoding; such
// strings are flagged, so that text that must be valid Unicode can refuse
// them. The writer functions are the inverse: append_json_string escapes
// those three-byte sequences back into \u escapes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::json {

enum class Token : std::uint8_t {
    BeginObject,
    EndObject,
    BeginArray,
    EndArray,
    Key,  // an object's member name; its value follows
    String,
    Number,
    True,
    False,
    Null,
    End,    // after the value, only white space remained
    Error,  // see error() and offset()
};

class JsonReader {
public:
    // Reads the one value of `text`, starting at byte `start`. With
    // `value_only`, what follows the value is not looked at (for reading one
    // member of a larger text a second time).
    explicit JsonReader(std::string_view text, std::size_t start = 0, bool value_only = false);

    Token next();

    // Of the token last returned:
    std::size_t offset() const noexcept { return begin_; }    // where it starts
    std::size_t end_offset() const noexcept { return pos_; }  // just past it
    // Key and String: the decoded text (valid until the next call).
    std::string_view string() const noexcept { return string_; }
    // Key and String: whether the text holds an escaped lone surrogate.
    bool has_surrogate() const noexcept { return surrogate_; }
    // Number: its text, and whether it has no fraction and no exponent.
    std::string_view number() const noexcept { return text_.substr(begin_, pos_ - begin_); }
    bool is_integer() const noexcept { return integer_; }
    // Error: what is wrong, at offset().
    const char* error() const noexcept { return error_; }

    // Containers open around the next token (0 at the top level).
    std::size_t depth() const noexcept { return stack_.size(); }

    // After BeginObject or BeginArray: reads on to the matching end. Returns
    // false (an Error token) if the text is malformed on the way.
    bool skip();

private:
    enum class State : std::uint8_t { FirstMember, Member, Colon, FirstElement, Value, Comma, Done };
    Token fail(const char* message, std::size_t at);
    Token value();
    Token string_token(Token kind);
    Token close(Token kind);

    std::string_view text_;
    std::size_t pos_;
    std::size_t begin_ = 0;
    bool value_only_;
    State state_ = State::Value;
    std::vector<bool> stack_;  // true: an object
    std::string buffer_;
    std::string_view string_;
    bool surrogate_ = false;
    bool integer_ = false;
    const char* error_ = nullptr;
};

struct Location {
    std::size_t line;    // from 1
    std::size_t column;  // from 1, in code points
};

// Line and column of byte `offset`.
Location locate(std::string_view text, std::size_t offset) noexcept;

// A JSON string literal, quotes included. `text` is UTF-8 in which a lone
// surrogate may stand as its three-byte encoding; it is written as a \u
// escape. Other invalid bytes become \ufffd. False when the text holds a
// lone high surrogate just before a lone low one: JSON reads the two escapes
// back as one character, so the text cannot round-trip (it is written all
// the same).
bool append_string(std::string& out, std::string_view text);

void append_int(std::string& out, std::int64_t value);

// A finite double, shortest text that reads back to the same value, with a
// fraction or exponent so that it reads back as a float.
void append_double(std::string& out, double value);

}  // namespace quorvel::json
