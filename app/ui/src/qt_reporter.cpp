#include "vlx/ui/qt_reporter.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <cstdio>
#include <string>

namespace vlx {

QtReporter::QtReporter() { SetReporter(this); }

QtReporter::~QtReporter() {
    if (CurrentReporter() == this) SetReporter(nullptr);
}

void QtReporter::Error(std::string_view text) { Show(false, text); }
void QtReporter::Fatal(std::string_view text) { Show(true, text); }

void QtReporter::Show(bool fatal, std::string_view text) {
    // The same cut as the formatting buffer, for texts that come in whole.
    if (text.size() > kMessageCap - 1) text = text.substr(0, kMessageCap - 1);
    const QString message = QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
    auto show = [this, fatal, &message] {
        // A fatal box has no owner: the window may be what failed.
        QMessageBox box(fatal ? QMessageBox::Critical : QMessageBox::Warning,
                        fatal ? QStringLiteral("Vigilux Fatal Error") : QStringLiteral("Vigilux"), message,
                        QMessageBox::Ok, fatal ? nullptr : owner_.data());
        box.setObjectName(fatal ? QStringLiteral("FatalBox") : QStringLiteral("ErrorBox"));
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
    };
    // Also a log line: an unattended station's boxes may wait for hours.
    std::fprintf(stderr, "vlx2: %s%.*s\n", fatal ? "Vigilux Fatal Error: " : "", static_cast<int>(text.size()),
                 text.data());
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || loop_gone_) return;
    if (QThread::currentThread() == app->thread()) {
        show();
    } else {
        QMetaObject::invokeMethod(app, show, Qt::BlockingQueuedConnection);
    }
}

}  // namespace vlx
