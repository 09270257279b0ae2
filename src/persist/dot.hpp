// DOT (Graphviz) text.
#pragma once

#include <string>
#include <string_view>

namespace quorvel::dot {

// A DOT string literal, quotes included: backslashes and quotes escaped, a
// line feed as DOT's line break \n, other control characters as spaces.
// `text` is UTF-8; an invalid byte becomes U+FFFD.
void append_quoted(std::string& out, std::string_view text);

}  // namespace quorvel::dot
