#include "platform/sha512.h"

#include "platform/error.h"

#include <openssl/evp.h>

namespace tw::platform {

struct Sha512::State {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~State() { EVP_MD_CTX_free(ctx); }
};

Sha512::Sha512() : state_(std::make_unique<State>()) {
    if (!state_->ctx || EVP_DigestInit_ex(state_->ctx, EVP_sha512(), nullptr) != 1)
        throw Error("SHA-512 is not available from the crypto library");
}

Sha512::~Sha512() = default;

void Sha512::Update(const void* data, std::size_t size) {
    if (size && EVP_DigestUpdate(state_->ctx, data, size) != 1)
        throw Error("SHA-512 update failed");
}

std::array<std::uint8_t, 64> Sha512::Finish() {
    std::array<std::uint8_t, 64> digest{};
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(state_->ctx, digest.data(), &len) != 1 || len != digest.size())
        throw Error("SHA-512 final step failed");
    return digest;
}

} // namespace tw::platform
