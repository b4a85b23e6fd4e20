#include "net/signature.h"

#include "platform/fs.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>

namespace tw {

namespace {

constexpr std::size_t kPublicKeySize = 32;
constexpr std::size_t kSignatureSize = 64;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

bool DecodeBase64(std::string_view text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0)
        return false;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=')
        padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const bool pad = last && j >= 4 - padding;
            const int v = pad ? 0 : Sextet(text[i + j]);
            if (v < 0)
                return false;
            group = group << 6 | static_cast<std::uint32_t>(v);
        }
        const std::size_t keep = last ? 3 - padding : 3;
        // The bits that padding leaves over must be zero, or two texts would give one value.
        if (last && padding > 0 && (group & ((1u << (8 * padding)) - 1)) != 0)
            return false;
        for (std::size_t k = 0; k < keep; ++k)
            bytes += static_cast<char>((group >> (16 - 8 * k)) & 0xFF);
    }
    return true;
}

std::string EncodeBase64(std::string_view bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t j = 0; j < 4; ++j)
            out += j <= n ? kAlphabet[(group >> (18 - 6 * j)) & 0x3F] : '=';
    }
    return out;
}

TAnswerVerifier::TAnswerVerifier(std::string_view publicKey) {
    if (publicKey.empty())
        return;
    std::string raw;
    if (!DecodeBase64(publicKey, raw) || raw.size() != kPublicKeySize)
        throw Error("The signing key is not the base64 text of a raw 32-byte Ed25519 public key");
    key_ = MakeKey(raw);
}

std::string SignedText(std::string_view action, std::string_view serial, std::string_view expires,
                       std::string_view body) {
    std::string text = "tarnwick-answer-2\n";
    text.reserve(text.size() + action.size() + serial.size() + expires.size() + body.size() + 3);
    text.append(action).append("\n").append(serial).append("\n").append(expires).append("\n").append(body);
    return text;
}

std::int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool ParsePlainDecimal(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 18)
        return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    value = v;
    return true;
}

std::uint64_t TAnswerVerifier::Verify(const std::string& action, std::string_view body, const AnswerStamp& stamp,
                                      std::int64_t now, std::uint64_t lowestSerial) const {
    if (!key_)
        return 0;
    if (stamp.signature.empty())
        throw UnverifiedAnswer("The answer to " + action + " carries no " + kSignatureHeader + " header");
    std::uint64_t serial = 0, expires = 0;
    if (!ParsePlainDecimal(stamp.serial, serial) || !ParsePlainDecimal(stamp.expires, expires))
        throw UnverifiedAnswer("The answer to " + action + " carries no plain decimal " + kSerialHeader + " and " +
                               kExpiresHeader + " headers");
    std::string raw;
    if (!DecodeBase64(stamp.signature, raw) || raw.size() != kSignatureSize)
        throw UnverifiedAnswer("The " + std::string(kSignatureHeader) + " header of the answer to " + action +
                               " is not the base64 text of an Ed25519 signature");
    if (!Matches(*key_, SignedText(action, stamp.serial, stamp.expires, body), raw))
        throw UnverifiedAnswer("The signature of the answer to " + action + " does not match its body and request");
    if (static_cast<std::int64_t>(expires) < now - kClockLeewaySeconds)
        throw ExpiredAnswer("The answer to " + action + " expired at " + stamp.expires + " (now " +
                            std::to_string(now) + ")");
    if (serial < lowestSerial)
        throw UnverifiedAnswer("The answer to " + action + " has serial " + stamp.serial + ", below " +
                               std::to_string(lowestSerial) + " taken before");
    return serial;
}

std::uint64_t TAnswerSerial::Highest() {
    if (!read_) {
        read_ = true;
        std::string text;
        std::uint64_t stored = 0;
        if (platform::ReadFile(path_, text)) {
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
            if (ParsePlainDecimal(text, stored))
                highest_ = std::max(highest_, stored);
        }
    }
    return highest_;
}

void TAnswerSerial::Raise(std::uint64_t serial) {
    if (serial <= Highest())
        return;
    highest_ = serial;
    try {
        platform::WriteFileAtomic(path_, std::to_string(serial) + "\n");
    } catch (const Error&) {
        // Kept for this run only; see the class comment.
    }
}

} // namespace tw
