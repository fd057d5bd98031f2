// The window's reporters: ErrorBox as a modal box titled "Vigilux" owned by
// the main window, FatalBox as a box titled "Vigilux Fatal Error" with the stop
// icon. Boxes are always shown on the GUI thread; a worker thread that reports
// waits until the user has dismissed its box.
#pragma once

#include <QPointer>
#include <QWidget>
#include <atomic>
#include <string_view>

#include "vlx/app/report.h"

namespace vlx {

class QtReporter : public Reporter {
public:
    // Construct on the GUI thread, after the QApplication.
    QtReporter();
    ~QtReporter() override;

    // The window that owns error boxes (none before it exists).
    void SetOwner(QWidget* owner) { owner_ = owner; }
    // Once the GUI thread no longer runs its event loop (shut-down), reports
    // from workers go to standard error instead of waiting for a box no one
    // can show.
    void SetEventLoopGone() { loop_gone_ = true; }

    void Error(std::string_view text) override;
    void Fatal(std::string_view text) override;

private:
    void Show(bool fatal, std::string_view text);

    QPointer<QWidget> owner_;
    std::atomic<bool> loop_gone_{false};
};

}  // namespace vlx
