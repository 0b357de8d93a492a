// Name and text pairs written compactly as "name=text|name=text" (texts hold neither '|' nor
// '='): document elements to send, stored properties to expect.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nx::test {

using Pairs = std::vector<std::pair<std::string, std::string>>;

inline Pairs Rows(std::string_view text) {
    Pairs out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t bar = std::min(text.find('|', at), text.size());
        const std::string_view pair = text.substr(at, bar - at);
        const std::size_t eq = pair.find('=');
        out.emplace_back(std::string(pair.substr(0, eq)),
                         eq == std::string_view::npos ? "" : std::string(pair.substr(eq + 1)));
        at = bar + 1;
    }
    return out;
}

}  // namespace nx::test
