#include "persist/type_text.hpp"

#include <vector>

#include "text/utf8.hpp"

namespace quorvel {

namespace {

bool arrow_at(std::string_view s, std::size_t i) noexcept {
    return s[i] == '-' && i + 1 < s.size() && s[i + 1] == '>';
}

bool ends_name(std::string_view s, std::size_t i) noexcept {
    return s[i] == '(' || s[i] == ')' || arrow_at(s, i);
}

std::size_t skip_white_space(std::string_view s, std::size_t i) noexcept {
    while (i < s.size()) {
        const text::Decoded d = text::decode(s, i);
        if (!text::is_white_space(d.cp)) break;
        i += d.len;
    }
    return i;
}

// One open level: the top level, or a "(" not yet closed. `left` is set once
// the level has seen its arrow.
struct Level {
    std::size_t open;  // offset of the "(", or npos for the top level
    TypeRef left;
};

}  // namespace

TypeTextResult parse_type_text(std::string_view s) {
    constexpr std::size_t top = std::string_view::npos;
    std::vector<Level> levels{{top, TypeRef()}};
    TypeRef operand;  // the type just read, waiting for what follows it
    std::size_t i = 0;
    for (;;) {
        i = skip_white_space(s, i);
        if (!operand) {
            if (i == s.size() || s[i] == ')' || arrow_at(s, i))
                return TypeTextError{"expected a type name", i};
            if (s[i] == '(') {
                levels.push_back({i, TypeRef()});
                ++i;
                continue;
            }
            const std::size_t start = i;
            std::size_t end = i;  // just past the last character that is not white space
            while (i < s.size() && !ends_name(s, i)) {
                const text::Decoded d = text::decode(s, i);
                i += d.len;
                if (!text::is_white_space(d.cp)) end = i;
            }
            operand = Type::variable(std::string(s.substr(start, end - start)));
            i = end;
            continue;
        }
        Level& level = levels.back();
        if (i == s.size()) {
            if (level.open != top) return TypeTextError{"expected ')' to close '('", level.open};
            if (level.left) return Type::application(std::move(level.left), std::move(operand));
            return operand;
        }
        if (arrow_at(s, i)) {
            if (level.left) return TypeTextError{"ambiguous '->': group the arrows with parentheses", i};
            level.left = std::move(operand);
            operand = TypeRef();
            i += 2;
            continue;
        }
        if (s[i] == ')' && level.open != top) {
            if (level.left) operand = Type::application(std::move(level.left), std::move(operand));
            levels.pop_back();
            ++i;
            continue;
        }
        if (s[i] == ')') return TypeTextError{"unexpected ')'", i};
        if (level.open == top)
            return TypeTextError{
                level.left ? "expected the end of the text" : "expected '->' or the end of the text", i};
        return TypeTextError{level.left ? "expected ')'" : "expected '->' or ')'", i};
    }
}

bool readable_name(std::string_view name) noexcept {
    if (name.empty()) return false;
    if (text::is_white_space(text::decode(name, 0).cp)) return false;
    if (text::is_white_space(text::decode_before(name, name.size()).cp)) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (ends_name(name, i)) return false;
    return true;
}

std::size_t char_position(std::string_view text, std::size_t offset) noexcept {
    std::size_t n = 0;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++n;
    return n;
}

}  // namespace quorvel
