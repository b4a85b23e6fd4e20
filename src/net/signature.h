#pragma once
// Signed service answers. An operator who builds the launcher with a public key (the build
// setting TARNWICK_SIGNING_KEY) makes the update worker take an answer only when it carries, in
// the header X-Tarnwick-Signature, the base64 Ed25519 signature of SignedText: the answer bound
// to the action it answers, to the publish it came from (X-Tarnwick-Serial, growing with every
// publish) and to the time it may be used until (X-Tarnwick-Expires). An answer saved earlier
// can then neither stand in for another action, nor roll the launcher back, nor freeze it for
// ever. The key is fixed in the build; nothing at run time can change or switch off the check.
#include "platform/error.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tw {

inline constexpr char kSignatureHeader[] = "X-Tarnwick-Signature";
inline constexpr char kSerialHeader[] = "X-Tarnwick-Serial";
inline constexpr char kExpiresHeader[] = "X-Tarnwick-Expires";
// How far the player's clock may be behind the service's before an answer counts as expired.
inline constexpr std::int64_t kClockLeewaySeconds = 300;

// What the signature covers: "tarnwick-answer-2\n" action "\n" serial "\n" expires "\n" body, the
// serial and the expiry as the decimal texts of their headers. `action` is the service action
// ("aria2.conf" for the downloader's configuration).
std::string SignedText(std::string_view action, std::string_view serial, std::string_view expires,
                       std::string_view body);

// An answer whose signature is missing, malformed or does not match its body and request, or
// that is older than one taken before.
class UnverifiedAnswer : public Error {
public:
    using Error::Error;
};

// A rightly signed answer whose time ran out (or a player's clock far ahead).
class ExpiredAnswer : public UnverifiedAnswer {
public:
    using UnverifiedAnswer::UnverifiedAnswer;
};

// The headers that came with an answer (empty when missing).
struct AnswerStamp {
    std::string signature, serial, expires;
};

// Seconds since 1970-01-01 UTC by the system clock.
std::int64_t UnixNow();

// A whole number of at most 18 decimal digits and nothing else (no sign, no blank); false otherwise.
bool ParsePlainDecimal(std::string_view text, std::uint64_t& value);

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

    // Returns 0 when no key is set. Otherwise returns the answer's serial when the signature is
    // the key's signature of SignedText(action, serial, expires, body), `expires` is not more
    // than kClockLeewaySeconds before `now` and the serial is not below `lowestSerial`. Raises
    // ExpiredAnswer for an answer past its time, UnverifiedAnswer, naming `action`, for anything
    // else. Nothing of the body may be used before this has returned.
    std::uint64_t Verify(const std::string& action, std::string_view body, const AnswerStamp& stamp, std::int64_t now,
                         std::uint64_t lowestSerial) const;

private:
    // The key as the platform's check holds it (signature_posix.cpp, signature_win32.cpp).
    struct Key;
    // `raw`: 32 bytes. Raises tw::Error when the platform cannot take them as a key.
    static std::shared_ptr<const Key> MakeKey(std::string_view raw);
    // Whether `signature` (64 bytes) is the key's signature of `body`.
    static bool Matches(const Key& key, std::string_view body, std::string_view signature);

    std::shared_ptr<const Key> key_;
};

// The highest serial the launcher has taken, kept in one small file (the download folder's
// answer-serial) so that a later run refuses what an earlier one had seen superseded. A file
// that is missing or holds anything but a plain decimal number counts as 0: losing it costs only
// the protection across runs, never the launcher's use. Written atomically (temporary file and
// rename) whenever the serial rises; a file that cannot be written is not an error, the serial
// still holds for the rest of the run.
class TAnswerSerial {
public:
    explicit TAnswerSerial(std::string path) : path_(std::move(path)) {}
    std::uint64_t Highest();
    void Raise(std::uint64_t serial);

private:
    std::string path_;
    bool read_ = false;
    std::uint64_t highest_ = 0;
};

} // namespace tw
