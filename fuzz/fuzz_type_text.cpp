// Arbitrary bytes into the type text reader: it must never crash, an error
// must stand inside the text, and a type it reads must read back from its own
// printed form as the same type.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>

#include "persist/type_text.hpp"

using namespace quorvel;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TypeTextResult r = parse_type_text(text);
    if (const TypeTextError* e = std::get_if<TypeTextError>(&r)) {
        check(e->offset <= text.size());
        return 0;
    }
    const TypeRef& t = std::get<TypeRef>(r);
    TypeTextResult again = parse_type_text(t->text());
    check(std::holds_alternative<TypeRef>(again));
    check(*std::get<TypeRef>(again) == *t);
    return 0;
}
