#include "vlx/notify/mail.h"

namespace vlx {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kGroupsPerLine = 19;  // 76 characters

}  // namespace

size_t Base64EncodedSize(size_t n) {
    size_t groups = n / 3;
    return (groups + (n % 3 ? 1 : 0)) * 4 + (groups / kGroupsPerLine) * 2;
}

size_t Base64Encode(const uint8_t* bytes, size_t n, char* out) {
    if (!bytes || !out) return 0;
    char* o = out;
    const size_t groups = n / 3;
    const uint8_t* p = bytes;
    for (size_t g = 1; g <= groups; ++g, p += 3) {
        const uint32_t v = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
        if (g % kGroupsPerLine == 0) {
            *o++ = '\r';
            *o++ = '\n';
        }
    }
    const size_t rest = n % 3;
    if (rest) {
        const uint32_t v = (uint32_t{p[0]} << 16) | (rest == 2 ? uint32_t{p[1]} << 8 : 0);
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
    return static_cast<size_t>(o - out);
}

}  // namespace vlx
