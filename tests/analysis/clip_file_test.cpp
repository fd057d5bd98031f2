// The analysis of real clip files: written by the station after every clip,
// re-run by vlx2d --analyse, and refused cleanly for broken files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"
#include "vlx/analysis/clip_analysis.h"
#include "vlx/app/context.h"

namespace vlx::analysis {
namespace {

namespace fs = std::filesystem;

std::string Shell(const std::string& cmd, int* status) {
    std::FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int st = pclose(p);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

// A simulated sky with one meteor, as an uncompressed AVI.
std::string MakeSky(const test::TempDir& dir) {
    const std::string avi = dir / "sky.avi";
    int st = 0;
    const std::string out = Shell("'" + test::BuildDir() + "/bin/vlx-skysim' --preset single-meteor --width 640 --height 480 --seconds 6 --out '" + avi + "'", &st);
    EXPECT_EQ(st, 0) << out;
    return avi;
}

std::vector<std::string> Clips(const std::string& root) {
    std::vector<std::string> v;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.path().extension() == ".avi" && e.path().filename().string()[0] == 'M') v.push_back(e.path().string());
    return v;
}

std::string Verdict(const std::string& sidecar) {
    int st = 0;
    std::string out = Shell("python3 -c \"import json,sys; d=json.load(open(sys.argv[1])); "
                          "assert len(d['rows'])==d['frames']; print(d['verdict'])\" '" + sidecar + "'", &st);
    if (st != 0) return "invalid: " + out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

TEST(AnalysisClipFiles, TheStationWritesATrackBesideEachClipUnlessSwitchedOff) {
    test::TempDir dir;
    const std::string sky = MakeSky(dir);
    for (const char* track : {"1", "0"}) {
        const std::string out_dir = dir / (std::string("clips") + track);
        int st = 0;
        const std::string log = Shell("cd '" + dir.str() + "' && XDG_DOCUMENTS_DIR='" + dir.str() + "' '" +
                                        test::BuildDir() + "/bin/vlx2d' --input '" + sky + "' --out '" + out_dir +
                                        "' --detect --fast --set AP.md_log=1 --set AP.track=" + track,
                                    &st);
        ASSERT_EQ(st, 0) << log;
        const std::vector<std::string> clips = Clips(out_dir);
        ASSERT_EQ(clips.size(), 1u) << log;
        const std::string sidecar = SidecarPath(clips[0]);
        EXPECT_TRUE(fs::exists(clips[0].substr(0, clips[0].size() - 4) + ".xml"));
        if (std::string(track) == "1") {
            EXPECT_EQ(Verdict(sidecar), "meteor") << log;
        } else {
            EXPECT_FALSE(fs::exists(sidecar));
        }
    }
}

TEST(AnalysisClipFiles, AnalyseCommandReportsEachClipAndRefusesBrokenOnes) {
    test::TempDir dir;
    const std::string sky = MakeSky(dir);
    const std::string bad = dir / "M20240101_000000_.avi";
    test::WriteFileBytes(bad, "RIFF\0\0\0\0AVI junk", 16);
    int st = 0;
    const std::string out = Shell("cd '" + dir.str() + "' && XDG_DOCUMENTS_DIR='" + dir.str() + "' '" +
                                    test::BuildDir() + "/bin/vlx2d' --analyse '" + sky + "' '" + bad + "'",
                                &st);
    EXPECT_EQ(st, 1) << out;
    EXPECT_NE(out.find("sky.avi meteor "), std::string::npos) << out;
    EXPECT_NE(out.find("vlx2d: " + bad + ": "), std::string::npos) << out;
    EXPECT_EQ(Verdict(dir / "sky.track.json"), "meteor");
    EXPECT_FALSE(fs::exists(SidecarPath(bad)));
}

TEST(AnalysisClipFiles, MalformedOrTruncatedClipsGiveAnErrorAndNoSidecar) {
    test::TempDir dir;
    const std::string sky = MakeSky(dir);
    const std::vector<uint8_t> good = test::ReadFileBytes(sky);
    ASSERT_GT(good.size(), 100000u);
    struct Case {
        const char* name;
        size_t keep;  // bytes of the good clip kept; 0 for the ones written below
    };
    const Case cases[] = {
        {"empty", 0}, {"garbage", 0}, {"headers-only", 4096}, {"cut-in-half", good.size() / 2}, {"missing", 0},
    };
    ClipAnalysisOptions options;
    options.setup.dlev = 30;
    for (const Case& c : cases) {
        const std::string clip = dir / (std::string(c.name) + ".avi");
        const std::string name = c.name;
        if (name == "garbage") {
            std::vector<uint8_t> junk(50000);
            for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
            test::WriteFileBytes(clip, junk.data(), junk.size());
        } else if (name != "missing") {
            test::WriteFileBytes(clip, good.data(), c.keep);
        }
        // A stale sidecar from an earlier analysis must not survive.
        test::WriteFileBytes(SidecarPath(clip), "{}", 2);
        std::string error;
        Analysis a;
        EXPECT_FALSE(AnalyseClipToSidecar(clip, options, &a, &error)) << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
        EXPECT_FALSE(fs::exists(SidecarPath(clip))) << c.name;
    }
    std::string error;
    EXPECT_TRUE(AnalyseClipToSidecar(sky, options, nullptr, &error)) << error;
}

}  // namespace
}  // namespace vlx::analysis
