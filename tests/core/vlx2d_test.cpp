// vlx2d as a program: start-up from a settings file another program wrote.
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "../settings/record_builder.h"
#include "test_support.h"
#include "vlx/settings/key_table.h"
#include "vlx/settings/settings_store.h"

namespace vlx {
namespace {

std::string RunVlx2d(const std::string& cwd, const std::string& args, int* status) {
    std::string cmd = "cd '" + cwd + "' && XDG_DOCUMENTS_DIR='" + cwd + "/Docs' '" + test::BuildDir() +
                      "/bin/vlx2d' " + args + " 2>&1";
    std::FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = pclose(p);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

std::map<std::string, std::string> Parse(const std::string& out) {
    std::map<std::string, std::string> m;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos && !m.count(line.substr(0, eq))) m[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return m;
}

TEST(Vlx2d, PrintsSettingsOfAFileWrittenByAnotherProgram) {
    test::TempDir dir;
    test::RecordFile f;
    f.Int("VERSION", 209).Int("IF.dlev", 37).Dbl("IF.fps", 25.0).Str("IF.lid", "KYOTO01").Str("IF.cid", "ABC")
        .Str("AP.db_dir", dir.str()).Str("AP.ftp_server", "garbage!");  // not valid scrambled text
    test::WriteFileBytes(dir / "station.vxi", f.bytes.data(), f.bytes.size());
    int status = -1;
    std::string out = RunVlx2d(dir.str(), "--print-settings station.vxi", &status);
    ASSERT_EQ(status, 0) << out;
    auto m = Parse(out);
    EXPECT_EQ(m["VERSION"], "209");
    EXPECT_EQ(m["IF.dlev"], "37");
    EXPECT_EQ(m["IF.fps"], "25");
    EXPECT_EQ(m["IF.lid"], "KYOTO01");
    EXPECT_EQ(m["IF.cid"], "AB");
    EXPECT_EQ(m["AP.db_dir"], dir.str());
    EXPECT_EQ(m["AP.dv_audio"], "NULL");
    EXPECT_EQ(m["IF.si_format"], "%T%M %C %F %L VigiluxV2");
    // Table order: the first and last keys.
    EXPECT_EQ(out.substr(0, out.find('\n')), "VERSION=209");
    EXPECT_NE(out.find("IF.singlefilemode=0\n"), std::string::npos);
    EXPECT_EQ(out.substr(out.rfind("AP.mail_to=")), "AP.mail_to=\n");
}

TEST(Vlx2d, SecretsArePrintedOnlyWhenAsked) {
    test::TempDir dir;
    int status = -1;
    std::string out = RunVlx2d(dir.str(), "--print-settings", &status);  // no Settings.vxi: defaults
    ASSERT_EQ(status, 0);
    EXPECT_EQ(Parse(out)["AP.ftp_pw"], "");
    EXPECT_EQ(Parse(out)["VERSION"], "0");

    AppContext ctx;
    CopyText(ctx.program_dir, sizeof ctx.program_dir, dir.str().c_str());
    SetDefaults(ctx);
    std::strcpy(ctx.ap.ftp_pw, "hunter2");
    std::strcpy(ctx.ap.mail_server, "smtp.example.org");
    ASSERT_TRUE(WriteSettingsTo(ctx, "Settings.vxi"));
    out = RunVlx2d(dir.str(), "--print-settings", &status);
    EXPECT_EQ(Parse(out)["AP.ftp_pw"], "(set)");
    EXPECT_EQ(Parse(out)["AP.mail_server"], "(set)");
    EXPECT_EQ(out.find("hunter2"), std::string::npos);
    out = RunVlx2d(dir.str(), "--print-settings --show-secrets", &status);
    EXPECT_EQ(Parse(out)["AP.ftp_pw"], "hunter2");
    EXPECT_EQ(Parse(out)["AP.mail_server"], "smtp.example.org");
    out = RunVlx2d(dir.str(), "--print-settings no-such.vxi", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("UE071: Invalid Command arg \"no-such.vxi\"... ignored"), std::string::npos);
    out = RunVlx2d(dir.str(), "--bogus", &status);
    EXPECT_EQ(status, 2);
}

}  // namespace
}  // namespace vlx
