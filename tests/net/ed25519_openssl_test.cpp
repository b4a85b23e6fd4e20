// Our own Ed25519 check (the Windows build's) against OpenSSL's: keys and messages of a seeded
// generator, signed by OpenSSL; both must take every signature and refuse every spoilt one.
#include "net/ed25519.h"

#include "ed25519_cases.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <random>

using namespace tw;

namespace {

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

const unsigned char* Bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

bool OpenSslVerifies(const std::string& key, const std::string& message, const std::string& signature) {
    PKey pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, Bytes(key), key.size()), EVP_PKEY_free);
    MdCtx ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return pkey && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), Bytes(signature), signature.size(), Bytes(message), message.size()) == 1;
}

// The public key and the signature of `message` under the private key `seed`.
std::pair<std::string, std::string> OpenSslSigns(const std::string& seed, const std::string& message) {
    PKey pkey(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, Bytes(seed), seed.size()), EVP_PKEY_free);
    MdCtx ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::string key(32, '\0'), signature(64, '\0');
    std::size_t keySize = key.size(), signatureSize = signature.size();
    if (!pkey || !ctx ||
        EVP_PKEY_get_raw_public_key(pkey.get(), reinterpret_cast<unsigned char*>(key.data()), &keySize) != 1 ||
        EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1 ||
        EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &signatureSize, Bytes(message),
                       message.size()) != 1)
        ADD_FAILURE() << "OpenSSL could not sign";
    return {key, signature};
}

} // namespace

TEST(Ed25519, AgreesWithOpenSslOnSeededKeysAndTheirSpoiltSignatures) {
    std::mt19937_64 random(20261209);
    auto bytes = [&](std::size_t n) {
        std::string s(n, '\0');
        for (char& c : s)
            c = static_cast<char>(random() & 0xFF);
        return s;
    };
    for (int i = 0; i < 300; ++i) {
        // Mostly short messages, and now and then one over several SHA-512 blocks.
        const std::string message = bytes(i % 50 == 0 ? 5000 + random() % 3000 : random() % 300);
        const auto [key, signature] = OpenSslSigns(bytes(32), message);
        EXPECT_TRUE(ed25519::Verify(key, message, signature)) << i;
        // One way of spoiling per pair, in turn.
        const auto spoilt = test::Spoil(key, message, signature);
        const auto& s = spoilt[static_cast<std::size_t>(i) % spoilt.size()];
        EXPECT_FALSE(OpenSslVerifies(s.key, s.message, s.signature)) << i << ": " << s.name;
        EXPECT_FALSE(ed25519::Verify(s.key, s.message, s.signature)) << i << ": " << s.name;
    }
}
