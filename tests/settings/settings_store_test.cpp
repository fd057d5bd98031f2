#include "vlx/settings/settings_store.h"

#include <cstdlib>
#include <filesystem>
#include <vector>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "capture_reporter.h"
#include "record_builder.h"
#include "test_support.h"
#include "vlx/settings/key_table.h"

namespace vlx {
namespace {

using test::RecordFile;

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_DOCUMENTS_DIR", (dir / "Documents").c_str(), 1);
        ctx = std::make_unique<AppContext>();
        CopyText(ctx->program_dir, sizeof ctx->program_dir, dir.str().c_str());
        SetDefaults(*ctx);
    }
    void WriteFile(const std::string& name, const RecordFile& f) {
        test::WriteFileBytes(dir / name, f.bytes.data(), f.bytes.size());
    }
    bool ReadFile(const std::string& name) {
        CopyText(ctx->settings_file, sizeof ctx->settings_file, name.c_str());
        return ReadSettings(*ctx);
    }

    test::TempDir dir;
    test::CaptureReporter reporter;
    std::unique_ptr<AppContext> ctx;
};

TEST_F(SettingsTest, DefaultsFollowTheKeyTable) {
    EXPECT_EQ(ctx->dp.cxin, 640);
    EXPECT_EQ(ctx->dp.fps, 29.97);
    EXPECT_EQ(ctx->dp.si_offset, -33);
    EXPECT_STREQ(ctx->dp.si_format, "%T%M %C %F %L VigiluxV2");
    EXPECT_EQ(ctx->ap.sd[1].o2, -30);
    EXPECT_STREQ(ctx->ap.dv_audio, "NULL");
    EXPECT_STREQ(ctx->ap.mail_subject, "%f");
    EXPECT_EQ(ctx->ap.limit_MB, 1000);
    EXPECT_STREQ(ctx->settings_file, "Settings.vxi");
    // Every key's first 15 characters are unique apart from the plain and
    // scrambled forms of the same value.
    auto table = KeyTable();
    for (size_t i = 0; i < table.size(); ++i) {
        for (size_t j = i + 1; j < table.size(); ++j) {
            if (std::strncmp(table[i].key, table[j].key, 15) == 0) {
                EXPECT_TRUE(table[i].offset == table[j].offset && table[i].home == table[j].home) << table[i].key;
            }
        }
    }
}

TEST_F(SettingsTest, ReadsAFileWrittenByAnotherProgram) {
    RecordFile f;
    f.Int("VERSION", 209)
        .Int("IF.dlev", 42)
        .Int("IF.dlev", 43)  // a duplicate: the first wins
        .Int("IF.singlefilemo", 1)
        .Dbl("IF.fps", 25.0)
        .Int("AP.dlgrect.bott", 900)
        .Str("IF.si_format", "%T")
        .Str("IF.lid", "ABCDEFGHIJKL")  // 12 characters: a 16-byte record
        .Str("IF.cid", "ABC")
        .Str("AP.cname", std::string(31, 'c'))
        .Str("AP.comment", std::string(80, 'm'))
        .Dbl("AP.lat", 35.5)
        .Str("AP.mail_server", "plain.example");
    WriteFile("other.vxi", f);
    ASSERT_TRUE(ReadFile("other.vxi"));
    EXPECT_EQ(ctx->dp.dlev, 42);
    EXPECT_EQ(ctx->dp.singlefilemode, 1);
    EXPECT_EQ(ctx->dp.fps, 25.0);
    EXPECT_EQ(ctx->ap.dlgrect_bottom, 900);
    EXPECT_STREQ(ctx->dp.si_format, "%T");
    EXPECT_STREQ(ctx->dp.lid, "ABCDEFGHIJKL");
    EXPECT_STREQ(ctx->dp.cid, "AB");
    EXPECT_EQ(std::string(ctx->dp.cname), std::string(31, 'c'));
    EXPECT_EQ(std::string(ctx->ap.comment), std::string(80, 'm'));
    EXPECT_EQ(ctx->ap.lat, 35.5);
    EXPECT_STREQ(ctx->ap.mail_server, "plain.example");
    EXPECT_TRUE(reporter.errors().empty());
}

TEST_F(SettingsTest, OnlyVersionLeavesEverythingAndOldVersionsAreIgnored) {
    ctx->dp.dlev = 77;
    WriteFile("v4.vxi", RecordFile().Int("VERSION", 4));
    ASSERT_TRUE(ReadFile("v4.vxi"));
    EXPECT_EQ(ctx->dp.dlev, 77);
    EXPECT_TRUE(reporter.errors().empty());

    WriteFile("v3.vxi", RecordFile().Int("VERSION", 3).Int("IF.dlev", 5));
    ReadFile("v3.vxi");
    EXPECT_EQ(ctx->dp.dlev, 77);
    ASSERT_EQ(reporter.errors().size(), 1u);
    EXPECT_EQ(reporter.errors()[0], "Version of Settings.ini is too old...ignored");

    WriteFile("none.vxi", RecordFile().Int("IF.dlev", 5));
    ReadFile("none.vxi");
    EXPECT_EQ(ctx->dp.dlev, 77);
}

TEST_F(SettingsTest, MissingFilesAreSilentOnlyForTheDefaultName) {
    EXPECT_FALSE(ReadFile("Settings.vxi"));
    EXPECT_TRUE(reporter.errors().empty());
    EXPECT_EQ(std::string(ctx->ap.db_dir), dir / "Documents");
    EXPECT_FALSE(ReadFile("profile.vxi"));
    ASSERT_EQ(reporter.errors().size(), 1u);
    EXPECT_EQ(reporter.errors()[0], "UM071: Cannot read profile.vxi Default value used");
}

TEST_F(SettingsTest, EmptyValuesDoNotEraseHeldOnes) {
    std::strcpy(ctx->ap.oname, "Observer");
    ctx->ap.lat = 12.25;
    WriteFile("e.vxi", RecordFile().Int("VERSION", 209).Str("AP.oname", "").Dbl("AP.lat", 0.0)
                           .Str("AP.mail_subject", "").Int("AP.dlgrect.top", -5).Int("AP.dlgrect.left", 3));
    ASSERT_TRUE(ReadFile("e.vxi"));
    EXPECT_STREQ(ctx->ap.oname, "Observer");
    EXPECT_EQ(ctx->ap.lat, 12.25);
    EXPECT_STREQ(ctx->ap.mail_subject, "%f");
    // A negative window top restores the whole default rectangle.
    EXPECT_EQ(ctx->ap.dlgrect_top, 100);
    EXPECT_EQ(ctx->ap.dlgrect_left, 20);
    EXPECT_EQ(ctx->ap.dlgrect_bottom, 725);
    EXPECT_EQ(ctx->ap.dlgrect_right, 1009);
}

TEST_F(SettingsTest, WritesInTheDocumentedOrderAndReadsBack) {
    ctx->dp.dlev = 33;
    std::strcpy(ctx->ap.ftp_pw, "pa ss\"word");
    std::strcpy(ctx->ap.mail_to, "me@example.org");
    std::strcpy(ctx->ap.db_dir, dir.str().c_str());
    ASSERT_TRUE(WriteSettingsTo(*ctx, "w.vxi"));
    EXPECT_STREQ(ctx->settings_file, "Settings.vxi");

    std::vector<uint8_t> b = test::ReadFileBytes(dir / "w.vxi");
    ASSERT_GE(b.size(), 24u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.data())), "VERSION");
    EXPECT_EQ(b[20] | (b[21] << 8), 209);
    // Record keys in file order.
    std::vector<std::string> keys;
    for (size_t p = 0; p + 20 <= b.size();) {
        keys.emplace_back(reinterpret_cast<char*>(&b[p]), strnlen(reinterpret_cast<char*>(&b[p]), 16));
        p += 20 + (b[p + 16] | (b[p + 17] << 8));
    }
    auto at = [&](const std::string& k) { return std::find(keys.begin(), keys.end(), k) - keys.begin(); };
    EXPECT_LT(at("IF.fps"), at("IF.si_format"));
    EXPECT_LT(at("AP.me_ratio"), at("IF.si_format"));
    EXPECT_LT(at("AP.infname"), at("AP.ftp_on"));
    EXPECT_LT(at("AP.mail_popbefo"), at("AP.mail_subject"));
    EXPECT_LT(at("AP.mail_body"), at("AP.db_dir"));
    EXPECT_LT(at("AP.comment"), at("AP.lng"));
    EXPECT_LT(at("AP.alt"), at("AP.ftp_server"));
    EXPECT_LT(at("AP.ftp_dir"), at("AP.ftp_pw"));
    EXPECT_EQ(keys.back(), "AP.mail_to");
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "AP.mail_server"), 1);  // scrambled form only
    // Credentials are not in the file as plain text.
    std::string text(b.begin(), b.end());
    EXPECT_EQ(text.find("pa ss"), std::string::npos);
    EXPECT_EQ(text.find("me@example"), std::string::npos);

    AppContext fresh;
    CopyText(fresh.program_dir, sizeof fresh.program_dir, dir.str().c_str());
    SetDefaults(fresh);
    ASSERT_TRUE(ReadSettingsFrom(fresh, "w.vxi"));
    EXPECT_EQ(fresh.dp.dlev, 33);
    EXPECT_STREQ(fresh.ap.ftp_pw, "pa ss\"word");
    EXPECT_STREQ(fresh.ap.mail_to, "me@example.org");
}

TEST_F(SettingsTest, EveryValueThePagesCanEnterReadsBack) {
    // Set every key to an extreme the pages allow (long texts one at a time,
    // since together they would not fit the record buffer), write, read back.
    auto table = KeyTable();
    for (const KeyDef& d : table) {
        if (d.kind == KeyKind::Int) KeyInt(*ctx, d) = d.ranged ? d.max : 123456789;
        if (d.kind == KeyKind::Dbl) KeyDbl(*ctx, d) = d.ranged ? d.max - 0.125 : 59.94;
        if (d.kind != KeyKind::Int && d.kind != KeyKind::Dbl && d.max_chars <= 80)
            CopyText(KeyStr(*ctx, d), d.capacity, std::string(d.max_chars, 'z').c_str());
    }
    std::strcpy(ctx->ap.db_dir, dir.str().c_str());
    std::strcpy(ctx->ap.infname, "in.avi");
    for (const char* longkey : {"", "AP.bat", "AP.ftp_pw", "AP.mail_body", "IF.si_format"}) {
        AppContext want = {};
        std::memcpy(&want.dp, &ctx->dp, sizeof want.dp);
        std::memcpy(&want.ap, &ctx->ap, sizeof want.ap);
        if (longkey[0]) {
            const KeyDef* d = FindKey(longkey);
            CopyText(KeyStr(*ctx, *d), d->capacity, std::string(d->max_chars, 'L').c_str());
        }
        ASSERT_TRUE(WriteSettingsTo(*ctx, "max.vxi")) << longkey;
        AppContext back;
        CopyText(back.program_dir, sizeof back.program_dir, dir.str().c_str());
        SetDefaults(back);
        ASSERT_TRUE(ReadSettingsFrom(back, "max.vxi"));
        for (const KeyDef& d : table)
            EXPECT_EQ(KeyValueText(back, d), KeyValueText(*ctx, d)) << d.key << " with " << longkey;
        if (longkey[0]) {
            const KeyDef* d = FindKey(longkey);
            CopyText(KeyStr(*ctx, *d), d->capacity, "");
        }
    }
    EXPECT_TRUE(reporter.errors().empty());
}

TEST_F(SettingsTest, TemplateKeepsTheSiteOutOfTheFile) {
    std::strcpy(ctx->dp.lid, "TOKYO1");
    std::strcpy(ctx->ap.oname, "Me");
    std::strcpy(ctx->ap.dv_video, "1:Camera");
    std::strcpy(ctx->ap.dv_codec, "1:x264");
    std::strcpy(ctx->ap.ftp_server, "ftp.example");
    ctx->ap.lng = 135.0;
    std::strcpy(ctx->ap.db_dir, (dir / "clips").c_str());
    ctx->save_as_template = true;
    ASSERT_TRUE(WriteSettingsTo(*ctx, "t.vxi"));
    ctx->save_as_template = false;
    std::string text = test::ReadFileText(dir / "t.vxi");
    EXPECT_EQ(text.find("TOKYO1"), std::string::npos);
    EXPECT_EQ(text.find("1:Camera"), std::string::npos);

    ASSERT_TRUE(ReadSettingsFrom(*ctx, "t.vxi"));
    EXPECT_STREQ(ctx->dp.lid, "TOKYO1");  // empty texts and 0.0 do not overwrite
    EXPECT_STREQ(ctx->ap.oname, "Me");
    EXPECT_EQ(ctx->ap.lng, 135.0);
    EXPECT_STREQ(ctx->ap.ftp_server, "ftp.example");
    EXPECT_STREQ(ctx->ap.dv_video, "");
    EXPECT_STREQ(ctx->ap.dv_codec, "AVI");
    EXPECT_EQ(std::string(ctx->ap.db_dir), dir / "Documents");
}

TEST_F(SettingsTest, HooksRunAfterARead) {
    int pages = 0, sun = 0;
    ctx->after_settings_read = [&](AppContext&) { ++pages; };
    ctx->compute_sun_times = [&](AppContext&) { ++sun; };
    WriteFile("s.vxi", RecordFile().Int("VERSION", 209).Int("AP.sunset", 1));
    ASSERT_TRUE(ReadFile("s.vxi"));
    EXPECT_EQ(pages, 1);
    EXPECT_EQ(sun, 1);
}

TEST_F(SettingsTest, TextOverridesAreCheckedAgainstTheTable) {
    std::string err;
    EXPECT_TRUE(SetKeyFromText(*ctx, "IF.dlev", "25", &err));
    EXPECT_EQ(ctx->dp.dlev, 25);
    EXPECT_FALSE(SetKeyFromText(*ctx, "IF.dlev", "256", &err));
    EXPECT_NE(err.find("1..255"), std::string::npos);
    EXPECT_FALSE(SetKeyFromText(*ctx, "IF.dlev", "2x", &err));
    EXPECT_FALSE(SetKeyFromText(*ctx, "IF.nope", "1", &err));
    EXPECT_TRUE(SetKeyFromText(*ctx, "IF.fps", "25", &err));
    EXPECT_EQ(ctx->dp.fps, 25.0);
    EXPECT_FALSE(SetKeyFromText(*ctx, "IF.lid", "THIRTEENCHARS", &err));
    EXPECT_TRUE(SetKeyFromText(*ctx, "IF.lid", "TWELVECHARSX", &err));
    EXPECT_STREQ(ctx->dp.lid, "TWELVECHARSX");
    EXPECT_EQ(ctx->dp.dlev, 25);
}


// The bytes of every file in dir whose name begins with prefix.
std::vector<std::string> FilesStartingWith(const test::TempDir& dir, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir.str())) {
        if (e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(e.path().filename().string());
    }
    return out;
}

TEST_F(SettingsTest, AFileThatCannotBeReadIsKeptAsideBeforeTheSave) {
    const std::vector<uint8_t> good = RecordFile().Int("VERSION", 209).Int("IF.dlev", 42).bytes;
    std::vector<uint8_t> random(4096);
    uint32_t x = 12345;
    for (uint8_t& b : random) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    std::vector<uint8_t> huge = good;
    huge.resize(CAppUty::kBufferSize + 1, 'x');
    std::vector<uint8_t> cut = good;
    cut.resize(cut.size() - 2);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool kept;
        int dlev;  // what reads back from the saved file
    } cases[] = {
        {"random bytes", random, true, 100},
        {"larger than any settings file", huge, true, 42},
        {"last record cut short", cut, true, 100},
        {"a settings file", good, false, 42},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir here;
        SetDefaults(*ctx);
        CopyText(ctx->program_dir, sizeof ctx->program_dir, here.str().c_str());
        test::WriteFileBytes(here / "Settings.vxi", c.bytes.data(), c.bytes.size());
        reporter.clear();
        ReadFile("Settings.vxi");
        ASSERT_TRUE(WriteSettings(*ctx));
        std::vector<std::string> aside = FilesStartingWith(here, "Settings.vxi.bad-");
        ASSERT_EQ(aside.size(), c.kept ? 1u : 0u);
        if (c.kept) {
            EXPECT_EQ(test::ReadFileBytes(here / aside[0]), c.bytes);
            ASSERT_FALSE(reporter.errors().empty());
            EXPECT_NE(reporter.errors().back().find("kept as " + (here / aside[0])), std::string::npos)
                << reporter.errors().back();
            // The next save overwrites the file it wrote itself.
            ASSERT_TRUE(WriteSettings(*ctx));
            EXPECT_EQ(FilesStartingWith(here, "Settings.vxi.bad-").size(), 1u);
        }
        ReadFile("Settings.vxi");  // what was saved reads back
        EXPECT_EQ(ctx->dp.dlev, c.dlev);
    }
}

TEST_F(SettingsTest, ValuesOutsideTheirRangeAreClampedWithOneMessage) {
    WriteFile("range.vxi", RecordFile()
                               .Int("VERSION", 209)
                               .Int("IF.cx", 100000)
                               .Int("IF.cy", -5)
                               .Int("IF.dlev", 7)
                               .Int("IF.si_on", 3)
                               .Dbl("AP.lat", 95.0));
    ASSERT_TRUE(ReadFile("range.vxi"));
    EXPECT_EQ(ctx->dp.cx, 1920);
    EXPECT_EQ(ctx->dp.cy, 60);
    EXPECT_EQ(ctx->dp.dlev, 7);
    EXPECT_EQ(ctx->dp.si_on, 1);
    EXPECT_EQ(ctx->ap.lat, 90.0);
    ASSERT_EQ(reporter.errors().size(), 1u);
    EXPECT_EQ(reporter.errors()[0],
              "range.vxi: out of range, clamped: IF.cx=100000 -> 1920, IF.cy=-5 -> 60, IF.si_on=3 -> 1, "
              "AP.lat=95 -> 90");
}

}  // namespace
}  // namespace vlx
