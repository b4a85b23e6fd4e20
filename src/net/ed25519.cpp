#include "net/ed25519.h"

#include "platform/sha512.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

namespace tw::ed25519 {

namespace {

using Bytes32 = std::array<std::uint8_t, 32>;

bool BitOf(const std::uint8_t* bytes, int bit) {
    return (bytes[bit / 8] >> (bit % 8) & 1) != 0;
}

// ---- The field of integers modulo p = 2^255 - 19 ----
//
// Fifteen limbs of 17 bits: 15 * 17 = 255, so a carry out of the top limb wraps to the lowest as
// 19 times itself (2^255 = 19 mod p). Limbs are signed 64-bit values and need not stay within
// [0, 2^17): sums and differences are taken limb by limb, and only products carry. Every factor of
// a product is a carried value or a sum or difference of at most a few of them, whose limbs stay
// below 2^20 in magnitude; a column of the product then sums at most 15 terms below 2^40, with the
// wrapped half weighted by 19, which stays far below 2^63. Right shifts of negative limbs are
// arithmetic (C++20), so a carry is the floor of the limb over 2^17 and the mask its remainder.

constexpr int kLimbs = 15;
constexpr int kLimbBits = 17;
constexpr std::int64_t kLimbMask = (std::int64_t{1} << kLimbBits) - 1;

struct Fe {
    std::array<std::int64_t, kLimbs> limb{};
};

Fe Small(std::int64_t n) {
    Fe r;
    r.limb[0] = n;
    return r;
}

Fe Add(const Fe& a, const Fe& b) {
    Fe r;
    for (int i = 0; i < kLimbs; ++i)
        r.limb[i] = a.limb[i] + b.limb[i];
    return r;
}

Fe Sub(const Fe& a, const Fe& b) {
    Fe r;
    for (int i = 0; i < kLimbs; ++i)
        r.limb[i] = a.limb[i] - b.limb[i];
    return r;
}

Fe Neg(const Fe& a) {
    return Sub(Fe{}, a);
}

// One pass of carries from the lowest limb up, the top one wrapping round. Two passes bring any
// product's limbs into [0, 2^17), but for the lowest, which may stray by up to 19 either way.
void Carry(Fe& a) {
    for (int i = 0; i < kLimbs; ++i) {
        const std::int64_t carry = a.limb[i] >> kLimbBits;
        a.limb[i] &= kLimbMask;
        if (i + 1 < kLimbs)
            a.limb[i + 1] += carry;
        else
            a.limb[0] += 19 * carry;
    }
}

Fe Mul(const Fe& a, const Fe& b) {
    std::array<std::int64_t, 2 * kLimbs - 1> wide{};
    for (int i = 0; i < kLimbs; ++i)
        for (int j = 0; j < kLimbs; ++j)
            wide[i + j] += a.limb[i] * b.limb[j];
    Fe r;
    for (int k = 0; k < kLimbs; ++k)
        r.limb[k] = wide[k] + (k + kLimbs < 2 * kLimbs - 1 ? 19 * wide[k + kLimbs] : 0);
    Carry(r);
    Carry(r);
    return r;
}

Fe Sqr(const Fe& a) {
    return Mul(a, a);
}

// a^e for an exponent given as 32 little-endian bytes.
Fe Pow(const Fe& a, const Bytes32& e) {
    Fe r = Small(1);
    for (int bit = 255; bit >= 0; --bit) {
        r = Sqr(r);
        if (BitOf(e.data(), bit))
            r = Mul(r, a);
    }
    return r;
}

// 2^bits - minus as 32 little-endian bytes, for 0 < minus <= 256.
Bytes32 TwoToTheMinus(int bits, int minus) {
    Bytes32 r{};
    for (int bit = 0; bit < bits; ++bit)
        r[static_cast<std::size_t>(bit / 8)] |= static_cast<std::uint8_t>(1u << (bit % 8));
    r[0] = static_cast<std::uint8_t>(r[0] - (minus - 1));
    return r;
}

// The one encoding of a value: 255 bits, little-endian, of its residue in [0, p).
Bytes32 ToBytes(Fe a) {
    // Three passes leave every limb in [0, 2^17), so 0 <= a < 2^255: the second pass's top carry is
    // -1, 0 or 1, and the third's can only wrap round when every limb above the lowest turned over.
    Carry(a);
    Carry(a);
    Carry(a);
    // a >= p exactly when a + 19 reaches 2^255; then a - p is a + 19 without that bit.
    Fe t = a;
    t.limb[0] += 19;
    for (int i = 0; i + 1 < kLimbs; ++i) {
        t.limb[i + 1] += t.limb[i] >> kLimbBits;
        t.limb[i] &= kLimbMask;
    }
    if (t.limb[kLimbs - 1] >> kLimbBits) {
        t.limb[kLimbs - 1] &= kLimbMask;
        a = t;
    }
    Bytes32 out{};
    for (int bit = 0; bit < 255; ++bit)
        if (a.limb[static_cast<std::size_t>(bit / kLimbBits)] >> (bit % kLimbBits) & 1)
            out[static_cast<std::size_t>(bit / 8)] |= static_cast<std::uint8_t>(1u << (bit % 8));
    return out;
}

// The low 255 bits of 32 little-endian bytes, not reduced.
Fe FromBytes(const Bytes32& bytes) {
    Fe r;
    for (int bit = 0; bit < 255; ++bit)
        if (BitOf(bytes.data(), bit))
            r.limb[static_cast<std::size_t>(bit / kLimbBits)] |= std::int64_t{1} << (bit % kLimbBits);
    return r;
}

bool Equal(const Fe& a, const Fe& b) {
    return ToBytes(a) == ToBytes(b);
}
bool IsZero(const Fe& a) {
    return ToBytes(a) == Bytes32{};
}
// The "sign" of x in an encoding: the lowest bit of its residue.
bool IsOdd(const Fe& a) {
    return (ToBytes(a)[0] & 1) != 0;
}

Fe Invert(const Fe& a) {
    return Pow(a, TwoToTheMinus(255, 21));
} // a^(p-2)

// ---- Points of -x^2 + y^2 = 1 + d x^2 y^2 ----
//
// Extended coordinates: x = X/Z, y = Y/Z, x*y = T/Z. The addition below is complete on this curve
// (any two points, equal ones and the neutral element included).

struct Point {
    Fe x, y, z, t;
};

Point Neutral() {
    return {Fe{}, Small(1), Small(1), Fe{}};
}

struct Curve {
    Fe d;                 // -121665/121666
    Fe d2;                // 2d
    Fe sqrtM1;            // 2^((p-1)/4), a square root of -1
    Bytes32 rootExponent; // (p-5)/8
};

const Curve& TheCurve();

std::optional<Point> Decode(const std::uint8_t* encoding) {
    const Curve& c = TheCurve();
    Bytes32 yBytes;
    std::memcpy(yBytes.data(), encoding, yBytes.size());
    const bool sign = (yBytes[31] & 0x80) != 0;
    yBytes[31] &= 0x7F;
    const Fe y = FromBytes(yBytes);
    if (ToBytes(y) != yBytes)
        return std::nullopt; // y >= p
    // x^2 = u/v with u = y^2 - 1, v = d y^2 + 1 (never 0: d is not a square). The candidate root
    // is u v^3 (u v^7)^((p-5)/8); if it squares to -u/v instead, sqrt(-1) times it is the root.
    const Fe yy = Sqr(y);
    const Fe u = Sub(yy, Small(1));
    const Fe v = Add(Mul(c.d, yy), Small(1));
    const Fe v3 = Mul(Sqr(v), v);
    const Fe v7 = Mul(Sqr(v3), v);
    Fe x = Mul(Mul(u, v3), Pow(Mul(u, v7), c.rootExponent));
    const Fe vxx = Mul(v, Sqr(x));
    if (!Equal(vxx, u)) {
        if (!Equal(vxx, Neg(u)))
            return std::nullopt; // u/v has no square root: no point has this y
        x = Mul(x, c.sqrtM1);
    }
    if (IsZero(x) && sign)
        return std::nullopt;
    if (IsOdd(x) != sign)
        x = Neg(x);
    return Point{x, y, Small(1), Mul(x, y)};
}

Bytes32 Encode(const Point& p) {
    const Fe zInverse = Invert(p.z);
    Bytes32 out = ToBytes(Mul(p.y, zInverse));
    if (IsOdd(Mul(p.x, zInverse)))
        out[31] |= 0x80;
    return out;
}

Point AddPoints(const Point& p, const Point& q) {
    const Fe a = Mul(Sub(p.y, p.x), Sub(q.y, q.x));
    const Fe b = Mul(Add(p.y, p.x), Add(q.y, q.x));
    const Fe c = Mul(Mul(p.t, TheCurve().d2), q.t);
    const Fe d = Mul(Add(p.z, p.z), q.z);
    const Fe e = Sub(b, a), f = Sub(d, c), g = Add(d, c), h = Add(b, a);
    return {Mul(e, f), Mul(g, h), Mul(f, g), Mul(e, h)};
}

Point Double(const Point& p) {
    const Fe a = Sqr(p.x);
    const Fe b = Sqr(p.y);
    const Fe zz = Sqr(p.z);
    const Fe c = Add(zz, zz);
    const Fe h = Add(a, b);
    const Fe e = Sub(h, Sqr(Add(p.x, p.y)));
    const Fe g = Sub(a, b);
    const Fe f = Add(c, g);
    return {Mul(e, f), Mul(g, h), Mul(f, g), Mul(e, h)};
}

Point Negate(const Point& p) {
    return {Neg(p.x), p.y, p.z, Neg(p.t)};
}

const Curve& TheCurve() {
    static const Curve curve = [] {
        Curve c;
        c.d = Mul(Neg(Small(121665)), Invert(Small(121666)));
        c.d2 = Add(c.d, c.d);
        c.sqrtM1 = Pow(Small(2), TwoToTheMinus(253, 5));
        c.rootExponent = TwoToTheMinus(252, 3);
        return c;
    }();
    return curve;
}

// The base point: y = 4/5, x even. Decoded apart from TheCurve(), whose constants decoding needs.
const Point& Base() {
    static const Point base = [] {
        std::array<std::uint8_t, 32> encoding;
        encoding.fill(0x66);
        encoding[0] = 0x58;
        return *Decode(encoding.data());
    }();
    return base;
}

// ---- Scalars, modulo the group order L = 2^252 + 27742317777372353535851937790883648493 ----

constexpr Bytes32 kL = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                        0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

bool Less(const Bytes32& a, const Bytes32& b) {
    for (std::size_t i = a.size(); i-- > 0;)
        if (a[i] != b[i])
            return a[i] < b[i];
    return false;
}

void SubtractL(Bytes32& a) {
    int borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const int v = a[i] - kL[i] - borrow;
        borrow = v < 0 ? 1 : 0;
        a[i] = static_cast<std::uint8_t>(v + 256 * borrow);
    }
}

// The 512-bit little-endian number modulo L, by long division one bit at a time: the remainder
// stays below L < 2^253, so doubling it and adding a bit never leaves 32 bytes.
Bytes32 ReduceModL(const std::array<std::uint8_t, 64>& wide) {
    Bytes32 r{};
    for (int bit = 511; bit >= 0; --bit) {
        unsigned carry = BitOf(wide.data(), bit) ? 1u : 0u;
        for (auto& byte : r) {
            const unsigned v = static_cast<unsigned>(byte) << 1 | carry;
            byte = static_cast<std::uint8_t>(v & 0xFF);
            carry = v >> 8;
        }
        if (!Less(r, kL))
            SubtractL(r);
    }
    return r;
}

const std::uint8_t* Raw(std::string_view bytes) {
    return reinterpret_cast<const std::uint8_t*>(bytes.data());
}

} // namespace

bool IsPublicKey(std::string_view publicKey) {
    return publicKey.size() == kPublicKeySize && Decode(Raw(publicKey)).has_value();
}

bool Verify(std::string_view publicKey, std::string_view message, std::string_view signature) {
    if (publicKey.size() != kPublicKeySize || signature.size() != kSignatureSize)
        return false;
    Bytes32 r, s;
    std::memcpy(r.data(), signature.data(), r.size());
    std::memcpy(s.data(), signature.data() + r.size(), s.size());
    if (!Less(s, kL))
        return false;
    const std::optional<Point> a = Decode(Raw(publicKey));
    if (!a)
        return false;

    platform::Sha512 sha;
    sha.Update(r.data(), r.size());
    sha.Update(publicKey.data(), publicKey.size());
    sha.Update(message.data(), message.size());
    const Bytes32 k = ReduceModL(sha.Finish());

    // [S]B - [k]A, both scalars at once: double per bit from the top, add B and -A where they
    // have a bit. Both are below L < 2^253.
    const Point& base = Base();
    const Point minusA = Negate(*a);
    Point sum = Neutral();
    for (int bit = 252; bit >= 0; --bit) {
        sum = Double(sum);
        if (BitOf(s.data(), bit))
            sum = AddPoints(sum, base);
        if (BitOf(k.data(), bit))
            sum = AddPoints(sum, minusA);
    }
    // An R that is not the canonical encoding of a point never equals an encoding.
    return Encode(sum) == r;
}

} // namespace tw::ed25519
