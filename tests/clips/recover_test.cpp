#include "vlx/clips/recover.h"

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include "capture_reporter.h"
#include "clips_test_util.h"
#include "test_support.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;
using test::SetText;
using test::Utc;

void Le32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Chunk(std::vector<uint8_t>& b, const char* id, const std::vector<uint8_t>& data) {
    b.insert(b.end(), id, id + 4);
    Le32(b, static_cast<uint32_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
}

// An AVI as the writer leaves it when the process is killed mid-clip: the
// header's sizes and counts are those of an empty file, there is no index,
// and the last frame is cut short. GRAY8 64x48 at 25 fps.
std::vector<uint8_t> KilledAvi(int frames, const char* record_line) {
    const uint32_t w = 64, h = 48, size = w * h;
    std::vector<uint8_t> avih;
    for (uint32_t v : {40000u, 0u, 0u, 0u, 0u, 0u, 1u, 0u, w, h, 0u, 0u, 0u, 0u}) Le32(avih, v);
    std::vector<uint8_t> strh = {'v', 'i', 'd', 's', 'Y', '8', '0', '0'};
    for (uint32_t v : {0u, 0u, 0u, 1u, 25u, 0u, 0u, size, 0xFFFFFFFFu, 0u, 0u, 0u}) Le32(strh, v);
    std::vector<uint8_t> strf;
    for (uint32_t v : {40u, w, h}) Le32(strf, v);
    strf.insert(strf.end(), {1, 0, 8, 0, 'Y', '8', '0', '0'});
    for (int i = 0; i < 5; ++i) Le32(strf, i == 0 ? size : 0);
    std::vector<uint8_t> strl = {'s', 't', 'r', 'l'};
    Chunk(strl, "strh", strh);
    Chunk(strl, "strf", strf);
    std::vector<uint8_t> hdrl = {'h', 'd', 'r', 'l'};
    Chunk(hdrl, "avih", avih);
    Chunk(hdrl, "LIST", strl);
    std::vector<uint8_t> b = {'R', 'I', 'F', 'F'};
    Le32(b, 4);  // never updated
    b.insert(b.end(), {'A', 'V', 'I', ' '});
    Chunk(b, "LIST", hdrl);
    b.insert(b.end(), {'L', 'I', 'S', 'T'});
    Le32(b, 4);
    b.insert(b.end(), {'m', 'o', 'v', 'i'});
    for (int f = 0; f < frames; ++f) {
        std::vector<uint8_t> px(size, static_cast<uint8_t>(20 + f));
        if (record_line) std::memcpy(px.data(), record_line, std::strlen(record_line) + 1);
        Chunk(b, "00db", px);
    }
    b.insert(b.end(), {'0', '0', 'd', 'b'});  // the frame being written when the process died
    Le32(b, size);
    b.resize(b.size() + size / 2, 7);
    return b;
}

class RecoverTest : public ::testing::Test {
protected:
    RecoverTest() {
        SetText(ctx_.ap.db_dir, dir_.str().c_str());
        SetText(ctx_.dp.lid, "TOKYO01");
        SetText(ctx_.dp.cid, "AB");
        ctx_.ap.db_ymddir = 1;
    }
    std::string Day() const { return dir_ / "2007/200708/20070812"; }
    void Put(const std::string& name, const std::vector<uint8_t>& bytes, int64_t mtime = 0) {
        fs::create_directories(Day());
        const std::string path = Day() + "/" + name;
        test::WriteFileBytes(path, bytes.data(), bytes.size());
        if (mtime) {
            struct utimbuf t{static_cast<time_t>(mtime), static_cast<time_t>(mtime)};
            utime(path.c_str(), &t);
        }
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> v;
        for (auto& e : fs::recursive_directory_iterator(dir_.str())) {
            if (e.is_regular_file()) v.push_back(e.path().filename().string());
        }
        std::sort(v.begin(), v.end());
        return v;
    }

    test::TempDir dir_;
    test::CaptureReporter reporter_;
    AppContext ctx_;
};

TEST_F(RecoverTest, KilledCaptureFilesBecomePlayableClipsOrGo) {
    // Capture time runs 9 hours ahead of UTC (time_offset -32400).
    const int64_t offset = -9 * 3600;
    const char* line = "VLXR 20070812 190211.400   V 00123+045 00001";
    Put("T20070812_190000_TOKYO01_AB.avi", KilledAvi(12, line));
    // No record lines: the end of writing, in UTC, less 20 frames at 25 fps.
    Put("T20070812_192000_TOKYO01_AB.avi", KilledAvi(20, nullptr), Utc(2007, 8, 12, 10, 30, 10));
    Put("T20070812_193000_TOKYO01_AB.avi", {});
    Put("T20070812_194000_TOKYO01_AB.avi", std::vector<uint8_t>(5000, 0xA5));
    Put("T20070812_195000_TOKYO01_AB.avi", KilledAvi(0, nullptr));
    Put("T20070812_190000_OTHER_CD.avi", KilledAvi(3, nullptr));  // another station's
    Put("Tnotes.avi", {1, 2, 3});
    Put("M20070812_180000_TOKYO01_AB.avi", {1, 2, 3});  // renamed before the kill: stays as it is

    std::vector<std::string> log;
    EXPECT_EQ(RecoverCaptureFiles(ctx_, offset, [&](const std::string& l) { log.push_back(l); }), 2);
    EXPECT_EQ(Names(), (std::vector<std::string>{"M20070812_180000_TOKYO01_AB.avi", "M20070812_190211_TOKYO01_AB.avi",
                                                 "M20070812_193009_TOKYO01_AB.avi", "T20070812_190000_OTHER_CD.avi",
                                                 "Tnotes.avi"}));
    EXPECT_EQ(log.size(), 5u);
    EXPECT_TRUE(reporter_.errors().empty());

    struct Want {
        const char* name;
        int frames;
    } wants[] = {{"M20070812_190211_TOKYO01_AB.avi", 12}, {"M20070812_193009_TOKYO01_AB.avi", 20}};
    for (const Want& w : wants) {
        SCOPED_TRACE(w.name);
        int status = -1;
        std::string out = test::RunCommand("ffprobe -v error -count_frames -show_entries stream=nb_read_frames,width "
                                           "-of csv=p=0 '" + Day() + "/" + w.name + "' 2>&1", &status);
        EXPECT_EQ(status, 0) << out;
        EXPECT_EQ(out, "64," + std::to_string(w.frames) + "\n");
    }
    // Nothing is left to do at the next start.
    EXPECT_EQ(RecoverCaptureFiles(ctx_, offset, [](const std::string&) {}), 0);
}

}  // namespace
}  // namespace vlx
