// The system's one error value. Core code returns these; the binding layer
// turns them into Python exceptions in exactly one place (errors/to_python).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quorvel {

struct QuorvelError {
    enum class Kind {
        TypeMismatch,
        NodeNotFound,
        EdgeNotFound,
        InvalidPattern,
        InvalidQuery,
        InvalidIdentifier,
        PropertyError,
        VariableNotFound,
        SchemaValidationFailed,
    };

    // Python exception class each kind maps to.
    enum class PyKind { TypeError, KeyError, ValueError, AttributeError, NameError };

    Kind kind;
    std::string first;                   // expected / uid / pattern / message / name / key / schema
    std::string second;                  // got / reason / message (kinds with two texts)
    std::optional<std::string> context;  // kinds with an optional context

    static QuorvelError type_mismatch(std::string expected, std::string got,
                                      std::optional<std::string> context = std::nullopt) {
        return {Kind::TypeMismatch, std::move(expected), std::move(got), std::move(context)};
    }
    static QuorvelError node_not_found(std::string uid, std::optional<std::string> context = std::nullopt) {
        return {Kind::NodeNotFound, std::move(uid), {}, std::move(context)};
    }
    static QuorvelError edge_not_found(std::string uid, std::optional<std::string> context = std::nullopt) {
        return {Kind::EdgeNotFound, std::move(uid), {}, std::move(context)};
    }
    static QuorvelError invalid_query(std::string message, std::optional<std::string> context = std::nullopt) {
        return {Kind::InvalidQuery, std::move(message), {}, std::move(context)};
    }
    static QuorvelError invalid_identifier(std::string name, std::string reason) {
        return {Kind::InvalidIdentifier, std::move(name), std::move(reason), std::nullopt};
    }
    static QuorvelError property_error(std::string key, std::string message) {
        return {Kind::PropertyError, std::move(key), std::move(message), std::nullopt};
    }
    static QuorvelError variable_not_found(std::string name, std::optional<std::string> context = std::nullopt) {
        return {Kind::VariableNotFound, std::move(name), {}, std::move(context)};
    }
    static QuorvelError schema_validation_failed(std::string schema, std::string reason) {
        return {Kind::SchemaValidationFailed, std::move(schema), std::move(reason), std::nullopt};
    }

    std::string display() const;
    PyKind python_kind() const;
};

// Reason passed as a borrowed text (copied) ...
inline QuorvelError invalid_pattern(std::string_view pattern, const char* reason) {
    return {QuorvelError::Kind::InvalidPattern, std::string(pattern), std::string(reason), std::nullopt};
}
// ... or as an owned text formatted at run time (moved).
inline QuorvelError invalid_pattern(std::string_view pattern, std::string&& reason) {
    return {QuorvelError::Kind::InvalidPattern, std::string(pattern), std::move(reason), std::nullopt};
}

}  // namespace quorvel
