#include "platform/md5.h"

#include "platform/error.h"

#include <openssl/evp.h>

namespace tw::platform {

struct Md5::State {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~State() { EVP_MD_CTX_free(ctx); }
};

Md5::Md5() : state_(std::make_unique<State>()) {
    if (!state_->ctx || EVP_DigestInit_ex(state_->ctx, EVP_md5(), nullptr) != 1)
        throw Error("MD5 is not available from the crypto library");
}

Md5::~Md5() = default;

void Md5::Update(const void* data, std::size_t size) {
    if (size && EVP_DigestUpdate(state_->ctx, data, size) != 1)
        throw Error("MD5 update failed");
}

std::array<std::uint8_t, 16> Md5::Finish() {
    std::array<std::uint8_t, 16> digest{};
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(state_->ctx, digest.data(), &len) != 1 || len != digest.size())
        throw Error("MD5 final step failed");
    return digest;
}

} // namespace tw::platform
