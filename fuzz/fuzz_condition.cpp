// Arbitrary bytes into the condition and property map parsers: they must never
// crash, and every error must point inside the text and say where it is.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "query/condition.hpp"
#include "text/utf8.hpp"

namespace {

std::size_t code_points(std::string_view s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size(); i += quorvel::text::decode(s, i).len) ++n;
    return n;
}

void check_condition(std::string_view input, std::size_t length) {
    auto result = quorvel::cond::parse_condition(input);
    if (auto* condition = std::get_if<quorvel::cond::Expr>(&result)) {
        for (const std::string& name : quorvel::cond::variables_of(*condition))
            if (name.empty() || input.find(name) == std::string_view::npos) std::abort();
        // Type tests build their schema texts as node patterns do.
        std::vector<const quorvel::cond::Expr*> stack{condition};
        while (!stack.empty()) {
            const quorvel::cond::Expr* e = stack.back();
            stack.pop_back();
            if (e->kind == quorvel::cond::Expr::Kind::TypeTest &&
                (e->schema.size() < 2 || e->schema.find('$') == std::string::npos))
                std::abort();
            for (const auto& child : e->children) stack.push_back(&child);
        }
        return;
    }
    const auto& error = std::get<quorvel::cond::ParseError>(result);
    if (error.position > length) std::abort();
    if (error.message == "empty condition") {
        if (error.position != 0 || !quorvel::text::trim(input).empty()) std::abort();
    } else if (!error.message.ends_with(" at position " + std::to_string(error.position))) {
        std::abort();
    }
}

void check_map(std::string_view input, std::size_t length) {
    auto result = quorvel::cond::parse_property_map(input);
    if (auto* map = std::get_if<quorvel::cond::MapResult>(&result)) {
        if (map->consumed < 2 || map->consumed > input.size() || input[map->consumed - 1] != '}')
            std::abort();
        return;
    }
    const auto& error = std::get<quorvel::cond::ParseError>(result);
    if (error.position > length || !error.message.ends_with("property map")) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t length = code_points(input);
    check_condition(input, length);
    check_map(input, length);
    return 0;
}
