#include "vlx/settings/scramble.h"

#include <cstdint>
#include <cstring>

namespace vlx {
namespace {

// No I, O, 0 or 1: the text survives being copied by hand.
constexpr char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
static_assert(sizeof(kAlphabet) == 33);

constexpr char kSeedText[] = "Vigilux sky station";
constexpr uint32_t kSeedStart = 0x5A17C3E1u;
constexpr uint64_t kSquareModulus = 2147483629u;  // prime below 2^31
constexpr uint64_t kSquareOffset = 40503u;
constexpr uint32_t kSquareStart = 0x2F6B9D3u;

uint32_t Seed() {
    uint32_t s = kSeedStart;
    for (size_t i = 0; kSeedText[i]; ++i) s += static_cast<uint32_t>(i) * static_cast<uint8_t>(kSeedText[i]);
    return s;
}

class Keystream {
public:
    Keystream() : lcg_(Seed()), sq_(kSquareStart) {}
    uint8_t Next() {
        lcg_ = lcg_ * 1664525u + 1013904223u;
        sq_ = static_cast<uint32_t>((static_cast<uint64_t>(sq_) * sq_) % kSquareModulus + kSquareOffset);
        return static_cast<uint8_t>((lcg_ + sq_) & 0xFF);
    }

private:
    uint32_t lcg_;
    uint32_t sq_;
};

int SymbolIndex(char c) {
    const char* p = c ? std::strchr(kAlphabet, c) : nullptr;
    return p ? static_cast<int>(p - kAlphabet) : -1;
}

}  // namespace

std::string Scramble(const std::string& plain) {
    Keystream ks;
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    size_t n = plain.size() < kScrambleMaxPlain ? plain.size() : kScrambleMaxPlain;
    for (size_t i = 0; i < n; ++i) {
        acc = (acc << 8) | (static_cast<uint8_t>(plain[i]) ^ ks.Next());
        bits += 8;
        while (bits >= 5) {
            bits -= 5;
            out.push_back(kAlphabet[(acc >> bits) & 31u]);
        }
        acc &= (1u << bits) - 1u;
    }
    if (bits > 0) {
        // Complete the last symbol with the high bits of one more keystream byte.
        uint32_t fill = ks.Next() >> (8 - (5 - bits));
        out.push_back(kAlphabet[((acc << (5 - bits)) | fill) & 31u]);
    }
    return out;
}

std::string Unscramble(const char* symbols, size_t capacity) {
    std::string out;
    if (!symbols || capacity == 0) return out;
    Keystream ks;
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; symbols[i]; ++i) {
        int v = SymbolIndex(symbols[i]);
        if (v < 0) break;
        acc = (acc << 5) | static_cast<uint32_t>(v);
        bits += 5;
        if (bits >= 8) {
            bits -= 8;
            if (out.size() + 1 >= capacity) break;
            out.push_back(static_cast<char>(((acc >> bits) & 0xFFu) ^ ks.Next()));
            acc &= (1u << bits) - 1u;
        }
    }
    return out;
}

}  // namespace vlx
