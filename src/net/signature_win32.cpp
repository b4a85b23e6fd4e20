#include "net/ed25519.h"
#include "net/signature.h"

namespace tw {

// The system's crypto library has no Ed25519: the check is our own (net/ed25519.h), over BCrypt's
// SHA-512. Like OpenSSL, it takes any 32 bytes as the key; one that is no point of the curve
// matches no signature.
struct TAnswerVerifier::Key {
    std::string raw;
};

std::shared_ptr<const TAnswerVerifier::Key> TAnswerVerifier::MakeKey(std::string_view raw) {
    return std::make_shared<const Key>(Key{std::string(raw)});
}

bool TAnswerVerifier::Matches(const Key& key, std::string_view body, std::string_view signature) {
    return ed25519::Verify(key.raw, body, signature);
}

} // namespace tw
