#include "net/signature.h"

#include <openssl/evp.h>

namespace tw {

namespace {

constexpr std::size_t kPublicKeySize = 32;
constexpr std::size_t kSignatureSize = 64;

} // namespace

TAnswerVerifier::TAnswerVerifier(std::string_view publicKey) {
    if (publicKey.empty())
        return;
    std::string raw;
    if (!DecodeBase64(publicKey, raw) || raw.size() != kPublicKeySize)
        throw Error("The signing key is not the base64 text of a raw 32-byte Ed25519 public key");
    EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                                reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
    if (!key)
        throw Error("The signing key is not an Ed25519 public key");
    key_.reset(key, EVP_PKEY_free);
}

void TAnswerVerifier::Verify(std::string_view body, std::string_view signature, const std::string& what) const {
    if (!key_)
        return;
    if (signature.empty())
        throw UnverifiedAnswer("The answer to " + what + " carries no " + kSignatureHeader + " header");
    std::string raw;
    if (!DecodeBase64(signature, raw) || raw.size() != kSignatureSize)
        throw UnverifiedAnswer("The " + std::string(kSignatureHeader) + " header of the answer to " + what +
                               " is not the base64 text of an Ed25519 signature");
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    const bool good = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) == 1 &&
                      EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(raw.data()), raw.size(),
                                       reinterpret_cast<const unsigned char*>(body.data()), body.size()) == 1;
    if (!good)
        throw UnverifiedAnswer("The signature of the answer to " + what + " does not match its body");
}

} // namespace tw
