#include "text/utf8.hpp"

namespace quorvel::text {

Decoded decode(std::string_view s, std::size_t i) noexcept {
    auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return {b0, 1};
    std::size_t need;
    char32_t cp;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        need = 1, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        need = 2, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        need = 3, cp = b0 & 0x07, min = 0x10000;
    } else {
        return {0xFFFD, 1};
    }
    if (i + need >= s.size()) return {0xFFFD, 1};
    for (std::size_t k = 1; k <= need; ++k) {
        auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return {0xFFFD, 1};
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0xFFFD, 1};
    return {cp, need + 1};
}

Decoded decode_before(std::string_view s, std::size_t end) noexcept {
    // Step back over at most three continuation bytes and check that the
    // sequence found there really ends at `end`.
    std::size_t start = end - 1;
    std::size_t steps = 0;
    while (start > 0 && steps < 3 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) {
        --start;
        ++steps;
    }
    Decoded d = decode(s, start);
    if (start + d.len == end) return d;
    return {0xFFFD, 1};
}

std::string_view trim_any(std::string_view s) noexcept {
    std::size_t b = 0, e = s.size();
    while (b < e) {
        Decoded d = decode(s, b);
        if (!is_white_space(d.cp)) break;
        b += d.len;
    }
    while (e > b) {
        Decoded d = decode_before(s, e);
        if (!is_white_space(d.cp)) break;
        e -= d.len;
    }
    return s.substr(b, e - b);
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace quorvel::text
