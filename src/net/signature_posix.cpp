#include "net/signature.h"

#include <openssl/evp.h>

namespace tw {

struct TAnswerVerifier::Key {
    EVP_PKEY* pkey = nullptr;
    ~Key() { EVP_PKEY_free(pkey); }
};

std::shared_ptr<const TAnswerVerifier::Key> TAnswerVerifier::MakeKey(std::string_view raw) {
    auto key = std::make_shared<Key>();
    key->pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                            reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
    if (!key->pkey)
        throw Error("The signing key is not an Ed25519 public key");
    return key;
}

bool TAnswerVerifier::Matches(const Key& key, std::string_view body, std::string_view signature) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.pkey) == 1 &&
           EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(body.data()), body.size()) == 1;
}

} // namespace tw
