#include "query/condition.hpp"

#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "patterns/path_parser.hpp"
#include "query/condition_parser.hpp"

namespace quorvel::cond {

namespace {

using text::Kw;
using text::Tok;
using text::Token;

// `word` equals the lower-case ASCII `name` in any letter case.
bool same_name(std::string_view word, std::string_view name) noexcept {
    if (word.size() != name.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if ((word[i] >= 'A' && word[i] <= 'Z' ? word[i] | 0x20 : word[i]) != name[i]) return false;
    return true;
}

template <class T, std::size_t N>
std::optional<T> lookup(const std::pair<std::string_view, T> (&table)[N], std::string_view word) noexcept {
    for (const auto& [name, value] : table)
        if (same_name(word, name)) return value;
    return std::nullopt;
}

constexpr std::pair<std::string_view, Function> kFunctions[] = {
    {"term", Function::Term},        {"type", Function::Type},   {"uid", Function::Uid},
    {"size", Function::Size},        {"lower", Function::Lower}, {"upper", Function::Upper},
    {"coalesce", Function::Coalesce}};

constexpr std::pair<std::string_view, Aggregate> kAggregates[] = {
    {"count", Aggregate::Count}, {"collect", Aggregate::Collect}, {"sum", Aggregate::Sum},
    {"min", Aggregate::Min},     {"max", Aggregate::Max},         {"avg", Aggregate::Avg}};

}  // namespace

std::optional<Function> function_named(std::string_view name) noexcept {
    return lookup(kFunctions, name);
}

std::optional<Aggregate> aggregate_named(std::string_view name) noexcept {
    return lookup(kAggregates, name);
}

bool Parser::parse_or(Expr& out, std::string_view after) {
    if (!parse_and(out, after)) return false;
    if (!at_keyword(Kw::Or)) return true;
    Expr any;
    any.kind = Expr::Kind::Or;
    any.children.push_back(std::move(out));
    while (at_keyword(Kw::Or)) {
        advance();
        if (!parse_and(any.children.emplace_back(), "OR")) return false;
    }
    out = std::move(any);
    return true;
}

bool Parser::parse_and(Expr& out, std::string_view after) {
    if (!parse_not(out, after)) return false;
    if (!at_keyword(Kw::And)) return true;
    Expr all;
    all.kind = Expr::Kind::And;
    all.children.push_back(std::move(out));
    while (at_keyword(Kw::And)) {
        advance();
        if (!parse_not(all.children.emplace_back(), "AND")) return false;
    }
    out = std::move(all);
    return true;
}

bool Parser::parse_not(Expr& out, std::string_view after) {
    if (!at_keyword(Kw::Not)) return parse_test(out, after);
    if (!enter(peek().position)) return false;
    advance();
    out.kind = Expr::Kind::Not;
    if (!parse_not(out.children.emplace_back(), "NOT")) return false;
    leave();
    return true;
}

bool Parser::parse_test(Expr& out, std::string_view after) {
    const Token& first = peek();
    if (first.kind == Tok::End)
        return fail(first.position, "expected a condition after " + std::string(after));
    if (first.kind == Tok::Punct && first.source == "(") {
        const std::size_t open = first.position;
        if (!enter(open)) return false;
        advance();
        if (!parse_or(out, "'('")) return false;
        if (!at_punct(")")) {
            if (peek().kind == Tok::End) return fail(open, "expected ')' to close '('");
            return fail_unexpected(peek());
        }
        advance();
        leave();
        return true;
    }
    if (!starts_operand()) return fail_unexpected(first);
    if (!parse_operand(out.lhs)) return false;

    const Token& t = peek();
    if (t.kind == Tok::Punct) {
        static constexpr std::pair<std::string_view, Cmp> cmps[] = {
            {"=", Cmp::Eq},  {"<>", Cmp::Ne}, {"!=", Cmp::Ne}, {"<", Cmp::Lt},
            {"<=", Cmp::Le}, {">", Cmp::Gt},  {">=", Cmp::Ge}};
        for (const auto& [symbol, cmp] : cmps) {
            if (t.source != symbol) continue;
            advance();
            if (!starts_operand())
                return fail(peek().position, "expected a value after '" + std::string(symbol) + "'");
            out.kind = Expr::Kind::Compare;
            out.cmp = cmp;
            return parse_operand(out.rhs);
        }
        if (t.source == ":") {
            if (out.lhs.kind != Operand::Kind::Variable)
                return fail(t.position, "a type test needs a variable before ':'");
            advance();
            return parse_type_test(out);
        }
        out.kind = Expr::Kind::Truth;
        return true;
    }
    if (t.kind != Tok::Keyword) {
        out.kind = Expr::Kind::Truth;
        return true;
    }

    // Keyword continuations: `rhs_after` names what a right-hand value follows.
    std::string_view rhs_after;
    switch (t.kw) {
        case Kw::Is:
            advance();
            out.kind = Expr::Kind::IsNull;
            if (at_keyword(Kw::Not)) {
                advance();
                out.negated = true;
            }
            if (!at_keyword(Kw::Null))
                return fail(peek().position,
                            out.negated ? "expected NULL after IS NOT" : "expected NULL after IS");
            advance();
            return true;
        case Kw::Not:
            advance();
            if (!at_keyword(Kw::In)) return fail(peek().position, "expected IN after NOT");
            out.negated = true;
            [[fallthrough]];
        case Kw::In:
            advance();
            out.kind = Expr::Kind::In;
            if (!at_punct("[") && peek().kind != Tok::Parameter)
                return fail(peek().position,
                            out.negated ? "expected a list after NOT IN" : "expected a list after IN");
            return parse_literal(out.list);
        case Kw::Starts:
        case Kw::Ends: {
            const bool starts = t.kw == Kw::Starts;
            advance();
            if (!at_keyword(Kw::With))
                return fail(peek().position,
                            starts ? "expected WITH after STARTS" : "expected WITH after ENDS");
            advance();
            out.kind = starts ? Expr::Kind::StartsWith : Expr::Kind::EndsWith;
            rhs_after = starts ? "STARTS WITH" : "ENDS WITH";
            break;
        }
        case Kw::Contains:
            advance();
            out.kind = Expr::Kind::Contains;
            rhs_after = "CONTAINS";
            break;
        default:
            out.kind = Expr::Kind::Truth;
            return true;
    }
    if (!starts_operand()) return fail(peek().position, "expected a value after " + std::string(rhs_after));
    return parse_operand(out.rhs);
}

bool Parser::parse_operand(Operand& out) {
    const Token& t = peek();
    out.position = t.position;
    if (t.kind == Tok::Parameter) {
        out.kind = Operand::Kind::Parameter;
        out.name = t.source.substr(1);
        advance();
        return true;
    }
    if (t.kind != Tok::Word) {
        out.kind = Operand::Kind::Literal;
        return parse_literal(out.literal);
    }
    const std::string_view word = t.source;
    advance();
    if (at_punct("(")) return parse_call(out, word);
    out.kind = Operand::Kind::Variable;
    out.variable = word;
    if (!at_punct(".")) return true;
    advance();
    const Token& key = peek();
    if (key.kind != Tok::Word && key.kind != Tok::Keyword)
        return fail(key.position, "expected a key after '.'");
    out.kind = Operand::Kind::Property;
    out.key = key.source;
    advance();
    return true;
}

bool Parser::parse_arguments(std::vector<Operand>& args, std::size_t open, std::string_view called) {
    while (!at_punct(")")) {
        if (peek().kind == Tok::End) return fail(open, "expected ')' to close '('");
        if (!args.empty()) {
            if (!at_punct(","))
                return fail(peek().position,
                            "expected ',' or ')' after an argument of " + std::string(called));
            advance();
        }
        if (!starts_operand()) {
            if (peek().kind == Tok::End) return fail(open, "expected ')' to close '('");
            return fail(peek().position, "expected a value as an argument of " + std::string(called));
        }
        if (!parse_operand(args.emplace_back())) return false;
    }
    advance();
    return true;
}

bool Parser::parse_call(Operand& out, std::string_view name) {
    const std::size_t at = out.position;
    const std::string called = std::string(name) + "()";
    if (aggregate_named(name)) return fail(at, "aggregate " + called + " " + std::string(aggregate_refusal_));
    const std::optional<Function> function = function_named(name);
    if (!function) return fail(at, "unknown function '" + text::quoted_prefix(name) + "'");
    if (!enter(at)) return false;
    out.kind = Operand::Kind::Function;
    out.function = *function;
    out.name = name;
    const std::size_t open = peek().position;
    advance();
    if (!parse_arguments(out.args, open, called)) return false;
    leave();
    const std::size_t given = out.args.size();
    const bool variadic = *function == Function::Coalesce;
    if (variadic ? given == 0 : given != 1)
        return fail(at, called + (variadic ? " takes at least 1 argument (" : " takes exactly 1 argument (") +
                            std::to_string(given) + " given)");
    return true;
}

// The type is read raw, straight after ':', as a node pattern's type part
// reads: names with dots and bracket groups (`dict[str, int]`), parenthesised
// groups and arrows between parts (`(A -> B) -> C`), or a `$...$` schema.
// It ends at white space outside any group that no `->` follows, at a `)`
// that closes a group of the condition, or at the end.
bool Parser::parse_type_test(Expr& out) {
    skip_space();
    out.kind = Expr::Kind::TypeTest;
    out.variable = std::move(out.lhs.variable);
    out.lhs = Operand{};
    if (at_end()) return fail(cp_, "expected a type after ':'");
    const std::size_t start = pos_;
    if (text_[pos_] == '$') {
        const std::size_t close = text_.find('$', pos_ + 1);
        if (close == std::string_view::npos) return fail(cp_, "unterminated type schema starting");
        while (pos_ <= close) step(text::decode(text_, pos_).len);
        out.schema = text_.substr(start, pos_ - start);
        return true;
    }
    struct Open {
        char closer;
        std::size_t position;
    };
    std::vector<Open> groups;
    auto at_arrow = [&] { return text_.substr(pos_, 2) == "->"; };
    while (!at_end()) {
        const char c = text_[pos_];
        if (groups.empty()) {
            if (c == ')') break;
            if (text::is_white_space(current())) {
                const std::size_t byte = pos_, point = cp_;
                skip_space();
                if (!at_arrow()) {
                    pos_ = byte, cp_ = point;
                    break;
                }
            }
            if (at_arrow()) {
                step(1), step(1);
                skip_space();
                continue;
            }
        }
        if (c == '(' || c == '[') {
            groups.push_back({c == '(' ? ')' : ']', cp_});
        } else if (!groups.empty() && c == groups.back().closer) {
            groups.pop_back();
        }
        step(text::decode(text_, pos_).len);
    }
    if (!groups.empty()) {
        const Open& open = groups.back();
        return fail(open.position,
                    open.closer == ')' ? "expected ')' to close '('" : "expected ']' to close '['");
    }
    const std::string_view type = text::trim(text_.substr(start, pos_ - start));
    if (type.empty()) return fail(cp_, "expected a type after ':'");
    out.schema = type_part_schema(type);
    return true;
}

std::variant<Expr, ParseError> parse_condition(std::string_view text) {
    if (text::trim(text).empty()) return ParseError{"empty condition", 0};
    Parser parser(text);
    Expr condition;
    if (parser.parse_or(condition, "the start") && parser.peek().kind != Tok::End)
        parser.fail_unexpected(parser.peek());
    if (parser.error()) return std::move(*parser.error());
    return condition;
}

std::vector<std::string> variables_of(const Expr& condition) {
    std::vector<std::string> names;
    std::unordered_set<std::string_view> seen;
    auto add = [&](const std::string& name) {
        if (seen.insert(name).second) names.push_back(name);
    };
    std::vector<const Operand*> pending;
    auto add_operand = [&](const Operand& top) {
        pending.push_back(&top);
        while (!pending.empty()) {
            const Operand& o = *pending.back();
            pending.pop_back();
            if (o.kind == Operand::Kind::Property || o.kind == Operand::Kind::Variable) add(o.variable);
            for (auto it = o.args.rbegin(); it != o.args.rend(); ++it) pending.push_back(&*it);
        }
    };
    std::vector<const Expr*> stack{&condition};
    while (!stack.empty()) {
        const Expr* e = stack.back();
        stack.pop_back();
        switch (e->kind) {
            case Expr::Kind::Or:
            case Expr::Kind::And:
            case Expr::Kind::Not:
                for (auto it = e->children.rbegin(); it != e->children.rend(); ++it) stack.push_back(&*it);
                break;
            case Expr::Kind::TypeTest:
                add(e->variable);
                break;
            case Expr::Kind::Compare:
            case Expr::Kind::StartsWith:
            case Expr::Kind::EndsWith:
            case Expr::Kind::Contains:
                add_operand(e->lhs);
                add_operand(e->rhs);
                break;
            case Expr::Kind::IsNull:
            case Expr::Kind::In:
            case Expr::Kind::Truth:
                add_operand(e->lhs);
                break;
        }
    }
    return names;
}

}  // namespace quorvel::cond
