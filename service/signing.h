#pragma once
// Answer signatures of the reference service: an Ed25519 private key signs every answer body
// together with the action it answers, the serial of the publish it belongs to and the time it
// expires (the headers X-Tarnwick-Serial and X-Tarnwick-Expires, as decimal texts), and the
// launcher built with the matching public key checks them.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct evp_pkey_st;

namespace tws {

inline constexpr char kSignatureHeader[] = "X-Tarnwick-Signature";
inline constexpr char kSerialHeader[] = "X-Tarnwick-Serial";
inline constexpr char kExpiresHeader[] = "X-Tarnwick-Expires";

// How long signed answers hold by default: made at publish time, a week (publish again before
// it runs out); made by the service as it answers, an hour.
inline constexpr std::int64_t kPublishLifetime = 7 * 24 * 3600;
inline constexpr std::int64_t kOnlineLifetime = 3600;

// The headers of one signed answer.
struct AnswerStamp {
    std::string signature, serial, expires;
};

// "tarnwick-answer-2\n" action "\n" serial "\n" expires "\n" body: what a signature covers.
std::string SignedText(std::string_view action, std::string_view serial, std::string_view expires,
                       std::string_view body);

// Seconds since 1970-01-01 UTC.
std::int64_t UnixNow();

// A lifetime: whole seconds, or a number followed by s, m, h or d ("90", "30m", "12h", "7d"),
// at least a minute and at most a year. Throws std::runtime_error for anything else.
std::int64_t ParseLifetime(const std::string& text);

class Signer {
public:
    // Reads a PEM private key (PKCS#8, as keygen writes it); throws std::runtime_error when the
    // file cannot be read or holds no Ed25519 key.
    explicit Signer(const std::string& pemFile);
    // The base64 text of the Ed25519 signature of `bytes`.
    std::string Sign(std::string_view bytes) const;
    // The headers of `body` as the answer to `action`, of publish `serial`, until `expires`.
    AnswerStamp SignAnswer(std::string_view action, std::uint64_t serial, std::int64_t expires,
                           std::string_view body) const;

private:
    std::shared_ptr<evp_pkey_st> key_;
};

// Makes a new key pair in `folder`: signing-key.pem (the private key, readable by its owner only)
// and signing-key.pub (the public key in the form the build setting TARNWICK_SIGNING_KEY takes).
// Returns that public key text; throws std::runtime_error on failure.
std::string MakeKeyPair(const std::string& folder);

} // namespace tws
