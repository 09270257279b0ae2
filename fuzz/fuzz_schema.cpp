// Differential fuzzing of the compiled type schema against the reference
// reading of the pattern text.
//
// Input layout: the last byte gives the length of the type program (at most
// 63 bytes, taken from just before it); everything in front is the pattern.
// The type program is a tiny stack machine so that every byte string yields
// a type, and its variable names are ones pattern texts easily produce.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "type_schema/schema.hpp"

using namespace quorvel;

namespace {

const char* const kNames[] = {"A", "B", "*", "", "x", "$B$", " A ", "$a:b$"};

TypeRef build_type(const std::uint8_t* p, std::size_t n) {
    std::vector<TypeRef> stack;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t b = p[i];
        if (b % 3 == 0 && stack.size() >= 2) {
            TypeRef r = std::move(stack.back());
            stack.pop_back();
            TypeRef l = std::move(stack.back());
            stack.back() = Type::application(std::move(l), std::move(r));
        } else {
            stack.push_back(Type::variable(kNames[(b >> 2) % 8]));
        }
    }
    if (stack.empty()) return Type::variable("A");
    TypeRef t = std::move(stack.back());
    stack.pop_back();
    while (!stack.empty()) {
        t = Type::application(std::move(stack.back()), std::move(t));
        stack.pop_back();
    }
    return t;
}

void check(bool ok) {
    if (!ok) std::abort();
}

bool same(const Captures& a, const Captures& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a.entries()[i].first != b.entries()[i].first) return false;
        if (!a.entries()[i].second.same(b.entries()[i].second)) return false;
    }
    return true;
}

void check_one(const TypeSchema& schema, const TypeRef& type) {
    Captures ref;
    bool expect = reference::reference_matches(schema.pattern(), type, ref);
    check(schema.matches_type(*type) == expect);
    Captures got;
    got.insert("stale", type);
    check(schema.capture(type, got) == expect);
    check(expect ? same(got, ref) : got.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t type_len = data[size - 1] % 64;
    if (type_len > size - 1) type_len = size - 1;
    std::size_t pattern_len = size - 1 - type_len;
    std::string pattern(reinterpret_cast<const char*>(data), pattern_len);
    TypeRef type = build_type(data + pattern_len, type_len);

    TypeSchema schema(pattern);
    check(schema.pattern() == pattern);

    // The whole type and the sub-types along its left and right spines.
    check_one(schema, type);
    const TypeRef* l = &type;
    const TypeRef* r = &type;
    for (int k = 0; k < 4; ++k) {
        if ((*l)->is_application()) {
            l = &(*l)->left();
            check_one(schema, *l);
        }
        if ((*r)->is_application()) {
            r = &(*r)->right();
            check_one(schema, *r);
        }
    }

    // Surrounding white space never changes the meaning.
    TypeSchema padded(" \t" + pattern + "\xE3\x80\x80");
    check(padded.matches_type(*type) == schema.matches_type(*type));
    return 0;
}
