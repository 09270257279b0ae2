// The condition grammar as a class: where-conditions (query/condition.cpp)
// and result columns (query/column.cpp) share its operands, function calls
// and messages. Internal to those two; everyone else uses their headers.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "query/column.hpp"
#include "query/condition.hpp"
#include "text/literal_scanner.hpp"

namespace quorvel::cond {

// Function and aggregate names, in any letter case.
std::optional<Function> function_named(std::string_view name) noexcept;
std::optional<Aggregate> aggregate_named(std::string_view name) noexcept;

class Parser : public text::Scanner {
public:
    explicit Parser(std::string_view text) : Scanner(text, text::ScanMode::Condition) {}

    // `after` names what came before, for "expected a condition after ..."
    // at the end of the text.
    bool parse_or(Expr& out, std::string_view after);
    bool parse_and(Expr& out, std::string_view after);
    bool parse_not(Expr& out, std::string_view after);
    bool parse_test(Expr& out, std::string_view after);

    // A literal (parameters included), a variable, a property or a call.
    bool parse_operand(Operand& out);
    bool starts_operand() { return peek().kind == text::Tok::Word || starts_literal(); }

protected:
    // The arguments of the call `name(...)`; the next token is the '('.
    bool parse_call(Operand& out, std::string_view name);
    // Comma-separated operands up to and including the ')' that closes the
    // '(' at code point `open`; `called` is how messages name the call.
    bool parse_arguments(std::vector<Operand>& args, std::size_t open, std::string_view called);
    bool parse_type_test(Expr& out);

    // How an aggregate met among the operands is refused.
    std::string_view aggregate_refusal_ = "is not allowed in a condition";
};

}  // namespace quorvel::cond
