#pragma once
// The MD5 digest from the system's crypto library (libcrypto, or BCrypt on Windows).
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tw::platform {

class Md5 {
public:
    // Raises tw::Error when the library offers no MD5.
    Md5();
    ~Md5();
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;

    void Update(const void* data, std::size_t size);
    // The digest of everything given so far; the object is spent afterwards.
    std::array<std::uint8_t, 16> Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace tw::platform
