#include "platform/system.h"

#include <sys/utsname.h>

namespace tw::platform {

std::string UserAgentOsPart() {
    struct utsname names {};
    std::string machine = ::uname(&names) == 0 ? names.machine : "";
    if (machine.empty())
        return "X11; Linux";
    if constexpr (sizeof(void*) == 4) {
        if (machine == "x86_64")
            return "X11; Linux i686 (x86_64)";
    }
    return "X11; Linux " + machine;
}

} // namespace tw::platform
