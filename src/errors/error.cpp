#include "errors/error.hpp"

namespace quorvel {

namespace {
void add_context(std::string& out, const std::optional<std::string>& context, bool with_in) {
    if (!context) return;
    out += with_in ? " (in " : " (";
    out += *context;
    out += ')';
}
}  // namespace

std::string QuorvelError::display() const {
    std::string out;
    switch (kind) {
        case Kind::TypeMismatch:
            out = "Type mismatch: expected " + first + ", got " + second;
            add_context(out, context, true);
            break;
        case Kind::NodeNotFound:
            out = "Node not found: " + first;
            add_context(out, context, false);
            break;
        case Kind::EdgeNotFound:
            out = "Edge not found: " + first;
            add_context(out, context, false);
            break;
        case Kind::InvalidPattern:
            out = "Invalid pattern '" + first + "': " + second;
            break;
        case Kind::InvalidQuery:
            out = "Invalid query: " + first;
            add_context(out, context, false);
            break;
        case Kind::InvalidIdentifier:
            out = "Invalid identifier '" + first + "': " + second;
            break;
        case Kind::PropertyError:
            out = "Property error for '" + first + "': " + second;
            break;
        case Kind::VariableNotFound:
            out = "Variable '" + first + "' not found";
            add_context(out, context, false);
            break;
        case Kind::SchemaValidationFailed:
            out = "Schema validation failed for '" + first + "': " + second;
            break;
    }
    return out;
}

QuorvelError::PyKind QuorvelError::python_kind() const {
    switch (kind) {
        case Kind::TypeMismatch: return PyKind::TypeError;
        case Kind::NodeNotFound:
        case Kind::EdgeNotFound: return PyKind::KeyError;
        case Kind::PropertyError: return PyKind::AttributeError;
        case Kind::VariableNotFound: return PyKind::NameError;
        case Kind::InvalidPattern:
        case Kind::InvalidQuery:
        case Kind::InvalidIdentifier:
        case Kind::SchemaValidationFailed: return PyKind::ValueError;
    }
    return PyKind::ValueError;
}

}  // namespace quorvel
