#include "platform/instance.h"

#include "platform/win32_util.h"

namespace tw::platform {

bool HoldNamedMarker(const std::string& name) {
    // Never released nor closed: the system drops it when the process ends, however it ends. The
    // handle is not inheritable, so children do not keep it.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, win32::Wide(name).c_str());
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    return mutex != nullptr && existed;
}

int TerminationRequestDescriptor() {
    // The session's request to end reaches the window as a message (the log-off query), which
    // the shell answers itself; there is no descriptor to watch.
    return -1;
}

} // namespace tw::platform
