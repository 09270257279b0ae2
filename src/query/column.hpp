// Result columns of return_, return_distinct and with_.
#pragma once

namespace quorvel::cond {

enum class Aggregate { None, Count, Collect, Sum, Min, Max, Avg };

}  // namespace quorvel::cond
