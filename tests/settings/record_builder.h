// Builds record files byte by byte, independently of the code under test, the
// way another program following the record format would.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vlx::test {

class RecordFile {
public:
    RecordFile& Raw(const std::string& key16, uint32_t length, const std::vector<uint8_t>& data) {
        std::string k = key16;
        k.resize(16, '\0');
        bytes.insert(bytes.end(), k.begin(), k.end());
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(length >> (8 * i)));
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }
    RecordFile& Int(const std::string& key, int32_t v) {
        std::vector<uint8_t> d(4);
        for (int i = 0; i < 4; ++i) d[i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
        return Raw(key.substr(0, 15), 4, d);
    }
    RecordFile& Dbl(const std::string& key, double v) {
        std::vector<uint8_t> d(8);
        std::memcpy(d.data(), &v, 8);
        return Raw(key.substr(0, 15), 8, d);
    }
    RecordFile& Str(const std::string& key, const std::string& s) {
        std::vector<uint8_t> d(s.begin(), s.end());
        d.push_back(0);
        while (d.size() % 4) d.push_back(0);
        return Raw(key.substr(0, 15), static_cast<uint32_t>(d.size()), d);
    }
    std::vector<uint8_t> bytes;
};

}  // namespace vlx::test
