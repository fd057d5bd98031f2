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
#include <climits>
#include <functional>
#include <memory>
#include <thread>

#include "vlx/app/context.h"
#include "vlx/clips/records.h"
#include "vlx/thread_msg.h"
#include "vlx/ui/station_control.h"

typedef struct _GstElement GstElement;

namespace vlx {

class CPageAction;
class CPageDb;
class CPageInput;
class CPageLive;
class CPageProfile;
class CPageReplay;
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
    // The replay's sound output of each build (empty: the desktop's default).
    std::function<GstElement*()> replay_audio;
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
    // A clip the live side has just stored (any thread): listed while the
    // clip database page is the front page of its sheet.
    void AddClipPath(const std::string& path);
    // "Edit" of the detect area: the editor, modal; true when it saved.
    bool EditArea();

    StationControl& station() { return *deps_.station; }
    CPageLive* live_page() { return live_; }
    CPageDb* db_page() { return db_; }
    CPageReplay* replay_page() { return replay_; }
    QTabWidget* left_sheet() { return sheet_l_; }
    QTabWidget* right_sheet() { return sheet_r_; }
    StatusBox* status_box() { return status_; }
    // Times the window stored its rectangle (at close).
    int closes() const { return closes_; }

signals:
    void closed();

protected:
    // The review keys of the clip list and the replay video.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void OnRightPage(int index);
    void OnLeftPage(int index);
    // The clip database hands a clip (-1: none) to the replay page.
    void OnShowClip(int entry, bool bring_forward);
    // The replay page to the front, holding the selected clip.
    void BringReplayForward();
    void CheckNewDay();

    AppContext& ctx_;
    WindowDeps deps_;
    QTabWidget* sheet_l_;
    QTabWidget* sheet_r_;
    CPageInput* input_;
    CPageAction* action_;
    CPageProfile* profile_;
    CPageDb* db_ = nullptr;
    CPageLive* live_;
    CPageReplay* replay_;
    QWidget* right_shown_ = nullptr;
    // The area-mask picture the editor paints, kept between its runs.
    AreaMaskPicture area_mask_;
    QTimer db_day_;
    int64_t db_minute_ = INT64_MIN;
    StatusBox* status_;
    int closes_ = 0;
};

}  // namespace vlx
