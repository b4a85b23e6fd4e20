#pragma once
// Ed25519 signature verification (RFC 8032, pure Ed25519: no context, no prehash) of our own, for
// the builds whose system library offers none (Windows' BCrypt). It checks public data only, so it
// takes no care over timing, but it trusts nothing of its input: wrong lengths, a key that is no
// point of the curve and a non-canonical S (S >= L) are refused before the message is hashed, and
// R is compared by its encoding with the computed [S]B - [k]A, as OpenSSL does (the cofactorless
// check), so an R that is no point, or not in its one encoding, matches nothing.
// The key is decoded as RFC 8032 says, strictly: y must be below p, and x = 0 only with a clear
// sign bit (OpenSSL also takes the few non-canonical encodings, which no key generator makes).
// SHA-512 comes from the platform's crypto library.
#include <cstddef>
#include <string_view>

namespace tw::ed25519 {

inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSignatureSize = 64;

// True when the 32 bytes are the encoding of a point of the curve.
bool IsPublicKey(std::string_view publicKey);

// True when `signature` (R || S, 64 bytes) is `publicKey`'s (32 bytes) signature of `message`;
// false for anything else, wrong lengths included. Raises tw::Error only when the platform has
// no SHA-512.
bool Verify(std::string_view publicKey, std::string_view message, std::string_view signature);

} // namespace tw::ed25519
