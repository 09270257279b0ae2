#include <string_view>
#include <vector>

#include "text/utf8.hpp"
#include "type_schema/schema.hpp"

namespace quorvel {

namespace {

// A name runs up to white space or one of the characters of the syntax.
bool ends_name(std::string_view s, std::size_t i) {
    const char c = s[i];
    if (c == '(' || c == ')' || c == '$' || c == '*' || c == ':') return true;
    if (c == '-' && i + 1 < s.size() && s[i + 1] == '>') return true;
    return text::is_white_space(text::decode(s, i).cp);
}

}  // namespace

TypeRef concrete_type(std::string_view schema_text) {
    std::string_view s = text::trim(schema_text);
    if (s.size() >= 2 && s.front() == '$' && s.back() == '$') s = s.substr(1, s.size() - 2);

    // Shunting-yard over two stacks: the arrow groups to the right, so it
    // never reduces an earlier arrow; ')' and the end reduce down to the
    // matching '('.
    std::vector<TypeRef> operands;
    std::vector<char> ops;  // '(' or '>'
    bool want_operand = true;
    auto reduce_arrows = [&] {
        while (!ops.empty() && ops.back() == '>') {
            ops.pop_back();
            TypeRef right = std::move(operands.back());
            operands.pop_back();
            TypeRef left = std::move(operands.back());
            operands.pop_back();
            operands.push_back(Type::application(std::move(left), std::move(right)));
        }
    };
    std::size_t i = 0;
    while (i < s.size()) {
        const text::Decoded d = text::decode(s, i);
        if (text::is_white_space(d.cp)) {
            i += d.len;
            continue;
        }
        const char c = s[i];
        if (want_operand) {
            if (c == '(') {
                ops.push_back('(');
                ++i;
                continue;
            }
            if (ends_name(s, i)) return TypeRef();
            const std::size_t start = i;
            while (i < s.size() && !ends_name(s, i)) i += text::decode(s, i).len;
            operands.push_back(Type::variable(std::string(s.substr(start, i - start))));
            want_operand = false;
        } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '>') {
            ops.push_back('>');
            i += 2;
            want_operand = true;
        } else if (c == ')') {
            reduce_arrows();
            if (ops.empty()) return TypeRef();
            ops.pop_back();
            ++i;
        } else {
            return TypeRef();
        }
    }
    if (want_operand) return TypeRef();
    reduce_arrows();
    if (!ops.empty() || operands.size() != 1) return TypeRef();
    return std::move(operands.back());
}

}  // namespace quorvel
