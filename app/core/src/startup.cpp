#include "vlx/app/startup.h"

#include <chrono>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "vlx/app/report.h"
#include "vlx/settings/key_table.h"
#include "vlx/settings/settings_store.h"

namespace vlx {

std::string SettingsPathFromArgument(const std::string& arg) {
    std::string path = arg;
    if (!path.empty() && path.front() == '"') path.erase(0, 1);
    if (!path.empty() && path.back() == '"') path.pop_back();
    struct stat st{};
    if (path.empty() || stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || path.size() >= 512) {
        ErrorBox("UE071: Invalid Command arg \"%s\"... ignored", arg.c_str());
        return std::string();
    }
    return path;
}

void Application::Startup(const std::string& arg) {
    char cwd[sizeof ctx_.program_dir] = {};
    if (!getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
    CopyText(ctx_.program_dir, sizeof ctx_.program_dir, cwd);
    SetDefaults(ctx_);
    if (!arg.empty()) {
        std::string path = SettingsPathFromArgument(arg);
        if (!path.empty()) CopyText(ctx_.settings_file, sizeof ctx_.settings_file, path.c_str());
    }
    ReadSettings(ctx_);
}

void Application::Shutdown() {
    for (Worker* w : workers_) w->PostExit();
    ctx_.save_as_template = false;
    if (before_save) before_save(ctx_);
    WriteSettings(ctx_);
    for (Worker* w : workers_) {
        while (!w->Ended()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace vlx
