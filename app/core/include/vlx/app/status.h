// The status message shown after the live status line. FTP and mail failures
// are reported only here. Written from the live thread, read by the window or
// the station's status line.
#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace vlx {

class StatusMessage {
public:
    void Set(const std::string& text);
    void Clear() { Set(std::string()); }
    std::string Get() const;
    // Called (on the writing thread) after every change, to redraw at once.
    void OnChange(std::function<void(const std::string&)> listener);

private:
    mutable std::mutex mu_;
    std::string text_;
    std::function<void(const std::string&)> listener_;
};

}  // namespace vlx
