// CVLX2Dlg: the main window. The left sheet holds "Input", "Operation",
// "Profile" and "DB", the right sheet "Live" and "Replay"; the status box sits
// beside the right sheet's page captions. The window drives a station (the
// live page's buttons, the status refresh) and answers "VLX_QUERY" when it is
// given the notifier.
#pragma once

#include <QTabWidget>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "vlx/app/context.h"
#include "vlx/thread_msg.h"
#include "vlx/ui/station_control.h"

namespace vlx {

class CPageAction;
class CPageDb;
class CPageInput;
class CPageLive;
class CPageProfile;
class DbusNotifier;
class FrameReceiver;
class StatusBox;

// Messages posted to the window's thread id (engine events, stop requests)
// reach the window on the GUI thread through this bridge.
class MainQueueBridge {
public:
    explicit MainQueueBridge(QObject* target, std::function<void(const ThreadMessage&)> deliver);
    ~MainQueueBridge();
    ThreadId id() const { return id_; }

private:
    std::thread thread_;
    std::atomic<ThreadId> id_{0};
    std::atomic<bool> stop_{false};
};

struct WindowDeps {
    StationControl* station = nullptr;
    FrameReceiver* receiver = nullptr;
    DbusNotifier* notifier = nullptr;  // answers VLX_QUERY when given
};

inline constexpr int kLeftSheetWidth = 320;
inline constexpr int kRightSheetLeft = 324;
inline constexpr int kMinWindowWidth = 790;
inline constexpr int kMinWindowHeight = 459;

class CVLX2Dlg : public QWidget {
    Q_OBJECT
public:
    CVLX2Dlg(AppContext& ctx, WindowDeps deps);
    ~CVLX2Dlg() override;

    // The end of the window's initialisation: the stored show state (the
    // window is shown).
    void ShowAsStored();

    // Every settings page shows the settings again.
    void RefreshPages();
    // Fit the window to the live video (1:N).
    void FitWindowToVideo();
    // VLX_QUERY, on the GUI thread: (max_level, clip_count).
    std::pair<int64_t, int64_t> AnswerQuery();

    StationControl& station() { return *deps_.station; }
    CPageLive* live_page() { return live_; }
    QTabWidget* left_sheet() { return sheet_l_; }
    QTabWidget* right_sheet() { return sheet_r_; }
    StatusBox* status_box() { return status_; }
    // Times the window stored its rectangle (at close).
    int closes() const { return closes_; }

signals:
    void closed();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void OnRightPage(int index);

    AppContext& ctx_;
    WindowDeps deps_;
    QTabWidget* sheet_l_;
    QTabWidget* sheet_r_;
    CPageInput* input_;
    CPageAction* action_;
    CPageProfile* profile_;
    CPageDb* db_;
    CPageLive* live_;
    QWidget* replay_;
    StatusBox* status_;
    int closes_ = 0;
};

}  // namespace vlx
