// Arbitrary bytes into the path parser: it must never crash, and every answer
// must be either a well-formed path or an InvalidPattern with a known reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>

#include "patterns/path_parser.hpp"

namespace {

bool known_reason(std::string_view r) {
    static constexpr std::string_view fixed[] = {
        "Pattern cannot be empty",
        "Unmatched parentheses in pattern",
        "Unmatched brackets in pattern",
        "Pattern cannot end with an edge",
        "Node pattern must be enclosed in parentheses",
        "Cannot have both <- and -> in same edge",
        "Edge pattern must contain brackets",
        "Edge pattern must contain closing bracket",
        "Brackets are mismatched",
        "Pattern must contain at least one node",
        "Invalid pattern: too many edges for the number of nodes",
        "Property map must come last in a node or edge pattern",
        "A node or edge pattern holds at most one property map",
        "Unterminated property map",
        "Expected '{' to open property map",
    };
    for (std::string_view f : fixed)
        if (r == f) return true;
    if (r.starts_with("Invalid quantifier '")) return true;
    // The map parser's own reasons, capitalized.
    if (r.ends_with(" in property map") && r[0] >= 'A' && r[0] <= 'Z') return true;
    constexpr std::string_view head = "Unexpected character '";
    constexpr std::string_view tail = "' outside of node or edge pattern";
    // One character: a whole UTF-8 sequence or a single invalid byte.
    return r.size() > head.size() + tail.size() && r.size() <= head.size() + tail.size() + 4 &&
           r.starts_with(head) && r.ends_with(tail);
}

// Counts what it is handed and stops after `limit` parts.
class Counter final : public quorvel::PathBuilder {
public:
    explicit Counter(std::size_t limit) : limit_(limit) {}
    bool node(quorvel::PartsRead& parts) override { return take(parts, nodes); }
    bool edge(quorvel::PartsRead& parts) override { return take(parts, edges); }
    std::size_t nodes = 0, edges = 0;
    bool stopped = false;

private:
    bool take(const quorvel::PartsRead& parts, std::size_t& count) {
        if (stopped) std::abort();  // nothing after a refusal
        if (parts.hops && parts.hops->min > parts.hops->max) std::abort();
        ++count;
        stopped = nodes + edges >= limit_;
        return !stopped;
    }
    std::size_t limit_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    quorvel::ParseResult result = quorvel::parse_path(input);

    // The builder form agrees: the same counts when let run, and a stop ends
    // the parse with no error of its own.
    Counter all(SIZE_MAX), some(size % 7);
    const bool failed = std::holds_alternative<quorvel::QuorvelError>(result);
    if (quorvel::parse_path(input, all).has_value() != failed) std::abort();
    if (auto* path = std::get_if<quorvel::ParsedPath>(&result))
        if (all.nodes != path->nodes.size() || all.edges != path->edges.size()) std::abort();
    if (quorvel::parse_path(input, some).has_value() && some.stopped) std::abort();

    if (auto* path = std::get_if<quorvel::ParsedPath>(&result)) {
        if (path->nodes.empty() || path->edges.size() >= path->nodes.size()) std::abort();
        for (const auto& e : path->edges) {
            quorvel::direction_name(e.direction);
            if (e.hops && e.hops->min > e.hops->max) std::abort();
        }
    } else {
        const auto& error = std::get<quorvel::QuorvelError>(result);
        if (error.kind != quorvel::QuorvelError::Kind::InvalidPattern) std::abort();
        if (!known_reason(error.second)) std::abort();
        // Only the empty input names the empty pattern.
        if ((error.second == "Pattern cannot be empty") != error.first.empty()) std::abort();
        if (error.first.size() > size) std::abort();
    }
    return 0;
}
