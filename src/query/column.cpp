#include "query/column.hpp"

#include <utility>

#include "query/condition_parser.hpp"
#include "text/utf8.hpp"

namespace quorvel::cond {

namespace {

using text::Tok;

bool is_word(std::string_view word, std::string_view upper) noexcept {
    if (word.size() != upper.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if ((word[i] & ~0x20) != upper[i]) return false;
    return true;
}

// Whether `text` holds the word AS, in any letter case, with white space on
// both sides.
bool has_as_word(std::string_view text) {
    for (std::size_t i = 1; i + 2 < text.size(); ++i) {
        if ((text[i] | 0x20) != 'a' || (text[i + 1] | 0x20) != 's') continue;
        if (text::is_white_space(text::decode_before(text, i).cp) &&
            text::is_white_space(text::decode(text, i + 2).cp))
            return true;
    }
    return false;
}

class ColumnParser : public Parser {
public:
    explicit ColumnParser(std::string_view text) : Parser(text) { aggregate_refusal_ = "cannot be nested"; }

    bool parse(Column& out);

private:
    bool parse_aggregate(Column& out, Aggregate aggregate, std::string_view name);
    // Whether the next character after white space is `c`; moves nothing.
    bool raw_next_is(char c) const;
};

bool ColumnParser::raw_next_is(char c) const {
    std::size_t i = pos_;
    while (i < text_.size()) {
        const text::Decoded d = text::decode(text_, i);
        if (!text::is_white_space(d.cp)) break;
        i += d.len;
    }
    return i < text_.size() && text_[i] == c;
}

bool ColumnParser::parse(Column& out) {
    const text::Token& first = peek();
    if (first.kind == Tok::Word && raw_next_is('(')) {
        if (std::optional<Aggregate> aggregate = aggregate_named(first.source)) {
            if (!parse_aggregate(out, *aggregate, first.source)) return false;
        } else if (!parse_operand(out.operand)) {
            return false;
        }
    } else {
        if (first.kind == Tok::End) return fail(first.position, "expected a column");
        if (!starts_operand()) return fail_unexpected(first);
        if (!parse_operand(out.operand)) return false;
    }

    const text::Token& next = peek();
    if (next.kind == Tok::Word && is_word(next.source, "AS")) {
        advance();
        text::Token& alias = peek();
        if (alias.kind == Tok::String)
            out.alias = std::move(alias.value);
        else if (alias.kind == Tok::Word || alias.kind == Tok::Keyword)
            out.alias.emplace(alias.source);
        else
            return fail(alias.position, "expected a name after AS");
        advance();
    }
    if (peek().kind != Tok::End) return fail_unexpected(peek());
    return true;
}

// `name(*)`, `name(DISTINCT x)` or `name(x)`, x an operand with no aggregate.
bool ColumnParser::parse_aggregate(Column& out, Aggregate aggregate, std::string_view name) {
    const std::size_t at = peek().position;
    const std::string called = std::string(name) + "()";
    out.aggregate = aggregate;
    out.operand.position = at;
    advance();
    const std::size_t open = peek().position;
    advance();
    skip_space();
    if (!at_end() && text_[pos_] == '*') {
        if (aggregate != Aggregate::Count) return fail(cp_, "'*' stands only in count(*)");
        out.star = true;
        step(1);
        if (!at_punct(")")) {
            if (peek().kind == Tok::End) return fail(open, "expected ')' to close '('");
            return fail(peek().position, "expected ')' after '*'");
        }
        advance();
        return true;
    }
    if (peek().kind == Tok::Word && is_word(peek().source, "DISTINCT") && !raw_next_is(')') &&
        !raw_next_is(',')) {
        out.distinct = true;
        advance();
        skip_space();
        if (!at_end() && text_[pos_] == '*') return fail(cp_, "'*' stands only in count(*)");
    }
    std::vector<Operand> args;
    if (!parse_arguments(args, open, called)) return false;
    if (args.size() != 1)
        return fail(at, called + " takes exactly 1 argument (" + std::to_string(args.size()) + " given)");
    out.operand = std::move(args[0]);
    return true;
}

}  // namespace

std::variant<Column, ParseError> parse_column(std::string_view text) {
    Column column;
    column.text = text;
    if (text.find('(') == std::string_view::npos && !has_as_word(text)) {
        column.legacy = true;
        return column;
    }
    ColumnParser parser(text);
    if (!parser.parse(column)) return std::move(*parser.error());
    return column;
}

}  // namespace quorvel::cond
