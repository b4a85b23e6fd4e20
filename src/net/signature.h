#pragma once
// Signed service answers. An operator who builds the launcher with a public key (the build
// setting TARNWICK_SIGNING_KEY) makes the update worker take an answer only when it carries, in
// the header X-Tarnwick-Signature, the base64 Ed25519 signature of its exact body bytes. The key
// is fixed in the build; nothing at run time can change or switch off the check.
#include "platform/error.h"

#include <memory>
#include <string>
#include <string_view>

namespace tw {

inline constexpr char kSignatureHeader[] = "X-Tarnwick-Signature";

// An answer whose signature is missing, malformed or does not match its body.
class UnverifiedAnswer : public Error {
public:
    using Error::Error;
};

// Standard base64 (RFC 4648, '+' and '/', '=' padding). Decoding is strict: the length is a
// multiple of four, padding only at the end, no blanks or line breaks, and unused bits are zero, so
// every byte string has exactly one accepted text. False for anything else.
bool DecodeBase64(std::string_view text, std::string& bytes);
std::string EncodeBase64(std::string_view bytes);

class TAnswerVerifier {
public:
    // Takes every answer, as a build without a key does.
    TAnswerVerifier() = default;
    // `publicKey`: the base64 text of a raw 32-byte Ed25519 public key, or empty for no check.
    // Raises tw::Error for any other text.
    explicit TAnswerVerifier(std::string_view publicKey);

    bool Enabled() const { return key_ != nullptr; }

    // Returns when no key is set, or when `signature` (the header's value) is the base64 text of
    // an Ed25519 signature of `body` under the key. Raises UnverifiedAnswer, naming `what`,
    // otherwise. Nothing of the body may be used before this has returned.
    void Verify(std::string_view body, std::string_view signature, const std::string& what) const;

private:
    // The key as the platform's check holds it (signature_posix.cpp, signature_win32.cpp).
    struct Key;
    // `raw`: 32 bytes. Raises tw::Error when the platform cannot take them as a key.
    static std::shared_ptr<const Key> MakeKey(std::string_view raw);
    // Whether `signature` (64 bytes) is the key's signature of `body`.
    static bool Matches(const Key& key, std::string_view body, std::string_view signature);

    std::shared_ptr<const Key> key_;
};

} // namespace tw
