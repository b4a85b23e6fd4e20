// The Windows build's own Ed25519 check against OpenSSL's on the largest answer (1.5 MB), in one
// run: the signature check the answer verifier makes before anything of the body is used.
#include "net/signature.h"
#include "net/ed25519.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>

namespace {

double Seconds(const std::function<void()>& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double Best(int runs, const std::function<void()>& f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, Seconds(f));
    return best;
}

} // namespace

int main() {
    std::mt19937_64 rng(1);
    std::string body(1536 * 1024, '\0'), seed(32, '\0');
    for (char& c : body)
        c = static_cast<char>(rng() & 0xFF);
    for (char& c : seed)
        c = static_cast<char>(rng() & 0xFF);

    // What a signature covers: the body with its action, serial and expiry in front.
    const tw::AnswerStamp stamp{{}, "1", "9999999999"};
    const std::string message = tw::SignedText("bench", stamp.serial, stamp.expires, body);
    EVP_PKEY* pkey = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                                  reinterpret_cast<const unsigned char*>(seed.data()), seed.size());
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    std::string key(32, '\0'), signature(64, '\0');
    std::size_t keySize = key.size(), signatureSize = signature.size();
    if (!pkey || !ctx ||
        EVP_PKEY_get_raw_public_key(pkey, reinterpret_cast<unsigned char*>(key.data()), &keySize) != 1 ||
        EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, pkey) != 1 ||
        EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(signature.data()), &signatureSize,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
        std::fprintf(stderr, "OpenSSL could not sign\n");
        return 1;
    }
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(pkey);

    const tw::TAnswerVerifier openssl(tw::EncodeBase64(key));
    tw::AnswerStamp signed_ = stamp;
    signed_.signature = tw::EncodeBase64(signature);
    bool ok = true;
    const int runs = 20;
    const double tOpenSsl = Best(runs, [&] { openssl.Verify("bench", body, signed_, 0, 0); });
    const double tOurs = Best(runs, [&] {
        ok = ok && tw::ed25519::Verify(key, tw::SignedText("bench", stamp.serial, stamp.expires, body), signature);
    });
    if (!ok) {
        std::fprintf(stderr, "our check refused OpenSSL's signature\n");
        return 1;
    }
    std::printf("verify 1.5 MB: ours %.2f ms, OpenSSL %.2f ms\n", tOurs * 1e3, tOpenSsl * 1e3);
    std::printf("ratio signature: %.2f\n", tOurs / tOpenSsl);
}
