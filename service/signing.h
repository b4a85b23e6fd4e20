#pragma once
// Answer signatures of the reference service: an Ed25519 private key signs the exact bytes of
// every answer body, and the launcher built with the matching public key checks them.
#include <memory>
#include <string>
#include <string_view>

struct evp_pkey_st;

namespace tws {

inline constexpr char kSignatureHeader[] = "X-Tarnwick-Signature";

class Signer {
public:
    // Reads a PEM private key (PKCS#8, as keygen writes it); throws std::runtime_error when the
    // file cannot be read or holds no Ed25519 key.
    explicit Signer(const std::string& pemFile);
    // The base64 text of the Ed25519 signature of `body`.
    std::string Sign(std::string_view body) const;

private:
    std::shared_ptr<evp_pkey_st> key_;
};

// Makes a new key pair in `folder`: signing-key.pem (the private key, readable by its owner only)
// and signing-key.pub (the public key in the form the build setting TARNWICK_SIGNING_KEY takes).
// Returns that public key text; throws std::runtime_error on failure.
std::string MakeKeyPair(const std::string& folder);

} // namespace tws
