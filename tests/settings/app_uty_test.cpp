#include "vlx/settings/app_uty.h"

#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "capture_reporter.h"
#include "record_builder.h"
#include "test_support.h"

namespace vlx {
namespace {

using test::RecordFile;

class AppUtyTest : public ::testing::Test {
protected:
    test::TempDir dir;
    test::CaptureReporter reporter;
    CAppUty uty{dir.str()};

    void Load(const std::vector<uint8_t>& bytes) {
        test::WriteFileBytes(dir / "f.vxi", bytes.data(), bytes.size());
        ASSERT_EQ(uty.Load("f.vxi"), static_cast<int>(bytes.size() > 10240 ? 10240 : bytes.size()));
    }
};

TEST_F(AppUtyTest, WritesTheRecordLayoutByteForByte) {
    uty.Begin();
    EXPECT_EQ(uty.PutInt("VERSION", 209), 4);
    EXPECT_EQ(uty.PutString("AP.dlgrect.bottom", "abcde"), 8);  // key cut to 15
    EXPECT_EQ(uty.PutString("K4", "abcd"), 8);
    EXPECT_EQ(uty.PutString("K0", ""), 4);
    EXPECT_EQ(uty.PutDouble("D", 1.5), 8);
    ASSERT_EQ(uty.Save("out.vxi"), 1);

    RecordFile expect;
    expect.Int("VERSION", 209).Str("AP.dlgrect.bott", "abcde").Str("K4", "abcd").Str("K0", "").Dbl("D", 1.5);
    EXPECT_EQ(test::ReadFileBytes(dir / "out.vxi"), expect.bytes);
    EXPECT_EQ(expect.bytes[16], 4);  // little-endian length
}

TEST_F(AppUtyTest, FirstRecordWinsAndKeysMatchOverFifteenCharacters) {
    Load(RecordFile().Int("A", 1).Int("A", 2).Str("AP.mail_popserv", "pop.example").bytes);
    int32_t v = 0;
    EXPECT_EQ(uty.GetInt("A", &v), 4);
    EXPECT_EQ(v, 1);
    char s[64] = "";
    EXPECT_GT(uty.GetString("AP.mail_popserver", s, sizeof s), 0);
    EXPECT_STREQ(s, "pop.example");
    EXPECT_EQ(uty.GetInt("missing", &v), 0);
    EXPECT_EQ(v, 1);
}

TEST_F(AppUtyTest, KeepLeavesANonEmptyValueForAnEmptyRecord) {
    Load(RecordFile().Str("S", "").Str("T", "new").bytes);
    char a[32] = "held";
    uty.GetRecordKeep("S", a, sizeof a);
    EXPECT_STREQ(a, "held");
    char b[32] = "";
    uty.GetRecordKeep("T", b, sizeof b);
    EXPECT_STREQ(b, "new");
    char c[32] = "old";
    uty.GetRecordKeep("T", c, sizeof c);
    EXPECT_STREQ(c, "new");
}

TEST_F(AppUtyTest, OversizedRecordsAreSkippedWithAMessageNotFatal) {
    Load(RecordFile().Str("S", "0123456789").Dbl("I", 2.0).Int("D", 3).bytes);
    char s[8] = "keep";
    EXPECT_EQ(uty.GetString("S", s, sizeof s), 0);
    EXPECT_STREQ(s, "keep");
    int32_t i = 7;
    EXPECT_EQ(uty.GetInt("I", &i), 0);  // an 8-byte record is no integer
    EXPECT_EQ(i, 7);
    double d = 9;
    EXPECT_EQ(uty.GetDouble("D", &d), 0);  // nor is a 4-byte one a double
    EXPECT_EQ(d, 9);
    ASSERT_EQ(reporter.errors().size(), 3u);
    EXPECT_EQ(reporter.errors()[0].rfind("UE0105: invalid length", 0), 0u);
    EXPECT_TRUE(reporter.fatals().empty());
}

TEST_F(AppUtyTest, DamagedFilesNeverReadPastTheLoadedBytes) {
    // A length running past the end stops the walk.
    RecordFile f;
    f.Int("A", 1).Raw("B", 1000, {1, 2, 3, 4}).Int("C", 3);
    Load(f.bytes);
    int32_t v = 0;
    EXPECT_EQ(uty.GetInt("A", &v), 4);
    EXPECT_EQ(uty.GetInt("C", &v), 0);

    // A key without NUL and a string without NUL.
    RecordFile g;
    g.Raw("ABCDEFGHIJKLMNOP", 4, {'x', 'y', 'z', 'w'});
    Load(g.bytes);
    char s[16] = "";
    EXPECT_EQ(uty.GetString("ABCDEFGHIJKLMNO", s, sizeof s), 4);
    EXPECT_STREQ(s, "xyzw");
    char t[4] = "";
    EXPECT_EQ(uty.GetString("ABCDEFGHIJKLMNO", t, sizeof t), 4);
    EXPECT_STREQ(t, "xyz");

    // A truncated header.
    std::vector<uint8_t> cut = RecordFile().Int("A", 5).bytes;
    cut.resize(10);
    Load(cut);
    EXPECT_EQ(uty.GetInt("A", &v), 0);
}

TEST_F(AppUtyTest, RandomBytesNeverCrashOrEndTheProgram) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes(1 + rng() % 600);
        for (auto& b : bytes) b = static_cast<uint8_t>(rng());
        if (round % 3 == 0) {
            // Plausible headers with random lengths, keys and data.
            RecordFile f;
            for (int r = 0; r < 5; ++r) {
                std::vector<uint8_t> d(rng() % 40);
                for (auto& b : d) b = static_cast<uint8_t>(rng());
                f.Raw(r % 2 ? "IF.dlev" : "AP.db_dir", static_cast<uint32_t>(rng() % 64), d);
            }
            bytes = f.bytes;
        }
        Load(bytes);
        int32_t v;
        double d;
        char s[64] = "";
        uty.GetInt("IF.dlev", &v);
        uty.GetDouble("IF.dlev", &d);
        uty.GetString("AP.db_dir", s, sizeof s);
        uty.GetRecordKeep("AP.db_dir", s, sizeof s);
        uty.GetScrambled("AP.db_dir", s, sizeof s);
        ASSERT_LT(strnlen(s, sizeof s), sizeof s);
    }
    EXPECT_TRUE(reporter.fatals().empty());
}

TEST_F(AppUtyTest, FilesAreReadUpToTenKilobytes) {
    RecordFile f;
    for (int i = 0; i < 600; ++i) f.Int("K" + std::to_string(i), i);  // 14400 bytes
    Load(f.bytes);
    EXPECT_EQ(uty.loaded(), 10240u);
    int32_t v = -1;
    EXPECT_EQ(uty.GetInt("K425", &v), 4);  // ends at byte 10224
    EXPECT_EQ(v, 425);
    EXPECT_EQ(uty.GetInt("K426", &v), 0);  // would run past the loaded bytes
}

TEST_F(AppUtyTest, ProgrammingErrorsAreFatal) {
    EXPECT_THROW(uty.PutInt("A", 1), test::FatalError);  // no Begin
    EXPECT_EQ(reporter.fatals().back(), "UE0103: bp exceeds limit (0)");
    int32_t v;
    EXPECT_THROW(uty.GetInt("A", &v), test::FatalError);  // nothing loaded
    EXPECT_EQ(reporter.fatals().back(), "UE0104: rp invalid");

    uty.Begin();
    std::string big(1019, 'x');
    for (int i = 0; i < 8; ++i) uty.PutString("S", big.c_str());  // 8 * 1040 = 8320 bytes used
    uty.PutString("S", big.c_str());  // appended: 8320 bytes used is below the limit
    EXPECT_EQ(uty.used(), 9360u);
    EXPECT_THROW(uty.PutInt("A", 1), test::FatalError);
    EXPECT_EQ(reporter.fatals().back(), "UE0103: bp exceeds limit (9360)");
}

TEST_F(AppUtyTest, SaveFailureReportsAndKeepsTheOldFile) {
    uty.Begin();
    uty.PutInt("VERSION", 209);
    EXPECT_EQ(uty.Save("no/such/dir/x.vxi"), 0);
    ASSERT_EQ(reporter.errors().size(), 1u);
    EXPECT_EQ(reporter.errors()[0], "UE070: Cannot write no/such/dir/x.vxi");
}

}  // namespace
}  // namespace vlx
