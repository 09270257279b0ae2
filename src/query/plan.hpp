// Decisions about a query run that depend only on the queue: how an edge
// pattern reads its direction, and how much of a match the rest of the
// queue can see.
//
// Pure C++ (no Python headers): unit tested in tests/cpp.
//
// A match binds whole lists, aligned by position with every other binding,
// and later operations select rows by position. So a match followed only by
// operations that keep leading rows (limit, skip, with_, other matches,
// writes that read nothing of it) needs to find only as many rows as those
// operations can keep; and when the run ends in a count and nothing ever
// reads the match's values, it needs only to count them.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::plan {

enum class Reading { Forward, Backward, Any };

// "backward" and "any" read so; every other direction text reads forward.
Reading reading_of(std::string_view direction) noexcept;

constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();

// What one queued operation does with variables, as far as the demand on an
// earlier match is concerned.
struct Effects {
    enum class Kind {
        Match,    // binds its variables (replacing), reads none
        Filter,   // where: keeps some rows
        Reorder,  // order_by: moves rows
        Write,    // create, merge, set, delete
        Keep,     // with_: keeps some variables, rows unchanged
        Limit,
        Skip,
    };
    Kind kind = Kind::Match;
    std::vector<std::string> binds;    // replaced wholesale
    std::vector<std::string> reads;    // every value read
    std::vector<std::string> firsts;   // only the first value read
    std::vector<std::string> appends;  // appended to (depends on the list's length)
    std::vector<std::string> keeps;    // with_: named, values not read
    bool replaces = false;             // with_ of expressions: the bindings after are its columns only
    std::uint64_t count = 0;           // limit, skip
};

// How the result of a run is asked for.
enum class Result { Rows, Count };

struct Demand {
    std::uint64_t rows = kAll;  // leading rows of the match that can matter
    bool count_only = false;    // only how many rows it has can matter
    // Variables of the match whose values nothing reads before a later
    // operation drops or replaces them: only their number of rows matters.
    std::vector<std::string> unread;
};

// The demand on the match at `ops[index]` (whose `binds` are its variables)
// from everything else in the queue and the result.
Demand demand(const std::vector<const Effects*>& ops, std::size_t index, Result result);
Demand demand(const std::vector<Effects>& ops, std::size_t index, Result result);

}  // namespace quorvel::plan
