#pragma once
// What both HTTP transports read out of an answer's head the same way.
#include <cstdint>
#include <string_view>

namespace tw {

// `s` without line ends and blanks around it.
std::string_view TrimHeaderLine(std::string_view s);

// 301, 302, 303, 307 and 308: the answers that name the next hop in Location.
bool IsRedirectStatus(long status);

// A Content-Length value: its decimal number, or -1 for an empty, malformed or overflowing one.
std::int64_t ParseContentLength(std::string_view value);

} // namespace tw
