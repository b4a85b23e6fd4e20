#pragma once
// The SHA-512 digest from the system's crypto library (libcrypto, or BCrypt on Windows).
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tw::platform {

class Sha512 {
public:
    // Raises tw::Error when the library offers no SHA-512.
    Sha512();
    ~Sha512();
    Sha512(const Sha512&) = delete;
    Sha512& operator=(const Sha512&) = delete;

    void Update(const void* data, std::size_t size);
    // The digest of everything given so far; the object is spent afterwards.
    std::array<std::uint8_t, 64> Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace tw::platform
