#pragma once
// Every way a hostile answer could spoil a good (key, message, signature): each must be refused.
#include <string>
#include <vector>

namespace tw::test {

inline std::string FromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

struct SpoiltSignature {
    std::string name, key, message, signature;
};

inline std::vector<SpoiltSignature> Spoil(const std::string& key, const std::string& message,
                                          const std::string& signature) {
    auto flip = [](std::string s, std::size_t at, int bits) {
        s[at] = static_cast<char>(s[at] ^ bits);
        return s;
    };
    // S + L: the same residue, the one malleable form a lax check would take.
    std::string sPlusL = signature;
    const std::string l = FromHex("edd3f55c1a631258d69cf7a2def9de140000000000000000000000000000000010");
    int carry = 0;
    for (std::size_t i = 0; i < 32; ++i) {
        const int v = static_cast<unsigned char>(sPlusL[32 + i]) + static_cast<unsigned char>(l[i]) + carry;
        sPlusL[32 + i] = static_cast<char>(v & 0xFF);
        carry = v >> 8;
    }
    const std::string notAPoint = FromHex("02") + std::string(31, '\0'); // y = 2 has no x
    std::vector<SpoiltSignature> cases = {
        {"a byte more of message", key, message + "x", signature},
        {"flipped bit in R", key, message, flip(signature, 5, 0x10)},
        {"flipped sign bit of R", key, message, flip(signature, 31, 0x80)},
        {"R no point", key, message, notAPoint + signature.substr(32)},
        {"flipped bit in S", key, message, flip(signature, 40, 0x01)},
        {"S + L", key, message, sPlusL},
        {"S with its top bits set", key, message, flip(signature, 63, 0xE0)},
        {"flipped bit in the key", flip(key, 0, 0x01), message, signature},
        {"flipped sign bit of the key", flip(key, 31, 0x80), message, signature},
        {"a key that is no point", notAPoint, message, signature},
        {"short signature", key, message, signature.substr(0, 63)},
        {"long signature", key, message, signature + '\0'},
        {"no signature", key, message, ""},
        {"short key", key.substr(0, 31), message, signature},
        {"long key", key + '\0', message, signature},
    };
    if (!message.empty())
        cases.push_back({"flipped bit in the message", key, flip(message, message.size() / 2, 0x04), signature});
    return cases;
}

} // namespace tw::test
