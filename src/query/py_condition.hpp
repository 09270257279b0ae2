// Conditions and column expressions: parsed once per text, evaluated for
// each row of the bindings when the queue runs.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binding/ref.hpp"
#include "query/bound.hpp"
#include "query/condition.hpp"
#include "text/py_literal.hpp"
#include "type_schema/py_type_schema.hpp"

namespace quorvel {

struct QueryValue;
class MatchProducer;

// Immutable once built and free of Python objects, so operations share it.
struct CompiledCondition {
    cond::Expr expr;
    std::vector<std::string> variables;
    std::unordered_map<std::string, TypeSchemaValue> schemas;  // by schema text
    std::vector<std::string> parameters;                       // the $names it uses
};

// Parses `text`; a malformed condition raises ValueError
// "Invalid query: <what> at position N (where)". Returns null then.
std::shared_ptr<const CompiledCondition> compile_condition(std::string_view text);

// Where a row's values come from: the bindings, and -- while a match is
// still finding rows -- that match's rows for the variables it binds.
class RowSource {
public:
    explicit RowSource(const Table& t, const MatchProducer* match = nullptr,
                       std::vector<std::string> match_vars = {})
        : table_(t), match_(match), match_vars_(std::move(match_vars)) {}
    const Bound* value(const std::string& name, std::size_t row) const;
    bool has(const std::string& name) const;

private:
    const Table& table_;
    const MatchProducer* match_;
    std::vector<std::string> match_vars_;
};

// Three-valued truth, or an error; Blocked: the evaluator was told to run no
// Python code and would have had to.
enum class Tri { False, True, Null, Error, Blocked };

// An operand's value in one row: null, a Python object, or a graph element.
struct Value {
    enum Kind { Null, Object, Element } kind = Null;
    py::Ref object;
    const Bound* element = nullptr;  // an Element; or, for an Object, the list of edges it was made from
};

class Evaluator {
public:
    // `parameters`: the query's parameter values (a dict, or null for none).
    // With `plain_only`, evaluation runs no Python code: where it would, it
    // stops and blocked() says so.
    Evaluator(const RowSource& rows, PyObject* parameters, bool plain_only = false)
        : rows_(rows), parameters_(parameters), plain_only_(plain_only) {}

    Tri test(const cond::Expr& e, const CompiledCondition& c, std::size_t row);
    // False on an error (or when blocked).
    bool operand(const cond::Operand& o, std::size_t row, Value& out);
    // An element becomes a new Node or Edge object.
    bool as_object(Value& v);
    bool blocked() const noexcept { return blocked_; }

private:
    Tri compare(const cond::Expr& e, std::size_t row);
    Tri in_list(const cond::Expr& e, std::size_t row);
    Tri string_test(const cond::Expr& e, std::size_t row);
    bool call(const cond::Operand& o, std::size_t row, Value& out);
    bool parameter(const std::string& name, py::Ref& out);
    bool block();
    py::Ref key_object(const std::string& key);
    py::Ref literal(const cond::Literal& l);

    const RowSource& rows_;
    PyObject* parameters_;
    bool plain_only_;
    bool blocked_ = false;
    std::unordered_map<const std::string*, py::Ref> keys_;
    std::unordered_map<const cond::Literal*, py::Ref> literals_;
};

// Keeps the rows for which the condition is true. A variable the condition
// names that is not bound raises NameError "Variable 'x' not found (where)".
bool filter_rows(QueryValue& q, const CompiledCondition& c);

}  // namespace quorvel
