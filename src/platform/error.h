#pragma once
#include <stdexcept>
#include <string>

namespace tw {

// The one error type the core raises. Its message is what the user or a note needs to diagnose
// the failure: it names the file or URL and the system's reason.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failed system call on a file or folder; Code() is its errno value (ENOSPC: the disk is full).
class SystemError : public Error {
public:
    SystemError(const std::string& message, int code) : Error(message), code_(code) {}
    int Code() const { return code_; }

private:
    int code_;
};

// "<what> "<path>": <system text>" for a failed system call; err is an errno value.
std::string SystemErrorText(int err);
// Raises a SystemError with that text.
[[noreturn]] void RaiseSystemError(const std::string& what, const std::string& path, int err);

} // namespace tw
