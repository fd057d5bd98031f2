// The settings pages of the left sheet ("Input", "Operation", "Profile"), the
// FTP, mail and sun-adjust dialogs.
// Every settings key has its control on one of them; the controls write the
// settings as they change and show them again after every settings read.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QString>
#include <QWidget>
#include <functional>

#include "vlx/app/context.h"
#include "vlx/ui/key_binder.h"

namespace vlx {

// A modal file chooser with the given title and filter ("Caption(pattern)").
// Returns the chosen path, or an empty string when cancelled.
QString ChooseFile(QWidget* parent, const QString& title, const QString& filter, const QString& start, bool save);
QString ChooseFolder(QWidget* parent, const QString& title, const QString& start);

// Scans the program directory and the plugin folders beside the program for
// the vlx2f and vlx2rf elements again ("re-install ax"); reports
// "UE001:UNABLE TO REGISTER %s" for an element still missing.
void ReinstallPlugins(AppContext& ctx);

// A settings page: a scrollable column of groups bound to keys.
class SettingsPage : public QWidget {
    Q_OBJECT
public:
    SettingsPage(AppContext& ctx, const QString& name, QWidget* parent);
    KeyBinder& binder() { return binder_; }
    void Refresh() { binder_.Refresh(); }

signals:
    // A setting changed that other pages show as well (they refresh).
    void settingsChanged();

protected:
    QWidget* content() { return content_; }
    AppContext& ctx_;
    KeyBinder binder_;

private:
    QWidget* content_;
};

class CPageInput : public SettingsPage {
    Q_OBJECT
public:
    CPageInput(AppContext& ctx, QWidget* parent = nullptr);

signals:
    // "Edit" beside the detect-area file: the window runs the editor.
    void editArea();

private:
    // Routes the chosen inputs on the devices and shows their names.
    void Route();
    QLabel* inputs_ = nullptr;
};

// The device's own controls (brightness, gain, ...), as its property page.
class CPropertyDlg : public QDialog {
    Q_OBJECT
public:
    CPropertyDlg(const std::string& node, QWidget* parent = nullptr);
};

class CPageAction : public SettingsPage {
    Q_OBJECT
public:
    CPageAction(AppContext& ctx, QWidget* parent = nullptr);
    // The free-space figure of the clip folder, shown again.
    void ShowFreeSpace();

signals:
    // "Read Settings" loaded a profile: every page shows the new values.
    void settingsRead();

private:
    QLabel* free_space_ = nullptr;
};

class CPageProfile : public SettingsPage {
    Q_OBJECT
public:
    CPageProfile(AppContext& ctx, QWidget* parent = nullptr);
};

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    SettingsDialog(AppContext& ctx, const QString& name, const QString& title, QWidget* parent);
    KeyBinder& binder() { return binder_; }

protected:
    AppContext& ctx_;
    KeyBinder binder_;
};

class CFtpDlg : public SettingsDialog {
    Q_OBJECT
public:
    CFtpDlg(AppContext& ctx, QWidget* parent = nullptr);
};

class CMailDlg : public SettingsDialog {
    Q_OBJECT
public:
    CMailDlg(AppContext& ctx, QWidget* parent = nullptr);
};

// Sun-adjust: the schedule offsets from sunrise and sunset, and today's
// computed times.
class CSunDlg : public SettingsDialog {
    Q_OBJECT
public:
    CSunDlg(AppContext& ctx, QWidget* parent = nullptr);
    QString report() const { return report_->toPlainText(); }
    void ShowReport();

private:
    QPlainTextEdit* report_;
};

}  // namespace vlx
