// Start-up and shut-down of the application, without any window: the order in
// which the program comes up and goes down, the command-line rule and the
// single settings save.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "vlx/app/context.h"

namespace vlx {

// A worker thread the application ends at shut-down (the live thread, the
// replay thread).
class Worker {
public:
    virtual ~Worker() = default;
    virtual void PostExit() = 0;      // post the end command
    virtual bool Ended() const = 0;   // the thread has set its end flag
};

// The command-line settings path: a leading and a trailing double quote are
// dropped. Returns the path, or an empty string after reporting "UE071" when
// it names nothing that exists or a folder.
std::string SettingsPathFromArgument(const std::string& arg);

class Application {
public:
    explicit Application(AppContext& ctx) : ctx_(ctx) {}

    // Program directory (the working directory), defaults, the command-line
    // settings file (arg may be empty), then the settings file itself.
    void Startup(const std::string& arg);

    // Workers started after Startup; ended in Shutdown.
    void AddWorker(Worker* w) { workers_.push_back(w); }

    // Called just before the single settings save of Shutdown, e.g. to take
    // back overrides that must not be written.
    std::function<void(AppContext&)> before_save;

    // Posts the end command to every worker, saves the settings once (never as
    // a template), then waits in 100 ms steps until every worker has ended.
    void Shutdown();

private:
    AppContext& ctx_;
    std::vector<Worker*> workers_;
};

}  // namespace vlx
