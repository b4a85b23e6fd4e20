#include "signing.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

namespace tws {

namespace {

std::string Base64(const unsigned char* data, std::size_t size) {
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

} // namespace

std::string SignedText(std::string_view action, std::string_view serial, std::string_view expires,
                       std::string_view body) {
    std::string text = "tarnwick-answer-2\n";
    text.append(action).append("\n").append(serial).append("\n").append(expires).append("\n").append(body);
    return text;
}

std::int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t ParseLifetime(const std::string& text) {
    std::size_t digits = 0;
    while (digits < text.size() && digits < 9 && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    const std::string unit = text.substr(digits);
    const std::int64_t scale = unit.empty() || unit == "s" ? 1
                               : unit == "m"               ? 60
                               : unit == "h"               ? 3600
                               : unit == "d"               ? 86400
                                                           : 0;
    const std::int64_t seconds = digits == 0 || scale == 0 ? 0 : std::stoll(text.substr(0, digits)) * scale;
    if (seconds < 60 || seconds > 366 * 86400)
        throw std::runtime_error("the lifetime \"" + text +
                                 "\" is not between 1 minute and a year (seconds, or a number with s, m, h or d)");
    return seconds;
}

Signer::Signer(const std::string& pemFile) {
    std::FILE* f = std::fopen(pemFile.c_str(), "rb");
    if (!f)
        throw std::runtime_error("cannot read the signing key " + pemFile);
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!key || EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(key);
        throw std::runtime_error(pemFile + " holds no Ed25519 private key");
    }
    key_.reset(key, EVP_PKEY_free);
}

AnswerStamp Signer::SignAnswer(std::string_view action, std::uint64_t serial, std::int64_t expires,
                               std::string_view body) const {
    AnswerStamp stamp{{}, std::to_string(serial), std::to_string(expires)};
    stamp.signature = Sign(SignedText(action, stamp.serial, stamp.expires, body));
    return stamp;
}

std::string Signer::Sign(std::string_view body) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char signature[64];
    std::size_t size = sizeof signature;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature, &size, reinterpret_cast<const unsigned char*>(body.data()), body.size()) !=
            1)
        throw std::runtime_error("signing failed");
    return Base64(signature, size);
}

std::string MakeKeyPair(const std::string& folder) {
    namespace fs = std::filesystem;
    fs::create_directories(folder);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"),
                                                            EVP_PKEY_free);
    unsigned char raw[32];
    std::size_t rawSize = sizeof raw;
    if (!key || EVP_PKEY_get_raw_public_key(key.get(), raw, &rawSize) != 1 || rawSize != sizeof raw)
        throw std::runtime_error("cannot make an Ed25519 key");
    const std::string publicKey = Base64(raw, rawSize);

    const std::string privatePath = (fs::path(folder) / "signing-key.pem").string();
    const mode_t old = ::umask(077);
    // Never over an existing key: the launchers built with its public key would stop trusting
    // the service.
    std::FILE* f = std::fopen(privatePath.c_str(), "wbx");
    ::umask(old);
    if (!f)
        throw std::runtime_error("cannot write " + privatePath +
                                 (fs::exists(privatePath) ? " (a key is there already)" : ""));
    const bool written = PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (std::fclose(f) != 0 || !written)
        throw std::runtime_error("cannot write " + privatePath);
    std::ofstream pub((fs::path(folder) / "signing-key.pub").string(), std::ios::binary | std::ios::trunc);
    pub << publicKey << '\n';
    if (!pub.flush())
        throw std::runtime_error("cannot write the public key in " + folder);
    return publicKey;
}

} // namespace tws
