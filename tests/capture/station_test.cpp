// End to end: vlx2d running a station on simulated skies, writing real clip
// files that ffprobe, GStreamer and XML parsers read back.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../notify/servers.h"
#include "dbus_session.h"
#include "test_support.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;

using Result = test::ShellResult;
using test::Quote;
using test::Shell;

class Station : public ::testing::Test {
protected:
    void SetUp() override { clips = dir / "clips"; }

    // A simulated sky from the simulator's command.
    std::string Sky(const std::string& preset, int seconds, const std::string& extra = "") {
        std::string avi = dir / (preset + ".avi");
        Result r = Shell(test::BuildDir() + "/bin/vlx-skysim --preset " + preset + " --seconds " +
                         std::to_string(seconds) + " --width 320 --height 240 --out " + Quote(avi) + " " + extra);
        EXPECT_EQ(r.status, 0) << r.out;
        return avi;
    }

    // Runs the station in a folder of its own (its program directory).
    Result Run(const std::string& args, const std::string& env = "") {
        std::string cmd = "cd " + Quote(dir.str()) + " && XDG_DOCUMENTS_DIR=" + Quote(dir / "Docs") + " " + env +
                          " timeout " + std::to_string(timeout_s) + " " + Quote(test::BuildDir() + "/bin/vlx2d") +
                          " --out " + Quote(clips) +
                          " --set IF.cxin=320 --set IF.cyin=240 --set IF.cx=320 --set IF.cy=240 " + args;
        return Shell(cmd);
    }

    std::vector<fs::path> Files(const std::string& suffix) {
        std::vector<fs::path> v;
        if (!fs::exists(clips)) return v;
        for (auto& e : fs::recursive_directory_iterator(clips)) {
            std::string n = e.path().filename().string();
            if (e.is_regular_file() && n.size() >= suffix.size() &&
                n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0) {
                v.push_back(e.path());
            }
        }
        std::sort(v.begin(), v.end());
        return v;
    }

    static int FfprobeFrames(const fs::path& file) {
        Result r = Shell("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
                         "-of csv=p=0 " + Quote(file.string()));
        return r.status == 0 ? std::atoi(r.out.c_str()) : -1;
    }

    static std::map<std::string, std::string> XmlAttributes(const fs::path& xml) {
        Result r = Shell(std::string(test::SystemPython()) +
                         " -c \"import sys,xml.etree.ElementTree as E; r=E.parse(sys.argv[1]).getroot(); "
                         "[print(k+'='+v) for k,v in r.attrib.items()]\" " + Quote(xml.string()));
        std::map<std::string, std::string> m;
        std::istringstream in(r.out);
        std::string line;
        while (std::getline(in, line)) {
            auto eq = line.find('=');
            if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return m;
    }

    test::TempDir dir;
    std::string clips;
    int timeout_s = 300;  // a station still running then has hung
};

// Seconds since 1970 of a clip name's date and time (M20070812_190003...).
int64_t ClipNameTime(const std::string& name) {
    std::tm tm{};
    if (std::sscanf(name.c_str(), "M%4d%2d%2d_%2d%2d%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec) != 6) {
        return -1;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<int64_t>(timegm(&tm));
}

TEST_F(Station, EveryMeteorGivesOneCompleteClipWithItsCompanions) {
    std::string sky = Sky("two-apart", 20);
    Result r = Run("--input " + Quote(sky) + " --detect --fast --set AP.md_log=1 --set IF.lid=TOKYO1 "
                   "--set IF.cid=A1");
    ASSERT_EQ(r.status, 0) << r.out;
    auto avis = Files(".avi");
    ASSERT_EQ(avis.size(), 2u) << r.out;
    EXPECT_EQ(Files("S.jpg").size(), 2u);
    EXPECT_EQ(Files("M.bmp").size(), 2u);
    EXPECT_EQ(Files("T.jpg").size(), 2u);
    EXPECT_EQ(Files("P.jpg").size(), 0u);
    EXPECT_EQ(Files("S.bmp").size(), 0u);  // AP.bmp is off
    ASSERT_EQ(Files(".xml").size(), 2u);
    ASSERT_EQ(Files("detlog.csv").size(), 1u);
    EXPECT_EQ(Files(".avi").front().filename().string().substr(0, 1), "M");
    for (const fs::path& avi : avis) {
        EXPECT_TRUE(std::regex_match(avi.filename().string(), std::regex(R"(M\d{8}_\d{6}_TOKYO1_A1\.avi)")))
            << avi;
        fs::path xml = avi;
        xml.replace_extension(".xml");
        auto a = XmlAttributes(xml);
        ASSERT_FALSE(a.empty()) << xml;
        int frames = std::atoi(a["frames"].c_str());
        EXPECT_EQ(FfprobeFrames(avi), frames) << avi;
        // Head and tail around a short meteor.
        EXPECT_GE(frames, 30 + 30 + 2);
        EXPECT_LE(frames, 30 + 30 + 30);
        EXPECT_EQ(a["trig"], "1");
        EXPECT_EQ(a["lid"], "TOKYO1");
        EXPECT_EQ(a["sid"], "A1");
        // GStreamer reads it too.
        Result g = Shell("timeout 60 gst-launch-1.0 -q filesrc location=" + Quote(avi.string()) +
                         " ! avidemux ! fakesink");
        EXPECT_EQ(g.status, 0) << g.out;
    }
    EXPECT_NE(r.out.find("2 clips written"), std::string::npos) << r.out;
    // No temporary capture file is left behind.
    for (auto& e : fs::recursive_directory_iterator(clips)) EXPECT_NE(e.path().filename().string()[0], 'T');
}

TEST_F(Station, AFastFileWithSoundEndsAfterEveryClip) {
    // The sound of a fast file ends while the last clip is being finished,
    // before the pictures do: the station must still see the end and exit.
    // A race, so several runs of each output kind.
    std::string sky = Sky("two-apart", 12, "--audio");
    timeout_s = 60;
    for (int run = 0; run < 8; ++run) {
        const bool wmv = run % 2 == 1;
        fs::remove_all(clips);
        Result r = Run("--input " + Quote(sky) + " --detect --fast --set AP.dv_audio=1:file" +
                       (wmv ? " --set AP.dv_codec=WMV" : ""));
        ASSERT_EQ(r.status, 0) << "run " << run << (r.status == 124 ? " hung\n" : "\n") << r.out;
        EXPECT_EQ(Files(wmv ? ".wmv" : ".avi").size(), 2u) << r.out;
        EXPECT_EQ(r.out.find("UE042"), std::string::npos) << r.out;
    }
}

TEST_F(Station, ClipsReadCompletelyInFfmpegTools) {
    std::string sky = Sky("two-apart", 20, "--audio");
    for (const char* codec : {"AVI", "WMV"}) {
        SCOPED_TRACE(codec);
        fs::remove_all(clips);
        Result r = Run("--input " + Quote(sky) + " --detect --fast --set AP.md_log=1 --set AP.dv_audio=1:file" +
                       " --set AP.dv_codec=" + codec);
        ASSERT_EQ(r.status, 0) << r.out;
        auto files = Files(std::string(".") + (codec[0] == 'A' ? "avi" : "wmv"));
        ASSERT_EQ(files.size(), 2u) << r.out;
        for (const fs::path& f : files) {
            fs::path xml = f;
            xml.replace_extension(".xml");
            const int frames = std::atoi(XmlAttributes(xml)["frames"].c_str());
            EXPECT_GE(frames, 62) << f;
            EXPECT_EQ(FfprobeFrames(f), frames) << f;
            // The clip lasts as long as its frames, from its start.
            Result d = Shell("ffprobe -v error -show_entries format=duration -of csv=p=0 " + Quote(f.string()));
            EXPECT_NEAR(std::atof(d.out.c_str()), frames / 29.97, 0.5) << f << " " << d.out;
            // ffmpeg's reader finds nothing to complain about.
            Result p = Shell("ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 " +
                             Quote(f.string()) + " 2>&1 >/dev/null");
            EXPECT_EQ(p.out, "") << f;
        }
    }
}

TEST_F(Station, AFastRunNamesAndLogsByTheStreamClock) {
    // Twenty seconds of sky decode in about one: the detection log must
    // span the stream's twenty seconds and hold the clips' times.
    std::string sky = Sky("two-apart", 20);
    Result r = Run("--input " + Quote(sky) + " --detect --fast --set AP.md_log=1 --set IF.si_utc=1", "TZ=UTC");
    ASSERT_EQ(r.status, 0) << r.out;
    auto logs = Files("detlog.csv");
    ASSERT_EQ(logs.size(), 1u);
    std::string log = test::ReadFileText(logs[0].string());
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        log, m, std::regex(R"(\d+,(\d{4}),(\d\d),(\d\d),(\d\d),(\d\d),(\d\d),(\d{4}),(\d\d),(\d\d),(\d\d),(\d\d),(\d\d), *(\d+))")))
        << log;
    auto at = [&m](int i) {
        char name[32];
        std::snprintf(name, sizeof name, "M%s%s%s_%s%s%s", m[i].str().c_str(), m[i + 1].str().c_str(),
                      m[i + 2].str().c_str(), m[i + 3].str().c_str(), m[i + 4].str().c_str(), m[i + 5].str().c_str());
        return ClipNameTime(name);
    };
    const int64_t start = at(1), stop = at(7);
    EXPECT_GE(stop - start, 19) << log;
    EXPECT_LE(stop - start, 21) << log;
    EXPECT_EQ(std::atoll(m[13].str().c_str()), stop - start);
    auto avis = Files(".avi");
    ASSERT_EQ(avis.size(), 2u) << r.out;
    for (const fs::path& avi : avis) {
        const int64_t t = ClipNameTime(avi.filename().string());
        EXPECT_GE(t, start) << avi << "\n" << log;
        EXPECT_LE(t, stop) << avi << "\n" << log;
    }
}

TEST_F(Station, SingleFileModeKeepsEveryClipInOneFile) {
    std::string sky = Sky("two-apart", 20);
    Result r = Run("--input " + Quote(sky) + " --detect --fast --set IF.singlefilemode=1");
    ASSERT_EQ(r.status, 0) << r.out;
    auto avis = Files(".avi");
    ASSERT_EQ(avis.size(), 1u) << r.out;
    EXPECT_EQ(avis[0].filename().string()[0], 'M');
    EXPECT_GE(FfprobeFrames(avis[0]), 2 * (30 + 30 + 2));
}

TEST_F(Station, ChangeDateNamesClipsFromTheUserSetClock) {
    std::string sky = Sky("single-meteor", 8);
    Result r = Run("--input " + Quote(sky) + " --detect --fast --set IF.si_cdate=1 --set AP.si_yyyymmdd=20070812 "
                   "--set AP.si_hhmmss=190000 --set AP.db_night=1",
                   "TZ=UTC");
    ASSERT_EQ(r.status, 0) << r.out;
    auto avis = Files(".avi");
    ASSERT_EQ(avis.size(), 1u) << r.out;
    // The clip lies a few seconds after 19:00:00 on the set date.
    EXPECT_TRUE(std::regex_match(avis[0].filename().string(), std::regex(R"(M20070812_1900\d\d__\.avi)"))) << avis[0];
    EXPECT_NE(avis[0].string().find("/2007/200708/20070812/"), std::string::npos) << avis[0];
}

TEST_F(Station, MaximumLengthGivesImagesWithoutAClip) {
    std::string sky = Sky("single-meteor", 8);
    // One second at most: the meteor with its head and tail is longer.
    Result r = Run("--input " + Quote(sky) + " --detect --fast --set IF.dmaxsec=1 --set AP.md_log=1");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Files(".avi").size(), 0u) << r.out;
    EXPECT_EQ(Files(".xml").size(), 0u);
    EXPECT_EQ(Files("S.jpg").size(), 1u);
    EXPECT_EQ(Files("M.bmp").size(), 1u);
    // The log says what became of the clip, and names no file that is not there.
    EXPECT_NE(r.out.find("clip over maximum length: deleted, stills kept"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(".avi (result -1"), std::string::npos) << r.out;

    fs::remove_all(clips);
    r = Run("--input " + Quote(sky) + " --detect --fast --set IF.dmaxsec=1 --set AP.leavelong=0");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(fs::exists(clips) && !Files("").empty()) << r.out;
    EXPECT_NE(r.out.find("clip over maximum length: deleted (result -1"), std::string::npos) << r.out;
}

TEST_F(Station, SunTimesFollowTheRunsOverrides) {
    // Tokyo's sunrise in UTC falls on the evening before, all year round.
    Result r = Run("--sun --set AP.lng=135 --set AP.lat=35", "TZ=UTC");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Longitude : 135.0000, Latitude : 35.0000"), std::string::npos) << r.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"(Sunrise (\d\d):(\d\d))"))) << r.out;
    const int hour = std::atoi(m[1].str().c_str());
    EXPECT_GE(hour, 19) << r.out;
    EXPECT_LE(hour, 22) << r.out;
}

TEST_F(Station, FullDiskWithTheGuardOnStopsCapture) {
    std::string sky = Sky("single-meteor", 4);
    Result r = Run("--input " + Quote(sky) + " --detect --fast --set AP.limit_MB=1000000000 --set AP.limit_stop=1");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("UM003: HDD Space limit. Please Stop and delete old files"), std::string::npos) << r.out;
    EXPECT_EQ(Files(".avi").size(), 0u);
}

TEST_F(Station, WmvClipsCarryTheirSound) {
    std::string sky = Sky("single-meteor", 8, "--audio");
    Result r = Run("--input " + Quote(sky) + " --detect --fast --set AP.dv_codec=WMV --set AP.dv_audio=1:file");
    ASSERT_EQ(r.status, 0) << r.out;
    auto wmvs = Files(".wmv");
    ASSERT_EQ(wmvs.size(), 1u) << r.out;
    Result p = Shell("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + Quote(wmvs[0].string()));
    EXPECT_NE(p.out.find("wmv2"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("wmav2"), std::string::npos) << p.out;
    // Both streams read, as a player does (a stream left unlinked can stall decodebin).
    Result g = Shell("timeout 60 gst-launch-1.0 -q filesrc location=" + Quote(wmvs[0].string()) +
                     " ! decodebin name=d d. ! queue ! fakesink d. ! queue ! fakesink");
    EXPECT_EQ(g.status, 0) << g.out;

    fs::remove_all(clips);
    std::string silent = Sky("single-meteor", 4);
    r = Run("--input " + Quote(silent) + " --detect --fast --set AP.dv_codec=WMV");
    EXPECT_NE(r.out.find("UM035: WMV needs audio source\n Please Set Audio device"), std::string::npos) << r.out;
}

TEST_F(Station, AnEncoderFromTheListWritesAPlayableAvi) {
    Result list = Run("--list-devices");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(list.out, m, std::regex(R"(compressor\t(\d+:jpegenc))"))) << list.out;
    std::string sky = Sky("single-meteor", 8);
    Result r = Run("--input " + Quote(sky) + " --detect --fast --set AP.dv_codec=" + Quote(m[1].str()));
    ASSERT_EQ(r.status, 0) << r.out;
    auto avis = Files(".avi");
    ASSERT_EQ(avis.size(), 1u) << r.out;
    Result p = Shell("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + Quote(avis[0].string()));
    EXPECT_NE(p.out.find("mjpeg"), std::string::npos) << p.out;
    EXPECT_GT(FfprobeFrames(avis[0]), 60);
}

TEST_F(Station, ClipsAreAnnouncedOnTheSessionBus) {
    test::PrivateBus bus;
    std::string sky = Sky("single-meteor", 8);
    std::string log = dir / "monitor.txt";
    std::string monitor = "DBUS_SESSION_BUS_ADDRESS=" + Quote(bus.address()) +
                          " dbus-monitor --session \"type='signal',interface='org.vigilux.Station'\" > " +
                          Quote(log) + " 2>&1 & echo $!";
    Result mon = Shell(monitor);
    int mon_pid = std::atoi(mon.out.c_str());
    ::usleep(300000);
    Result r = Run("--input " + Quote(sky) + " --detect --fast",
                   "DBUS_SESSION_BUS_ADDRESS=" + Quote(bus.address()));
    ::usleep(300000);
    kill(mon_pid, SIGTERM);
    ASSERT_EQ(r.status, 0) << r.out;
    std::string seen = test::ReadFileText(log);
    EXPECT_NE(seen.find("member=VigiluxV2NotifyMessage"), std::string::npos) << seen;
}

TEST_F(Station, TestCameraRunsThroughTheDevicePath) {
    // The test camera's ball never stops moving, so detection records from
    // the end of the warm-up until the stop (which drops the unfinished clip).
    Result r = Run("--detect --stop-after 5 --set AP.dv_video=" + Quote("1:Vigilux Test Camera") +
                       " --set IF.fps=30 --set IF.nt_on=0 --set IF.dlev=50",
                   "VLX_TEST_DEVICES=1");
    ASSERT_EQ(r.status, 0) << r.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"((\d+) frames examined)"))) << r.out;
    EXPECT_GT(std::atoi(m[1].str().c_str()), 60) << r.out;
    EXPECT_NE(r.out.find("activating"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("D-Recording"), std::string::npos) << r.out;
    EXPECT_EQ(Files(".avi").size(), 0u);
    for (auto& e : fs::recursive_directory_iterator(clips)) EXPECT_FALSE(e.is_regular_file()) << e.path();
}

TEST_F(Station, ClipStillsReachRealFtpAndMailServers) {
    fs::create_directories(dir / "ftp");
    fs::create_directories(dir / "mail");
    test::PythonServer ftp("ftp_server.py", dir / "ftp.port", {dir / "ftp", "station", "secret"});
    test::PythonServer smtp("smtp_server.py", dir / "smtp.port", {dir / "mail"});
    std::string sky = Sky("single-meteor", 8);
    Result r = Run("--input " + Quote(sky) + " --detect --fast --set AP.ftp_on=1 --set AP.ftp_server=127.0.0.1" +
                   " --set AP.ftp_port=" + std::to_string(ftp.port()) +
                   " --set AP.ftp_uname=station --set AP.ftp_pw=secret --set AP.mail_on=1 --set AP.mail_popbefore=0" +
                   " --set AP.mail_server=127.0.0.1:" + std::to_string(smtp.port()) +
                   " --set AP.mail_from=station@example.org --set AP.mail_to=me@example.org");
    ASSERT_EQ(r.status, 0) << r.out;
    auto thumbs = Files("T.jpg");
    auto stills = Files("S.jpg");
    ASSERT_EQ(thumbs.size(), 1u) << r.out;
    ASSERT_EQ(stills.size(), 1u);
    // The still and its thumbnail share the first rotating number.
    EXPECT_EQ(test::ReadFileBytes(dir / "ftp/vlx1.jpg"), test::ReadFileBytes(stills[0].string()));
    EXPECT_EQ(test::ReadFileBytes(dir / "ftp/vlxs1.jpg"), test::ReadFileBytes(thumbs[0].string()));
    std::vector<fs::path> mails;
    for (auto& e : fs::directory_iterator(dir / "mail")) {
        if (e.path().extension() == ".eml") mails.push_back(e.path());
    }
    ASSERT_EQ(mails.size(), 1u) << r.out;
    std::string mail = test::ReadFileText(mails[0].string());
    EXPECT_NE(mail.find("filename=\"" + thumbs[0].filename().string() + "\""), std::string::npos) << mail.substr(0, 800);
    // The settings were saved once at exit, without this run's overrides.
    ASSERT_TRUE(fs::exists(dir / "Settings.vxi"));
    Result saved = Shell("cd " + Quote(dir.str()) + " && " + Quote(test::BuildDir() + "/bin/vlx2d") +
                         " --print-settings --show-secrets");
    EXPECT_NE(saved.out.find("\nAP.ftp_on=0\n"), std::string::npos) << saved.out;
    EXPECT_NE(saved.out.find("\nAP.ftp_pw=\n"), std::string::npos);
    EXPECT_EQ(saved.out.find(clips), std::string::npos);
}

TEST_F(Station, DvCameraWithItsOwnSoundAtHalfSize) {
    // A DV camera below 480 lines is decoded at half size (720x480 -> 360x240),
    // with the camera's own 48 kHz sound.
    Result r = Run("--detect --stop-after 5 --set AP.dv_video=" + Quote("2:Vigilux Test DV Camera") +
                       " --set AP.dv_audio=" + Quote("3:Vigilux Test DV Camera") +
                       " --set IF.cxin=360 --set IF.cx=360 --set IF.nt_on=0 --set IF.dlev=50",
                   "VLX_TEST_DEVICES=1");
    ASSERT_EQ(r.status, 0) << r.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"((\d+) frames examined)"))) << r.out;
    EXPECT_GT(std::atoi(m[1].str().c_str()), 30) << r.out;
    EXPECT_NE(r.out.find("D-Recording"), std::string::npos) << r.out;
}

TEST_F(Station, TermSignalStopsCaptureAndSavesTheSettingsOnce) {
    std::string cmd = "cd " + Quote(dir.str()) + " && VLX_TEST_DEVICES=1 XDG_DOCUMENTS_DIR=" + Quote(dir / "Docs") +
                      " " + Quote(test::BuildDir() + "/bin/vlx2d") + " --out " + Quote(clips) +
                      " --detect --set " + Quote("AP.dv_video=1:Vigilux Test Camera") +
                      " --set IF.cxin=320 --set IF.cyin=240 --set IF.cx=320 --set IF.cy=240 --set IF.dlev=77"
                      " > " + Quote(dir / "out.txt") + " 2>&1 & pid=$!; sleep 3; kill -TERM $pid; wait $pid";
    {
        std::ofstream script(dir / "term.sh");
        script << cmd << "\n";
    }
    Result r = Shell("timeout 60 sh " + Quote(dir / "term.sh"));
    std::string out = test::ReadFileText(dir / "out.txt");
    EXPECT_EQ(r.status, 0) << out;
    EXPECT_NE(out.find("signal 15, shutting down"), std::string::npos) << out;
    EXPECT_NE(out.find("frames examined"), std::string::npos) << out;
    ASSERT_TRUE(fs::exists(dir / "Settings.vxi"));
    Result saved = Shell("cd " + Quote(dir.str()) + " && " + Quote(test::BuildDir() + "/bin/vlx2d") + " --print-settings");
    EXPECT_NE(saved.out.find("\nIF.dlev=100\n"), std::string::npos) << saved.out;  // the override is not saved
}

TEST_F(Station, TermWhileServersSayNothingEndsWithinFiveSecondsWithTheClipComplete) {
    test::SilentListener silent;
    const std::string port = std::to_string(silent.port());
    std::string sky = Sky("two-apart", 12);
    const std::string out = dir / "silent.txt";
    std::string cmd = "cd " + Quote(dir.str()) + " && XDG_DOCUMENTS_DIR=" + Quote(dir / "Docs") + " exec " +
                      Quote(test::BuildDir() + "/bin/vlx2d") + " --out " + Quote(clips) +
                      " --set IF.cxin=320 --set IF.cyin=240 --set IF.cx=320 --set IF.cy=240 --input " + Quote(sky) +
                      " --detect --set AP.md_log=1 --set AP.ftp_on=1 --set AP.ftp_jpg=1 --set "
                      "AP.ftp_server=127.0.0.1 --set AP.ftp_port=" + port +
                      " --set AP.mail_on=1 --set AP.mail_big=1 --set AP.mail_server=127.0.0.1:" + port + " > " +
                      Quote(out) + " 2>&1";
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // The file plays at its own pace; once the first clip has its final
    // name the finisher waits for its still's upload.
    auto finals = [&] {
        std::vector<fs::path> m;
        for (const fs::path& p : Files(".avi")) {
            if (p.filename().string()[0] == 'M') m.push_back(p);
        }
        return m;
    };
    for (int i = 0; i < 400 && finals().empty(); ++i) ::usleep(50000);
    ::usleep(300000);
    ASSERT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << test::ReadFileText(out);
    EXPECT_TRUE(Files(".xml").empty());  // the record comes after the uploads
    const auto t0 = std::chrono::steady_clock::now();
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; ++i) ::usleep(50000);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (took >= 10) kill(pid, SIGKILL), waitpid(pid, &status, 0);
    EXPECT_LT(took, 5.0) << test::ReadFileText(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << test::ReadFileText(out);
    EXPECT_NE(test::ReadFileText(out).find("uploads and mails of 1 finished clip given up"), std::string::npos)
        << test::ReadFileText(out);
    auto avis = finals();
    ASSERT_EQ(avis.size(), 1u) << test::ReadFileText(out);
    EXPECT_EQ(Files(".avi").size(), 1u);  // the unfinished second clip is not kept
    ASSERT_EQ(Files(".xml").size(), 1u);
    EXPECT_EQ(Files("S.jpg").size(), 1u);
    fs::path xml = avis[0];
    xml.replace_extension(".xml");
    EXPECT_EQ(FfprobeFrames(avis[0]), std::atoi(XmlAttributes(xml)["frames"].c_str())) << avis[0];
}

TEST_F(Station, AFailedCameraIsStartedAgainWithGrowingWaits) {
    Result r = Run("--detect --stop-after 5 --retry-after 1 --set " + Quote("AP.dv_video=9:No Such Camera"),
                   "VLX_TEST_DEVICES=1");
    EXPECT_EQ(r.status, 0) << r.out;
    size_t failures = 0;
    for (size_t p = r.out.find("UM010: No video capture device"); p != std::string::npos;
         p = r.out.find("UM010: No video capture device", p + 1)) {
        ++failures;
    }
    EXPECT_EQ(failures, 3u) << r.out;  // at 0 s, 1 s and 3 s; the next would be at 7 s
    EXPECT_NE(r.out.find("detection starts again in 1 s"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("detection starts again in 2 s"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("detection starts again in 4 s"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace vlx
