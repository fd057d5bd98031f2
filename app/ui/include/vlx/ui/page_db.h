// The clip database page of the left sheet: the clip folder, the span of days
// to list, the buttons, the list of clips ("Name", "Media", "MB") and its
// counter. The list and every rule behind it are ClipDatabase's; this page
// draws what the model tells and forwards the user's actions.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QWidget>

#include "vlx/app/context.h"
#include "vlx/clipdb/clip_database.h"
#include "vlx/ui/question_box.h"

namespace vlx {

class CPageDb : public QWidget, private ClipListView {
    Q_OBJECT
public:
    CPageDb(AppContext& ctx, QWidget* parent = nullptr);
    ~CPageDb() override;

    ClipDatabase& db() { return db_; }
    QTreeWidget* list() { return list_; }

    // The page has been brought to the front of its sheet.
    void Activated();
    // The controls show the settings again.
    void Refresh();
    // A clip the live side has just stored (GUI thread).
    void AddClipPath(const std::string& path);
    // Deletes the selected clip to the trash whatever AP.nottrash says, so a
    // key pressed by mistake can be undone from the desktop, and shows the
    // next one.
    void DeleteSelectedToTrash();

signals:
    // Hand the clip to the replay page, bringing it forward when asked;
    // entry -1: no clip.
    void showClip(int entry, bool bring_forward);
    void settingsChanged();

private:
    // ClipListView
    void ListCleared() override;
    void RowAdded(int row) override;
    void RowChanged(int row) override;
    void RowRemoved(int row) override;
    void CounterChanged(const std::string& text) override;
    void SelectionChanged(int row) override;
    void ShowClip(int entry, const std::string& name, bool bring_forward) override;
    void NoClip() override;

    void FillRow(QTreeWidgetItem* item, int row);
    void OnDateTyped();

    AppContext& ctx_;
    QuestionBox questions_;
    ClipDatabase db_;
    QLineEdit* dir_;
    QCheckBox* ymd_;
    QSpinBox* year_;
    QSpinBox* month_;
    QSpinBox* day_;
    QSpinBox* days_;
    QCheckBox* latest_;
    QCheckBox* night_;
    QTreeWidget* list_;
    QLabel* counter_;
    bool adding_new_ = false;
};

}  // namespace vlx
