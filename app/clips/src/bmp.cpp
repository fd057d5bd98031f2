#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_util.h"
#include "vlx/app/report.h"
#include "vlx/clips/records.h"

namespace vlx {
namespace {

constexpr int kHeaderBytes = 54;
constexpr int kMaxSide = 16384;

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

bool WriteBmp24(const std::string& path, const uint8_t* rgb, int width, int height) {
    if (!rgb || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return false;
    const uint32_t data_bytes = static_cast<uint32_t>(width) * static_cast<uint32_t>(height) * 3u;

    uint8_t header[kHeaderBytes] = {};
    header[0] = 'B';
    header[1] = 'M';
    Put32(header + 2, kHeaderBytes + data_bytes);
    Put32(header + 10, kHeaderBytes);
    Put32(header + 14, 40);
    Put32(header + 18, static_cast<uint32_t>(width));
    Put32(header + 22, static_cast<uint32_t>(height));
    Put16(header + 26, 1);
    Put16(header + 28, 24);

    clips_detail::AtomicFile file;
    if (!file.Open(path)) return false;  // cannot be created: no message
    if (file.Write(header, sizeof header) != sizeof header || file.Write(rgb, data_bytes) != data_bytes) {
        file.Abort();
        ErrorBox(" UM083 cannot save image Please set correct Xi Yi");
        return false;
    }
    if (!file.Commit()) {
        ErrorBox(" UM083 cannot save image Please set correct Xi Yi");
        return false;
    }
    return true;
}

BmpReadStatus ReadBmp24(const std::string& path, Bmp24& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return BmpReadStatus::kCannotOpen;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return BmpReadStatus::kCannotOpen;
    }
    const uint64_t file_size = static_cast<uint64_t>(st.st_size);

    auto read_at = [fd](uint64_t offset, void* dst, size_t n) {
        size_t done = 0;
        auto* d = static_cast<uint8_t*>(dst);
        while (done < n) {
            ssize_t r = ::pread(fd, d + done, n - done, static_cast<off_t>(offset + done));
            if (r <= 0) break;
            done += static_cast<size_t>(r);
        }
        return done;
    };

    uint8_t h[kHeaderBytes];
    BmpReadStatus status = BmpReadStatus::kOk;
    if (read_at(0, h, sizeof h) != sizeof h) {
        status = BmpReadStatus::kTruncated;
    } else if (h[0] != 'B' || h[1] != 'M' || Get32(h + 14) < 40 || Get16(h + 28) != 24 || Get32(h + 30) != 0) {
        status = BmpReadStatus::kBadFormat;
    }
    const uint32_t offset = Get32(h + 10);
    const int32_t width = static_cast<int32_t>(Get32(h + 18));
    const int32_t raw_height = static_cast<int32_t>(Get32(h + 22));
    if (status == BmpReadStatus::kOk) {
        if (offset < kHeaderBytes || width <= 0 || width > kMaxSide || raw_height == 0 || raw_height < -kMaxSide ||
            raw_height > kMaxSide) {
            status = BmpReadStatus::kBadFormat;
        }
    }
    if (status != BmpReadStatus::kOk) {
        ::close(fd);
        return status;
    }
    const bool top_down = raw_height < 0;
    const int height = top_down ? -raw_height : raw_height;
    const size_t row = static_cast<size_t>(width) * 3;
    const size_t padded_row = (row + 3) & ~static_cast<size_t>(3);
    const uint64_t available = offset < file_size ? file_size - offset : 0;
    // Our own files have unpadded rows; other programs pad each row to four
    // bytes. The two agree whenever the width is a multiple of four.
    size_t stride = 0;
    if (available >= static_cast<uint64_t>(padded_row) * height) {
        stride = padded_row;
    } else if (available >= static_cast<uint64_t>(row) * height) {
        stride = row;
    } else {
        ::close(fd);
        return BmpReadStatus::kTruncated;
    }

    out.width = width;
    out.height = height;
    out.pixels.resize(row * height);
    bool ok = true;
    if (stride == row && !top_down) {
        ok = read_at(offset, out.pixels.data(), out.pixels.size()) == out.pixels.size();
    } else {
        for (int r = 0; r < height && ok; ++r) {
            int dst_row = top_down ? height - 1 - r : r;
            ok = read_at(offset + static_cast<uint64_t>(r) * stride, out.pixels.data() + dst_row * row, row) == row;
        }
    }
    ::close(fd);
    if (!ok) {
        out = Bmp24{};
        return BmpReadStatus::kTruncated;
    }
    return BmpReadStatus::kOk;
}

}  // namespace vlx
