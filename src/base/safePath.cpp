#include "base/safePath.h"

namespace tw {

bool IsContainedRelativePath(const std::string& path) {
    if (path.empty() || path.front() == '/' || path.front() == '\\')
        return false;
    if (path.find(':') != std::string::npos || path.find('\0') != std::string::npos)
        return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = path.find_first_of("/\\", start);
        std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part == "..")
            return false;
        if (end == std::string::npos)
            return !part.empty() && part != ".";
        start = end + 1;
    }
}

bool IsPlainFileName(const std::string& name) {
    return IsContainedRelativePath(name) && name.find_first_of("/\\") == std::string::npos;
}

} // namespace tw
