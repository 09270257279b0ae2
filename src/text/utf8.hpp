// UTF-8 helpers shared by the schema matcher and the path parser. Input is
// normally valid UTF-8 (it comes from Python str objects), but the core is also
// fed arbitrary bytes by fuzzers: an invalid byte decodes as one code point
// U+FFFD of length 1 and is never white space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel::text {

struct Decoded {
    char32_t cp;
    std::size_t len;  // bytes consumed, >= 1
};

// Decodes the code point starting at s[i] (i < s.size()).
Decoded decode(std::string_view s, std::size_t i) noexcept;

// Decodes the code point that ends just before s[end] (end > 0).
Decoded decode_before(std::string_view s, std::size_t end) noexcept;

// The Unicode White_Space property.
constexpr bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Appends the UTF-8 encoding of `c` (a surrogate too, as three bytes).
void append_utf8(std::string& out, char32_t c);

// Removes White_Space characters from both ends.
std::string_view trim_any(std::string_view s) noexcept;
inline std::string_view trim(std::string_view s) noexcept {
    // Most texts begin and end with printable ASCII, which is never white space.
    if (!s.empty()) {
        const auto first = static_cast<unsigned char>(s.front()), last = static_cast<unsigned char>(s.back());
        if (first > 0x20 && first < 0x80 && last > 0x20 && last < 0x80) return s;
    }
    return trim_any(s);
}

}  // namespace quorvel::text
