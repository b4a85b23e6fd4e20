#include "platform/sha512.h"

#include "platform/error.h"

#include <windows.h>

#include <bcrypt.h>

namespace tw::platform {

namespace {

// One provider for the process: opening it is far dearer than a hash object.
BCRYPT_ALG_HANDLE Provider() {
    static BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE h = nullptr;
        if (BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA512_ALGORITHM, nullptr, 0) < 0)
            h = nullptr;
        return h;
    }();
    return provider;
}

} // namespace

struct Sha512::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~State() {
        if (hash)
            BCryptDestroyHash(hash);
    }
};

Sha512::Sha512() : state_(std::make_unique<State>()) {
    BCRYPT_ALG_HANDLE provider = Provider();
    // Without a buffer of ours the system keeps the hash object's memory (Windows 7 and later).
    if (!provider || BCryptCreateHash(provider, &state_->hash, nullptr, 0, nullptr, 0, 0) < 0)
        throw Error("SHA-512 is not available from the crypto library");
}

Sha512::~Sha512() = default;

void Sha512::Update(const void* data, std::size_t size) {
    auto* p = static_cast<unsigned char*>(const_cast<void*>(data));
    while (size > 0) {
        const ULONG chunk = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (BCryptHashData(state_->hash, p, chunk, 0) < 0)
            throw Error("SHA-512 update failed");
        p += chunk;
        size -= chunk;
    }
}

std::array<std::uint8_t, 64> Sha512::Finish() {
    std::array<std::uint8_t, 64> digest{};
    if (BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0) < 0)
        throw Error("SHA-512 final step failed");
    return digest;
}

} // namespace tw::platform
