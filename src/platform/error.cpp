#include "platform/error.h"

#include <cstring>

namespace tw {

std::string SystemErrorText(int err) {
    char buffer[256];
#ifdef _WIN32
    const char* text = ::strerror_s(buffer, sizeof buffer, err) == 0 ? buffer : nullptr;
#else
    // GNU strerror_r returns the text, which may or may not be the buffer.
    const char* text = ::strerror_r(err, buffer, sizeof buffer);
#endif
    return text ? std::string(text) : "error " + std::to_string(err);
}

void RaiseSystemError(const std::string& what, const std::string& path, int err) {
    throw SystemError(what + " \"" + path + "\": " + SystemErrorText(err), err);
}

} // namespace tw
