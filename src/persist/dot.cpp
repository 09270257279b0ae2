#include "persist/dot.hpp"

#include "text/utf8.hpp"

namespace quorvel::dot {

void append_quoted(std::string& out, std::string_view s) {
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        const text::Decoded d = text::decode(s, i);
        if (d.cp == '"' || d.cp == '\\') {
            out += '\\';
            out += static_cast<char>(d.cp);
        } else if (d.cp == '\n') {
            out += "\\n";
        } else if (d.cp < 0x20 || d.cp == 0x7F) {
            out += ' ';
        } else if (d.cp == 0xFFFD && d.len == 1) {
            out += "\xEF\xBF\xBD";
        } else {
            out.append(s.substr(i, d.len));
        }
        i += d.len;
    }
    out += '"';
}

}  // namespace quorvel::dot
