// Arbitrary bytes into the result-column parser: it must never crash, keep
// every text that has no call and no AS word as a legacy column, and say
// where any other text goes wrong.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "query/column.hpp"
#include "text/utf8.hpp"

namespace {

std::size_t code_points(std::string_view s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size(); i += quorvel::text::decode(s, i).len) ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvel::cond;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    auto result = parse_column(input);
    if (auto* column = std::get_if<Column>(&result)) {
        if (column->text != input) std::abort();
        if (column->legacy && (input.find('(') != std::string_view::npos || column->alias || column->star))
            std::abort();
        if (column->star && column->aggregate != Aggregate::Count) std::abort();
        if (!column->legacy && column->aggregate == Aggregate::None && (column->star || column->distinct))
            std::abort();
        return 0;
    }
    const auto& error = std::get<ParseError>(result);
    if (error.position > code_points(input)) std::abort();
    if (!error.message.ends_with(" at position " + std::to_string(error.position))) std::abort();
    // Only texts that would otherwise be legacy never fail.
    if (input.find('(') == std::string_view::npos) {
        bool has_as = false;
        for (std::size_t i = 1; i + 2 < input.size() && !has_as; ++i)
            has_as = (input[i] | 0x20) == 'a' && (input[i + 1] | 0x20) == 's';
        if (!has_as) std::abort();
    }
    return 0;
}
