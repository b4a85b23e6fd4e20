#pragma once
// What the operating system says about itself.
#include <string>

namespace tw::platform {

// The operating-system part of a browser user agent, as the engine itself would write it for
// this process ("X11; Linux x86_64"; a 32-bit process on a 64-bit system names both).
std::string UserAgentOsPart();

} // namespace tw::platform
