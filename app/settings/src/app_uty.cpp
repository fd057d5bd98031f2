#include "vlx/settings/app_uty.h"

#include <cstdio>
#include <cstring>

#include "vlx/app/report.h"
#include "vlx/settings/scramble.h"

namespace vlx {
namespace {

uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void WriteLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

bool KeyMatches(const uint8_t* record_key, const char* key) {
    // Stored keys are cut to 15 characters; compare over at most that many.
    for (size_t i = 0; i < CAppUty::kKeyChars; ++i) {
        char a = static_cast<char>(record_key[i]);
        char b = key[i];
        if (a != b) return false;
        if (a == '\0') return true;
    }
    return true;
}

}  // namespace

CAppUty::CAppUty(std::string program_dir) : program_dir_(std::move(program_dir)) {}

std::string CAppUty::ResolvePath(const char* path) const {
    if (path[0] == '/' || program_dir_.empty()) return path;
    return program_dir_ + "/" + path;
}

int CAppUty::Load(const char* path) {
    std::FILE* f = std::fopen(ResolvePath(path).c_str(), "rb");
    if (!f) return 0;
    size_t n = std::fread(buf_, 1, kBufferSize, f);
    std::fclose(f);
    if (n == 0) return 0;
    loaded_end_ = n;
    has_loaded_ = true;
    return static_cast<int>(n);
}

void CAppUty::Begin() {
    cursor_ = 0;
    has_cursor_ = true;
}

int CAppUty::PutRecord(const char* key, const void* bytes, size_t n) {
    if (!has_cursor_ || cursor_ >= kAppendLimit) {
        FatalBox("UE0103: bp exceeds limit (%zu)", has_cursor_ ? cursor_ : static_cast<size_t>(0));
    }
    size_t stored = (n + 3) & ~static_cast<size_t>(3);
    if (stored > kBufferSize - kHeaderBytes - cursor_) {
        FatalBox("UE0103: bp exceeds limit (%zu)", cursor_);
    }
    uint8_t* p = buf_ + cursor_;
    std::memset(p, 0, kHeaderBytes + stored);
    for (size_t i = 0; i < kKeyChars && key[i]; ++i) p[i] = static_cast<uint8_t>(key[i]);
    WriteLe32(p + kKeyBytes, static_cast<uint32_t>(stored));
    if (n) std::memcpy(p + kHeaderBytes, bytes, n);
    cursor_ += kHeaderBytes + stored;
    return static_cast<int>(stored);
}

int CAppUty::PutInt(const char* key, int32_t value) {
    uint8_t b[4];
    WriteLe32(b, static_cast<uint32_t>(value));
    return PutRecord(key, b, 4);
}

int CAppUty::PutDouble(const char* key, double value) {
    static_assert(sizeof(double) == 8);
    return PutRecord(key, &value, 8);
}

int CAppUty::PutString(const char* key, const char* text) {
    return PutRecord(key, text, std::strlen(text) + 1);
}

int CAppUty::Save(const char* path) {
    if (!has_cursor_ || cursor_ > kBufferSize) FatalBox("CAppUty:invalid bp");
    // Write beside the target and rename, so a failure mid-write (full disk)
    // leaves the previous file intact.
    std::string target = ResolvePath(path);
    std::string tmp = target + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    bool ok = f != nullptr;
    if (ok) {
        ok = std::fwrite(buf_, 1, cursor_, f) == cursor_;
        ok = (std::fclose(f) == 0) && ok;
        ok = ok && std::rename(tmp.c_str(), target.c_str()) == 0;
        if (!ok) std::remove(tmp.c_str());
    }
    has_cursor_ = false;
    if (!ok) {
        ErrorBox("UE070: Cannot write %s", path);
        return 0;
    }
    return 1;
}

const uint8_t* CAppUty::Find(const char* key, uint32_t* length) const {
    if (!has_loaded_) FatalBox("UE0104: rp invalid");
    size_t pos = 0;
    while (pos + kHeaderBytes <= loaded_end_) {
        const uint8_t* rec = buf_ + pos;
        uint32_t len = ReadLe32(rec + kKeyBytes);
        // A length that runs past the loaded bytes ends the walk.
        if (len > loaded_end_ - pos - kHeaderBytes) return nullptr;
        if (KeyMatches(rec, key)) {
            *length = len;
            return rec + kHeaderBytes;
        }
        pos += kHeaderBytes + len;
    }
    return nullptr;
}

bool CAppUty::WellFormed() const {
    if (!has_loaded_) return false;
    size_t pos = 0;
    while (pos + kHeaderBytes <= loaded_end_) {
        const uint8_t* rec = buf_ + pos;
        const uint32_t len = ReadLe32(rec + kKeyBytes);
        if (rec[0] == '\0' || rec[kKeyChars] != '\0' || len % 4 != 0 || len > loaded_end_ - pos - kHeaderBytes) {
            return false;
        }
        pos += kHeaderBytes + len;
    }
    return pos == loaded_end_;
}

int CAppUty::GetRecord(const char* key, void* dest, size_t capacity) {
    uint32_t len = 0;
    const uint8_t* data = Find(key, &len);
    if (!data) return 0;
    if (len > capacity) {
        ErrorBox("UE0105: invalid length (%s: %u bytes, at most %zu) ... ignored", key, len, capacity);
        return 0;
    }
    if (len) std::memcpy(dest, data, len);
    return static_cast<int>(len);
}

int CAppUty::GetString(const char* key, char* dest, size_t capacity) {
    uint32_t len = 0;
    const uint8_t* data = Find(key, &len);
    if (!data || capacity == 0) return 0;
    if (len > capacity) {
        ErrorBox("UE0105: invalid length (%s: %u bytes, at most %zu) ... ignored", key, len, capacity);
        return 0;
    }
    // A record without its NUL is cut rather than read past.
    size_t n = strnlen(reinterpret_cast<const char*>(data), len);
    if (n >= capacity) n = capacity - 1;
    std::memcpy(dest, data, n);
    dest[n] = '\0';
    return static_cast<int>(len);
}

int CAppUty::GetRecordKeep(const char* key, char* dest, size_t capacity) {
    uint32_t len = 0;
    const uint8_t* data = Find(key, &len);
    if (!data || capacity == 0) return 0;
    if (len == 0 || data[0] == '\0') {
        if (dest[0] != '\0') return static_cast<int>(len);
    }
    return GetString(key, dest, capacity);
}

int CAppUty::GetInt(const char* key, int32_t* value) {
    uint32_t len = 0;
    const uint8_t* data = Find(key, &len);
    if (!data) return 0;
    if (len != 4) {
        ErrorBox("UE0105: invalid length (%s: %u bytes, at most 4) ... ignored", key, len);
        return 0;
    }
    *value = static_cast<int32_t>(ReadLe32(data));
    return 4;
}

int CAppUty::GetDouble(const char* key, double* value) {
    uint32_t len = 0;
    const uint8_t* data = Find(key, &len);
    if (!data) return 0;
    if (len != 8) {
        ErrorBox("UE0105: invalid length (%s: %u bytes, at most 8) ... ignored", key, len);
        return 0;
    }
    std::memcpy(value, data, 8);
    return 8;
}

int CAppUty::PutScrambled(const char* key, const char* plain) {
    return PutString(key, Scramble(plain).c_str());
}

int CAppUty::GetScrambled(const char* key, char* dest, size_t capacity) {
    char symbols[kScrambleSymbolCap] = {};
    symbols[0] = '\0';
    if (GetString(key, symbols, sizeof symbols) == 0) return 0;
    std::string plain = Unscramble(symbols, capacity);
    std::memcpy(dest, plain.c_str(), plain.size() + 1);
    return static_cast<int>(plain.size());
}

}  // namespace vlx
