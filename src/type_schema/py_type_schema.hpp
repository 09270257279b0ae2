// The Python class TypeSchema and the schema value the patterns carry.
#pragma once

#include <memory>
#include <string>

#include "binding/ref.hpp"
#include "type_schema/schema.hpp"

namespace quorvel {

// A compiled schema shared between copies: a schema never changes after it
// is built, so copying a pattern that holds one costs a reference count, not
// a recompilation.
struct TypeSchemaValue {
    std::shared_ptr<const TypeSchema> schema;  // never null

    // Compiles `pattern`; throws std::bad_alloc.
    explicit TypeSchemaValue(std::string pattern)
        : schema(std::make_shared<const TypeSchema>(std::move(pattern))) {}

    const std::string& pattern() const noexcept { return schema->pattern(); }
    bool matches_type(const Type& type) const { return schema->matches_type(type); }
    const TypeRef& concrete_type() const { return schema->concrete(); }
};

PyTypeObject* type_schema_type();

// The value inside a TypeSchema object, or null when `obj` is not one (no
// exception set). Borrowed: copy it before running Python code.
const TypeSchemaValue* as_type_schema(PyObject* obj) noexcept;

}  // namespace quorvel
