// Notification of other programs on the desktop over the D-Bus session bus.
//
// Signals, all on object path /org/vigilux/Station, interface
// org.vigilux.Station, each with two arguments (wparam: uint64, lparam: int64):
//   VigiluxV2NotifyMessage  after each accepted clip: wparam = high 32 bits and
//                           lparam = low 32 bits of the clip's capture time
//   VLX_QUERY               sent by any program (on any path) to ask for the
//                           detector's state; the arguments are ignored
//   VLX_ANSER               the answer: wparam = max_level, lparam = clip_count
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace vlx {

inline constexpr const char* kDbusPath = "/org/vigilux/Station";
inline constexpr const char* kDbusInterface = "org.vigilux.Station";
inline constexpr const char* kNotifySignal = "VigiluxV2NotifyMessage";
inline constexpr const char* kQuerySignal = "VLX_QUERY";
inline constexpr const char* kAnswerSignal = "VLX_ANSER";

class DbusNotifier {
public:
    // address: a bus address; empty for the user's session bus. Without a
    // reachable bus the notifier stays unconnected and every call is a no-op.
    explicit DbusNotifier(const std::string& address = std::string());
    ~DbusNotifier();
    DbusNotifier(const DbusNotifier&) = delete;
    DbusNotifier& operator=(const DbusNotifier&) = delete;

    bool connected() const;

    // Emits a signal with two arguments; false when not connected.
    bool Broadcast(const char* name, uint64_t wparam, int64_t lparam);
    // "VigiluxV2NotifyMessage" for a clip's capture time.
    bool NotifyClip(int64_t clip_start_time);

    // Every VLX_QUERY is answered with VLX_ANSER carrying what answer returns
    // (max_level, clip_count). answer runs on the notifier's own thread.
    void AnswerQueries(std::function<std::pair<int64_t, int64_t>()> answer);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vlx
