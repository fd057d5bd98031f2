// The key/value record file behind the settings file and the profiles.
//
// A file is a plain concatenation of records: a 16-byte key (its first 15
// characters, NUL padded), an unsigned 32-bit little-endian length that is a
// multiple of four, then that many data bytes. One object serves both reading
// and writing with a single 10240-byte buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vlx {

class CAppUty {
public:
    static constexpr size_t kBufferSize = 10240;
    static constexpr size_t kAppendLimit = 9196;  // a 1024-byte string record always fits below it
    static constexpr size_t kKeyBytes = 16;
    static constexpr size_t kKeyChars = 15;
    static constexpr size_t kHeaderBytes = kKeyBytes + 4;

    // Relative paths are taken from program_dir.
    explicit CAppUty(std::string program_dir = std::string());

    void set_program_dir(std::string dir) { program_dir_ = std::move(dir); }
    std::string ResolvePath(const char* path) const;

    // Reads at most 10240 bytes; returns the count, 0 when the file can't be
    // opened (not reported here).
    int Load(const char* path);

    void Begin();
    // Appends one record; returns the stored (padded) length. Appending with
    // 9196 or more bytes used, or outside Begin..Save, is a programming error
    // and fatal.
    int PutRecord(const char* key, const void* bytes, size_t n);
    int PutInt(const char* key, int32_t value);
    int PutDouble(const char* key, double value);
    int PutString(const char* key, const char* text);
    // Writes the built records; 1 on success, 0 after reporting "UE070".
    int Save(const char* path);

    // Copies the first matching record (key compared over 15 characters) into
    // dest and returns its length; 0 and dest unchanged when no record
    // matches. A record longer than capacity is reported and skipped (treated
    // as absent) rather than ending the program: a damaged or hand-edited file
    // must not stop a station at every start.
    int GetRecord(const char* key, void* dest, size_t capacity);
    // As GetRecord for strings, but an empty stored string does not replace a
    // non-empty destination. The result is always NUL terminated.
    int GetRecordKeep(const char* key, char* dest, size_t capacity);
    // Typed reads: the record must be exactly 4 or 8 bytes long.
    int GetInt(const char* key, int32_t* value);
    int GetDouble(const char* key, double* value);
    // String read that always NUL-terminates within capacity.
    int GetString(const char* key, char* dest, size_t capacity);

    // Scrambled strings (server names, accounts, passwords, addresses).
    int PutScrambled(const char* key, const char* plain);
    // Returns the plain text length; dest unchanged when the key is absent.
    int GetScrambled(const char* key, char* dest, size_t capacity);

    // True when the loaded bytes are whole records end to end, each key
    // NUL-terminated within its 16 bytes and each length a multiple of four.
    bool WellFormed() const;

    size_t used() const { return has_cursor_ ? cursor_ : 0; }
    size_t loaded() const { return has_loaded_ ? loaded_end_ : 0; }
    const uint8_t* buffer() const { return buf_; }

private:
    // Finds the first record with this key; nullptr when absent.
    const uint8_t* Find(const char* key, uint32_t* length) const;

    std::string program_dir_;
    uint8_t buf_[kBufferSize] = {};
    size_t cursor_ = 0;
    bool has_cursor_ = false;
    size_t loaded_end_ = 0;
    bool has_loaded_ = false;
};

}  // namespace vlx
