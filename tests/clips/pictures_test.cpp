// Pictures: the BMP format byte by byte, the snapshot and map conversions,
// JPEGs read by an independent decoder, and the thumbnail's box geometry.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "capture_reporter.h"
#include "clips_test_util.h"
#include "test_support.h"
#include "vlx/clips/records.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint32_t Le16(const std::vector<uint8_t>& b, size_t at) { return b[at] | (b[at + 1] << 8); }

// A picture decoded by djpeg, top row first, R G B.
struct Decoded {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* At(int x, int y) const { return rgb.data() + (static_cast<size_t>(y) * width + x) * 3; }
};

Decoded DecodeJpeg(const std::string& path) {
    Decoded d;
    std::string ppm = test::RunCommand("djpeg -pnm '" + path + "' 2>/dev/null");
    int maxval = 0, consumed = 0;
    if (std::sscanf(ppm.c_str(), "P6 %d %d %d%n", &d.width, &d.height, &maxval, &consumed) != 3) return Decoded{};
    size_t start = static_cast<size_t>(consumed) + 1;
    d.rgb.assign(ppm.begin() + static_cast<long>(start), ppm.end());
    if (d.rgb.size() != static_cast<size_t>(d.width) * d.height * 3) return Decoded{};
    return d;
}

class PictureTest : public ::testing::Test {
protected:
    void SetUpSize(int cx, int cy) {
        ctx_.dp.cx = cx;
        ctx_.dp.cy = cy;
        ctx_.dp.pixels = (cx * cy + 3) / 4 * 4;
        ctx_.dp.frame_bytes = 2 * ctx_.dp.pixels;
        snapshot_.assign(ctx_.dp.frame_bytes, 0);
        ctx_.dp.snapshot = snapshot_.data();
        ASSERT_TRUE(EnsureRgbBuffer(ctx_));
    }
    // Stored (bottom-up) pixel of the RGB buffer at picture row y from the top.
    const uint8_t* Pixel(int x, int y) const {
        return ctx_.rgb.data() + (static_cast<size_t>(ctx_.rgb_cy - 1 - y) * ctx_.rgb_cx + x) * 3;
    }

    test::TempDir dir_;
    test::CaptureReporter reporter_;
    AppContext ctx_;
    std::vector<uint8_t> snapshot_;
};

TEST_F(PictureTest, RgbBufferIsSizedOnceAndKept) {
    SetUpSize(64, 48);
    EXPECT_EQ(ctx_.rgb.size(), 64u * 48 * 3);
    ctx_.rgb[5] = 77;
    const uint8_t* before = ctx_.rgb.data();
    ASSERT_TRUE(EnsureRgbBuffer(ctx_));
    EXPECT_EQ(ctx_.rgb.data(), before);
    EXPECT_EQ(ctx_.rgb[5], 77);
    ctx_.dp.cx = 0;
    EXPECT_FALSE(EnsureRgbBuffer(ctx_));
}

TEST_F(PictureTest, YuyStillOf640x480IsTheExactBmpLayout) {
    SetUpSize(640, 480);
    ctx_.dp.subtype = kSubtypeYUY2;
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            snapshot_[2 * (y * 640 + x)] = static_cast<uint8_t>(y % 200 + (x == 0 ? 50 : 0));
            snapshot_[2 * (y * 640 + x) + 1] = 128;
        }
    }
    ASSERT_TRUE(SnapshotToRgb(ctx_));
    const std::string path = dir_ / "MS.bmp";
    ASSERT_TRUE(WriteBmp24(path, ctx_.rgb.data(), 640, 480));

    std::vector<uint8_t> b = test::ReadFileBytes(path);
    ASSERT_EQ(b.size(), 921654u);
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(Le32(b, 2), 921654u);
    EXPECT_EQ(Le32(b, 6), 0u);
    EXPECT_EQ(Le32(b, 10), 54u);
    EXPECT_EQ(Le32(b, 14), 40u);
    EXPECT_EQ(Le32(b, 18), 640u);
    EXPECT_EQ(Le32(b, 22), 480u);
    EXPECT_EQ(Le16(b, 26), 1u);
    EXPECT_EQ(Le16(b, 28), 24u);
    for (size_t i = 30; i < 54; ++i) EXPECT_EQ(b[i], 0) << "header byte " << i;
    // The first stored row is the snapshot's bottom row (y = 479, luma 79).
    EXPECT_EQ(b[54], 79 + 50);
    EXPECT_EQ(b[54 + 3], 79);
    EXPECT_EQ(b[54 + 3 * 639 + 2], 79);
    // The last stored row is its top row (luma 0).
    EXPECT_EQ(b[54 + 479 * 1920 + 3], 0);
    EXPECT_EQ(b[54 + 479 * 1920], 50);
    // No file is left under another name.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

TEST_F(PictureTest, BmpReaderHonoursOffsetPaddingAndOrientation) {
    // Ours: width 3 (9-byte rows, unpadded), read back exactly.
    const uint8_t px[3 * 2 * 3] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    ASSERT_TRUE(WriteBmp24(dir_ / "a.bmp", px, 3, 2));
    EXPECT_EQ(test::ReadFileBytes(dir_ / "a.bmp").size(), 54u + 18);
    Bmp24 bmp;
    ASSERT_EQ(ReadBmp24(dir_ / "a.bmp", bmp), BmpReadStatus::kOk);
    EXPECT_EQ(bmp.width, 3);
    EXPECT_EQ(bmp.height, 2);
    EXPECT_EQ(bmp.pixels, std::vector<uint8_t>(px, px + 18));

    // Another program's: palette gap before the pixels, rows padded to 12
    // bytes, stored top-down.
    std::vector<uint8_t> f = test::ReadFileBytes(dir_ / "a.bmp");
    std::vector<uint8_t> other(f.begin(), f.begin() + 54);
    other[10] = 0x36;
    other[11] = 0x04;  // offset 1078
    const int32_t minus2 = -2;
    std::memcpy(&other[22], &minus2, 4);
    other.resize(1078, 0xEE);
    const uint8_t top[12] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 0, 0, 0};
    const uint8_t bottom[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0};
    other.insert(other.end(), top, top + 12);
    other.insert(other.end(), bottom, bottom + 12);
    test::WriteFileBytes(dir_ / "b.bmp", other.data(), other.size());
    ASSERT_EQ(ReadBmp24(dir_ / "b.bmp", bmp), BmpReadStatus::kOk);
    EXPECT_EQ(bmp.pixels, std::vector<uint8_t>(px, px + 18));

    EXPECT_EQ(ReadBmp24(dir_ / "missing.bmp", bmp), BmpReadStatus::kCannotOpen);
    EXPECT_EQ(ReadBmp24(dir_.str(), bmp), BmpReadStatus::kCannotOpen);
    test::WriteFileBytes(dir_ / "short.bmp", other.data(), 1078 + 12);
    EXPECT_EQ(ReadBmp24(dir_ / "short.bmp", bmp), BmpReadStatus::kTruncated);
    other[28] = 8;
    test::WriteFileBytes(dir_ / "pal.bmp", other.data(), other.size());
    EXPECT_EQ(ReadBmp24(dir_ / "pal.bmp", bmp), BmpReadStatus::kBadFormat);
}

TEST_F(PictureTest, UnwritableTargetsLeaveNothingBehind) {
    std::vector<uint8_t> px(64 * 48 * 3, 9);
    // Folder missing, or a file where the folder should be: no file, no message.
    EXPECT_FALSE(WriteBmp24(dir_ / "missing/M.bmp", px.data(), 64, 48));
    test::WriteFileBytes(dir_ / "plain", "x", 1);
    EXPECT_FALSE(WriteBmp24(dir_ / "plain/M.bmp", px.data(), 64, 48));
    EXPECT_FALSE(WriteJpegFromRgb(dir_ / "plain/S.jpg", px.data(), 64, 48));
    EXPECT_TRUE(reporter_.errors().empty());
}

TEST_F(PictureTest, FullDiskReportsUm083AndLeavesNoPartialFile) {
    // A file size limit stands in for a full disk: writes past it fail.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 100000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::vector<uint8_t> px(640 * 480 * 3, 9);
    const bool ok = WriteBmp24(dir_ / "MS.bmp", px.data(), 640, 480);
    const bool jpeg_ok = WriteJpegFromRgb(dir_ / "noise.jpg", px.data(), 640, 480, 100);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(jpeg_ok);  // small enough to fit
    EXPECT_EQ(reporter_.errors(), std::vector<std::string>{" UM083 cannot save image Please set correct Xi Yi"});
    EXPECT_FALSE(fs::exists(dir_ / "MS.bmp"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

// One pixel per chroma pair checked against hand-computed results, chosen so
// that every coefficient one off changes the answer:
// Y 212, U 139, V 87 -> B 231 (231992), G 237 (237990), R 155 (155018);
// Y 169, U 47, V 57 -> B 25 (25968), G 248 (248558), R 69 (69958).
struct SampleCase {
    const char* name;
    Guid subtype;
    // Byte positions in a 4 x 2 frame of pixel (0,0) and pixel (3,1): Y, U, V.
    int p0[3];
    int p1[3];
};

TEST_F(PictureTest, SnapshotSamplesAndFormulasForEverySubtype) {
    const SampleCase cases[] = {
        {"I420", kSubtypeI420, {0, 8, 10}, {7, 9, 11}},
        {"IYUV", kSubtypeIYUV, {0, 8, 10}, {7, 9, 11}},
        {"YV12", kSubtypeYV12, {0, 10, 8}, {7, 11, 9}},
        {"YUY2", kSubtypeYUY2, {0, 1, 3}, {14, 13, 15}},
        {"UYVY", kSubtypeUYVY, {1, 0, 2}, {15, 12, 14}},
    };
    for (const SampleCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUpSize(4, 2);
        ctx_.dp.subtype = c.subtype;
        snapshot_[c.p0[0]] = 212;
        snapshot_[c.p0[1]] = 139;
        snapshot_[c.p0[2]] = 87;
        snapshot_[c.p1[0]] = 169;
        snapshot_[c.p1[1]] = 47;
        snapshot_[c.p1[2]] = 57;
        ASSERT_TRUE(SnapshotToRgb(ctx_));
        EXPECT_EQ(std::vector<uint8_t>(Pixel(0, 0), Pixel(0, 0) + 3), (std::vector<uint8_t>{231, 237, 155}));
        EXPECT_EQ(std::vector<uint8_t>(Pixel(3, 1), Pixel(3, 1) + 3), (std::vector<uint8_t>{25, 248, 69}));
        // Picture row 1 from the top is stored first.
        EXPECT_EQ(ctx_.rgb[9 + 2], 69);
    }

    // 5 x 3 planar: chroma planes of 3 x 2 (at 15 and 21), so the last
    // column and row have chroma of their own.
    for (auto [g, u, v] : {std::tuple{kSubtypeI420, 15, 21}, std::tuple{kSubtypeYV12, 21, 15}}) {
        SetUpSize(5, 3);
        ctx_.dp.subtype = g;
        snapshot_[0] = 212;
        snapshot_[u] = 139;
        snapshot_[v] = 87;
        snapshot_[14] = 169;  // pixel (4,2): chroma sample (2,1)
        snapshot_[u + 5] = 47;
        snapshot_[v + 5] = 57;
        ASSERT_TRUE(SnapshotToRgb(ctx_));
        EXPECT_EQ(std::vector<uint8_t>(Pixel(0, 0), Pixel(0, 0) + 3), (std::vector<uint8_t>{231, 237, 155}));
        EXPECT_EQ(std::vector<uint8_t>(Pixel(4, 2), Pixel(4, 2) + 3), (std::vector<uint8_t>{25, 248, 69}));
    }

    for (Guid g : {kSubtypeRGB8, kSubtypeY800}) {
        SetUpSize(4, 2);
        ctx_.dp.subtype = g;
        for (int i = 0; i < 8; ++i) snapshot_[i] = static_cast<uint8_t>(10 * i + 1);
        ASSERT_TRUE(SnapshotToRgb(ctx_));
        EXPECT_EQ(std::vector<uint8_t>(Pixel(3, 1), Pixel(3, 1) + 3), (std::vector<uint8_t>{71, 71, 71}));
        EXPECT_EQ(std::vector<uint8_t>(Pixel(1, 0), Pixel(1, 0) + 3), (std::vector<uint8_t>{11, 11, 11}));
    }

    // Neutral chroma reproduces the luma exactly; saturated values clamp.
    SetUpSize(2, 2);
    ctx_.dp.subtype = kSubtypeYUY2;
    const uint8_t frame[8] = {16, 128, 235, 128, 182, 51, 255, 72};
    std::memcpy(snapshot_.data(), frame, 8);
    ASSERT_TRUE(SnapshotToRgb(ctx_));
    EXPECT_EQ(std::vector<uint8_t>(Pixel(0, 0), Pixel(0, 0) + 3), (std::vector<uint8_t>{16, 16, 16}));
    EXPECT_EQ(std::vector<uint8_t>(Pixel(1, 0), Pixel(1, 0) + 3), (std::vector<uint8_t>{235, 235, 235}));
    // Y 182, U 51, V 72 -> B 46 (46056), G 248 (248972), R 103 (103988).
    EXPECT_EQ(std::vector<uint8_t>(Pixel(0, 1), Pixel(0, 1) + 3), (std::vector<uint8_t>{46, 248, 103}));
    // Y 255 with the same chroma: G 322 clamps to 255.
    EXPECT_EQ(std::vector<uint8_t>(Pixel(1, 1), Pixel(1, 1) + 3), (std::vector<uint8_t>{119, 255, 176}));
}

TEST_F(PictureTest, SnapshotOfUnknownOrShortFormatLeavesThePicture) {
    SetUpSize(4, 2);
    std::fill(ctx_.rgb.begin(), ctx_.rgb.end(), 42);
    ctx_.dp.subtype = kSubtypeDvsd;
    EXPECT_FALSE(SnapshotToRgb(ctx_));
    ctx_.dp.subtype = kSubtypeYUY2;
    ctx_.dp.frame_bytes = 15;  // one byte short of 4 x 2 YUY2
    EXPECT_FALSE(SnapshotToRgb(ctx_));
    ctx_.dp.snapshot = nullptr;
    ctx_.dp.frame_bytes = 16;
    EXPECT_FALSE(SnapshotToRgb(ctx_));
    EXPECT_EQ(ctx_.rgb, std::vector<uint8_t>(24, 42));
}

TEST_F(PictureTest, MapChannelsAndRowOrder) {
    SetUpSize(3, 2);
    std::vector<uint8_t> mask_alloc(ctx_.dp.pixels + 2 * 3, 0), hits(ctx_.dp.pixels, 0);
    std::vector<uint32_t> avr(ctx_.dp.pixels, 0);
    ctx_.dp.mask_alloc = mask_alloc.data();
    ctx_.dp.mask = mask_alloc.data() + 3;
    ctx_.dp.hit_map = hits.data();
    ctx_.dp.avr_map = avr.data();
    ctx_.dp.mask[0] = 2;
    avr[0] = 16384 * 100 + 8191;  // rounds down to 100
    hits[0] = 255;
    ctx_.dp.mask[4] = 1;
    avr[4] = 16384 * 100 + 8192;  // rounds up to 101
    hits[4] = 37;
    avr[5] = 0xFFFFFFFFu;  // saturates
    ctx_.dp.clip_started = 1;
    ASSERT_TRUE(MapToRgb(ctx_));
    EXPECT_EQ(std::vector<uint8_t>(Pixel(0, 0), Pixel(0, 0) + 3), (std::vector<uint8_t>{2, 100, 255}));
    EXPECT_EQ(std::vector<uint8_t>(Pixel(1, 1), Pixel(1, 1) + 3), (std::vector<uint8_t>{1, 101, 37}));
    EXPECT_EQ(Pixel(2, 1)[1], 255);
    EXPECT_EQ(ctx_.rgb[9], 2);  // picture row 0 is the second stored row
    EXPECT_EQ(ctx_.dp.clip_started, 0);
}

TEST_F(PictureTest, JpegsDecodeWithDjpegTheRightWayUp) {
    // Top half red, bottom half blue, in picture terms.
    const int W = 64, H = 48;
    std::vector<uint8_t> px(W * H * 3);
    for (int stored = 0; stored < H; ++stored) {
        const bool top = stored >= H / 2;
        for (int x = 0; x < W; ++x) {
            uint8_t* p = &px[(stored * W + x) * 3];
            p[0] = top ? 0 : 255;
            p[1] = 0;
            p[2] = top ? 255 : 0;
        }
    }
    ASSERT_TRUE(WriteJpegFromRgb(dir_ / "mem.jpg", px.data(), W, H));
    ASSERT_TRUE(WriteBmp24(dir_ / "MS.bmp", px.data(), W, H));
    ASSERT_TRUE(WriteJpegFromBmp(dir_ / "MS.bmp", dir_ / "MS.jpg"));
    for (const char* name : {"mem.jpg", "MS.jpg"}) {
        SCOPED_TRACE(name);
        Decoded d = DecodeJpeg(dir_ / name);
        ASSERT_EQ(d.width, W);
        ASSERT_EQ(d.height, H);
        EXPECT_GT(d.At(10, 5)[0], 230);  // red at the top
        EXPECT_LT(d.At(10, 5)[2], 25);
        EXPECT_GT(d.At(50, 40)[2], 230);  // blue at the bottom
        EXPECT_LT(d.At(50, 40)[0], 25);
    }
    EXPECT_EQ(test::ReadFileBytes(dir_ / "mem.jpg"), test::ReadFileBytes(dir_ / "MS.jpg"));
    EXPECT_FALSE(WriteJpegFromBmp(dir_ / "none.bmp", dir_ / "none.jpg"));
    EXPECT_FALSE(fs::exists(dir_ / "none.jpg"));
    // Nothing was written to the working directory.
    EXPECT_FALSE(fs::exists("Y.bmp"));
    EXPECT_FALSE(fs::exists("T.bmp"));
}

class ThumbnailTest : public PictureTest {
protected:
    void SetUp() override {
        SetUpSize(640, 480);
        hits_.assign(ctx_.dp.pixels, 0);
        ctx_.dp.hit_map = hits_.data();
        ctx_.ap.sj_cx = 160;
        ctx_.ap.sj_cy = 120;
        thumb_.assign(160 * 120 * 3, 0xAB);
    }
    uint8_t* Src(int x, int stored_row) { return &ctx_.rgb[(static_cast<size_t>(stored_row) * 640 + x) * 3]; }
    const uint8_t* Thumb(int col, int stored_row) const { return &thumb_[(stored_row * 160 + col) * 3]; }
    void Build() { BuildThumbnail(ctx_, 160, 120, thumb_.data()); }
    int CountNonBlack() const {
        int n = 0;
        for (size_t i = 0; i < thumb_.size(); i += 3) n += (thumb_[i] | thumb_[i + 1] | thumb_[i + 2]) != 0;
        return n;
    }

    std::vector<uint8_t> hits_;
    std::vector<uint8_t> thumb_;
};

TEST_F(ThumbnailTest, BoxesOverlapOnTheirBorders) {
    ctx_.ap.tmark = 0;
    // On a shared border (row 4, column 4): in four boxes.
    Src(4, 4)[0] = 200;
    // Inside box (1, 1) only.
    Src(6, 5)[1] = 150;
    // The last pixel belongs to the last box.
    Src(639, 479)[2] = 99;
    Build();
    for (auto [c, r] : {std::pair{0, 0}, std::pair{1, 0}, std::pair{0, 1}, std::pair{1, 1}}) {
        EXPECT_EQ(Thumb(c, r)[0], 200) << c << "," << r;
    }
    EXPECT_EQ(Thumb(1, 1)[1], 150);
    EXPECT_EQ(Thumb(0, 1)[1], 0);
    EXPECT_EQ(Thumb(159, 119)[2], 99);
    EXPECT_EQ(CountNonBlack(), 5);
}

TEST_F(ThumbnailTest, StrongHitIsMarkedAndFramed) {
    ctx_.ap.tmark = 1;
    ctx_.dp.im_map = 1;
    // Thumbnail column 3, stored row 2 covers source columns 12..16 and stored
    // rows 8..12; source column 14, stored row 10 lies in no other box.
    const int x = 14, stored = 10;
    Src(x, stored)[2] = 90;
    hits_[(479 - stored) * 640 + x] = 254;  // 254 counts as strong too
    Build();
    EXPECT_EQ(std::vector<uint8_t>(Thumb(3, 2), Thumb(3, 2) + 3), (std::vector<uint8_t>{255, 255, 0}));
    for (int c = 0; c < 160; ++c) {
        for (int r = 0; r < 120; ++r) {
            const bool on_frame = ((r == 0 || r == 12) && c <= 13) || ((c == 0 || c == 13) && r <= 12);
            ASSERT_EQ(Thumb(c, r)[2], on_frame ? 255 : 0) << c << "," << r;
        }
    }
    // A weak hit is marked cyan but draws no frame of its own.
    hits_[(479 - stored) * 640 + x] = 0;
    hits_[(479 - 181) * 640 + 401] = 120;  // inside thumbnail box (100, 45) only
    Build();
    EXPECT_EQ(std::vector<uint8_t>(Thumb(100, 45), Thumb(100, 45) + 3), (std::vector<uint8_t>{255, 255, 0}));
    EXPECT_EQ(CountNonBlack(), 2);  // the mark and the red source pixel
    EXPECT_EQ(Thumb(3, 2)[2], 90);
}

TEST_F(ThumbnailTest, MarksNeedTheMapOptionAndSinglePixelsSurvive) {
    ctx_.ap.tmark = 1;
    ctx_.dp.im_map = 0;
    Src(321, 241)[0] = Src(321, 241)[1] = Src(321, 241)[2] = 255;
    hits_[(479 - 241) * 640 + 321] = 255;
    Build();
    EXPECT_EQ(CountNonBlack(), 1);  // the white pixel; no cyan, no frame
    EXPECT_EQ(std::vector<uint8_t>(Thumb(80, 60), Thumb(80, 60) + 3), (std::vector<uint8_t>{255, 255, 255}));

    ASSERT_TRUE(WriteThumbnail(ctx_, dir_ / "MT.jpg"));
    Decoded d = DecodeJpeg(dir_ / "MT.jpg");
    ASSERT_EQ(d.width, 160);
    ASSERT_EQ(d.height, 120);
    // Stored row 60 is picture row 59 from the top.
    EXPECT_GT(d.At(80, 59)[1], 100);
    EXPECT_LT(d.At(10, 10)[1], 10);
}

}  // namespace
}  // namespace vlx
