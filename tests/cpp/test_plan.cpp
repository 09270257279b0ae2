// How much of a match the rest of a queue can see.
#include <gtest/gtest.h>

#include "query/plan.hpp"

using namespace quorvel::plan;

namespace {

Effects match(std::vector<std::string> binds) {
    Effects e;
    e.binds = std::move(binds);
    return e;
}
Effects op(Effects::Kind kind, std::uint64_t count = 0) {
    Effects e;
    e.kind = kind;
    e.count = count;
    return e;
}
Effects write(std::vector<std::string> reads, std::vector<std::string> firsts = {},
              std::vector<std::string> appends = {}) {
    Effects e;
    e.kind = Effects::Kind::Write;
    e.reads = std::move(reads);
    e.firsts = std::move(firsts);
    e.appends = std::move(appends);
    return e;
}

struct Case {
    const char* what;
    std::vector<Effects> ops;  // ops[0] is the match asked about
    Result result;
    std::uint64_t rows;
    bool count_only;
};

}  // namespace

TEST(Demand, FollowsWhatTheRestOfTheQueueKeeps) {
    using K = Effects::Kind;
    const std::vector<Case> cases = {
        {"nothing after", {match({"n"})}, Result::Rows, kAll, false},
        {"a limit keeps its count", {match({"n"}), op(K::Limit, 3)}, Result::Rows, 3, false},
        {"a skip needs more", {match({"n"}), op(K::Skip, 2), op(K::Limit, 3)}, Result::Rows, 5, false},
        {"the smaller of two limits",
         {match({"n"}), op(K::Limit, 5), op(K::Limit, 2)},
         Result::Rows,
         2,
         false},
        {"a limit before a skip", {match({"n"}), op(K::Limit, 5), op(K::Skip, 9)}, Result::Rows, 5, false},
        {"saturating skips", {match({"n"}), op(K::Skip, kAll), op(K::Limit, 1)}, Result::Rows, kAll, false},
        {"a filter may bring any row forward",
         {match({"n"}), op(K::Filter), op(K::Limit, 1)},
         Result::Rows,
         kAll,
         false},
        {"a sort too", {match({"n"}), op(K::Reorder), op(K::Limit, 1)}, Result::Rows, kAll, false},
        {"other matches and with_ keep rows",
         {match({"n"}), match({"m"}), op(K::Keep), op(K::Limit, 4)},
         Result::Rows,
         4,
         false},
        {"a write reading every value",
         {match({"n"}), write({"n"}), op(K::Limit, 1)},
         Result::Rows,
         kAll,
         false},
        {"a write reading another variable",
         {match({"n"}), write({"m"}), op(K::Limit, 1)},
         Result::Rows,
         1,
         false},
        {"a write reading the first value",
         {match({"n"}), write({}, {"n"}), op(K::Limit, 0)},
         Result::Rows,
         1,
         false},
        {"an append depends on the length",
         {match({"n"}), write({}, {}, {"n"}), op(K::Limit, 1)},
         Result::Rows,
         kAll,
         false},
        {"a count that nothing else reads", {match({"n"}), match({"m"})}, Result::Count, kAll, true},
        {"a limited count", {match({"n"}), op(K::Limit, 7)}, Result::Count, 7, true},
        {"a count whose values a filter reads",
         {match({"n"}),
          [] {
              auto e = op(K::Filter);
              e.reads = {"n"};
              return e;
          }()},
         Result::Count,
         kAll,
         false},
        {"a count whose first value a create reads",
         {match({"n"}), write({}, {"n"})},
         Result::Count,
         kAll,
         false},
    };
    for (const Case& c : cases) {
        const Demand d = demand(c.ops, 0, c.result);
        EXPECT_EQ(d.rows, c.rows) << c.what;
        EXPECT_EQ(d.count_only, c.count_only) << c.what;
    }
}

TEST(Demand, EarlierOperationsReadingTheMatchForbidCountingOnly) {
    // A later run starts from the bindings this one leaves: a set before the
    // match reads them then.
    std::vector<Effects> ops = {write({"n"}), match({"n"})};
    EXPECT_FALSE(demand(ops, 1, Result::Count).count_only);
    ops[0] = write({"m"});
    EXPECT_TRUE(demand(ops, 1, Result::Count).count_only);
}

TEST(Demand, VariablesDroppedBeforeAnyoneReadsThemAreOnlyCounted) {
    using K = Effects::Kind;
    auto keep = [](std::vector<std::string> names) {
        Effects e;
        e.kind = K::Keep;
        e.keeps = std::move(names);
        return e;
    };
    auto replace = [](std::vector<std::string> reads) {
        Effects e;
        e.kind = K::Filter;
        e.replaces = true;
        e.reads = std::move(reads);
        return e;
    };
    auto filter = [](std::vector<std::string> reads) {
        Effects e;
        e.kind = K::Filter;
        e.reads = std::move(reads);
        return e;
    };
    const std::vector<std::pair<std::vector<Effects>, std::vector<std::string>>> cases = {
        {{match({"a", "e", "b"}), replace({"a", "e"})}, {"b"}},
        {{match({"a", "e", "b"}), keep({"a"}), replace({"a"})}, {"e", "b"}},
        {{match({"a", "b"}), match({"b"})}, {"b"}},
        {{match({"a", "b"}), filter({"b"}), replace({})}, {"a"}},
        {{match({"a", "b"}), write({}, {"a"}), replace({})}, {"b"}},
        {{match({"a", "b"}), write({}, {}, {"b"}), keep({})}, {"a"}},
        {{match({"a", "b"}), op(K::Limit, 1), op(K::Reorder)}, {}},  // the result may read both
        {{match({"a", "b"})}, {}},
    };
    for (const auto& [ops, unread] : cases) EXPECT_EQ(demand(ops, 0, Result::Rows).unread, unread);
    // An earlier operation reads them in the next run if this one stops on an error.
    const std::vector<Effects> after_a_read = {write({"b"}), match({"a", "b"}), replace({})};
    EXPECT_EQ(demand(after_a_read, 1, Result::Rows).unread, std::vector<std::string>{"a"});
}

TEST(Reading, DirectionTexts) {
    EXPECT_EQ(reading_of("backward"), Reading::Backward);
    EXPECT_EQ(reading_of("any"), Reading::Any);
    EXPECT_EQ(reading_of("forward"), Reading::Forward);
    EXPECT_EQ(reading_of("sideways"), Reading::Forward);
}
