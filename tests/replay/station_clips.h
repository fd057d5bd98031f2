// Clips written by the station itself (vlx-skysim, then vlx2d on the
// simulated sky): raw AVI with and without sound, AVI through an encoder,
// WMV with sound. Made once per build into a scratch folder of the build
// tree, under a lock, since CTest runs every test in a process of its own;
// remade when either program changes.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>

#include "test_support.h"

namespace vlx::test {

struct StationClip {
    std::string media;  // the .avi or .wmv file
    std::string base;   // path without the extension
    bool sound;
};

struct StationClips {
    StationClip raw, raw_sound, encoded, wmv;
};

inline std::string RunShell(const std::string& cmd, int* status = nullptr) {
    std::string out;
    std::FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) throw std::runtime_error("popen failed");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = pclose(p);
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

inline std::string Q(const std::string& s) { return "'" + s + "'"; }

inline const StationClips& GetStationClips() {
    static StationClips clips = [] {
        namespace fs = std::filesystem;
        const std::string bin = BuildDir() + "/bin/";
        const fs::path root = fs::path(BuildDir()) / "tmp-replay-clips";
        fs::create_directories(root);
        auto stamp = [&] {
            std::string s;
            for (const char* p : {"vlx2d", "vlx-skysim"}) {
                struct stat st{};
                ::stat((bin + p).c_str(), &st);
                s += std::to_string(st.st_mtime) + " ";
            }
            return s;
        }();
        int lock = ::open((root / "lock").c_str(), O_CREAT | O_RDWR, 0644);
        ::flock(lock, LOCK_EX);
        auto find = [&](const std::string& kind, const std::string& ext) {
            for (auto& e : fs::recursive_directory_iterator(root / kind)) {
                const std::string n = e.path().string();
                if (n.size() > ext.size() && n.compare(n.size() - ext.size(), ext.size(), ext) == 0) return n;
            }
            throw std::runtime_error("the station wrote no " + ext + " clip for " + kind);
        };
        if (ReadFileText((root / "done").string()) != stamp) {
            for (const char* k : {"raw", "raw_sound", "encoded", "wmv", "sky"}) fs::remove_all(root / k);
            fs::create_directories(root / "sky");
            const std::string sky = (root / "sky" / "sky.avi").string();
            const std::string loud = (root / "sky" / "loud.avi").string();
            const std::string sim = bin + "vlx-skysim --preset single-meteor --seconds 6 --width 320 --height 240 ";
            RunShell(sim + "--out " + Q(sky));
            RunShell(sim + "--audio --out " + Q(loud));
            const std::string enc = [&] {
                std::smatch m;
                std::string list = RunShell(bin + "vlx2d --list-devices");
                return std::regex_search(list, m, std::regex(R"(compressor\t(\d+:jpegenc))")) ? m[1].str()
                                                                                              : std::string();
            }();
            auto station = [&](const std::string& kind, const std::string& input, const std::string& extra) {
                // An input with sound is stopped after its clip is complete.
                RunShell("cd " + Q(root.string()) + " && XDG_DOCUMENTS_DIR=" + Q((root / "Docs").string()) +
                         " timeout 120 " + bin + "vlx2d --out " + Q((root / kind).string()) +
                         " --set IF.cxin=320 --set IF.cyin=240 --set IF.cx=320 --set IF.cy=240 --input " + Q(input) +
                         " --detect --fast " + extra);
            };
            station("raw", sky, "");
            station("raw_sound", loud, "--set AP.dv_audio=1:file --stop-after 4");
            station("encoded", sky, "--set AP.dv_codec=" + enc);
            station("wmv", loud, "--set AP.dv_codec=WMV --set AP.dv_audio=1:file --stop-after 4");
            std::ofstream(root / "done") << stamp;
        }
        auto clip = [&](const std::string& kind, const std::string& ext, bool sound) {
            std::string m = find(kind, ext);
            return StationClip{m, m.substr(0, m.size() - 4), sound};
        };
        StationClips c{clip("raw", ".avi", false), clip("raw_sound", ".avi", true), clip("encoded", ".avi", false),
                       clip("wmv", ".wmv", true)};
        ::flock(lock, LOCK_UN);
        ::close(lock);
        return c;
    }();
    return clips;
}

}  // namespace vlx::test
