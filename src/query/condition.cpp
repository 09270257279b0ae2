#include "query/condition.hpp"

#include <string>
#include <unordered_set>
#include <utility>

#include "text/literal_scanner.hpp"

namespace quorvel::cond {

namespace {

using text::Kw;
using text::Tok;
using text::Token;

// The condition grammar over the shared tokenizer.
class Parser : public text::Scanner {
public:
    explicit Parser(std::string_view text) : Scanner(text, text::ScanMode::Condition) {}

    // `after` names what came before, for "expected a condition after ..."
    // at the end of the text.
    bool parse_or(Expr& out, std::string_view after);
    bool parse_and(Expr& out, std::string_view after);
    bool parse_not(Expr& out, std::string_view after);
    bool parse_test(Expr& out, std::string_view after);
    bool parse_operand(Operand& out);
    bool parse_type_test(Expr& out);

    // Literals include parameters.
    bool starts_operand() { return peek().kind == Tok::Word || starts_literal(); }
};

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
    out.kind = Operand::Kind::Variable;
    out.variable = t.source;
    advance();
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

// The schema is read raw, straight after ':': its grammar is the schema
// compiler's, not ours.
bool Parser::parse_type_test(Expr& out) {
    skip_space();
    out.kind = Expr::Kind::TypeTest;
    out.variable = std::move(out.lhs.variable);
    out.lhs = Operand{};
    if (at_end()) return fail(cp_, "expected a type after ':'");
    if (text_[pos_] == '$') {
        const std::size_t close = text_.find('$', pos_ + 1);
        if (close == std::string_view::npos) return fail(cp_, "unterminated type schema starting");
        out.schema = text_.substr(pos_, close + 1 - pos_);
        while (pos_ <= close) step(text::decode(text_, pos_).len);
        return true;
    }
    const std::size_t start = pos_;
    while (!at_end()) {
        text::Decoded d = text::decode(text_, pos_);
        if (pos_ == start ? !text::is_ident_start(d.cp) : !text::is_ident_continue(d.cp)) break;
        step(d.len);
    }
    if (pos_ == start) return fail(cp_, "expected a type after ':'");
    out.schema.reserve(pos_ - start + 2);
    out.schema += '$';
    out.schema += text_.substr(start, pos_ - start);
    out.schema += '$';
    return true;
}

}  // namespace

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
    auto add_operand = [&](const Operand& o) {
        if (o.kind == Operand::Kind::Property || o.kind == Operand::Kind::Variable) add(o.variable);
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
