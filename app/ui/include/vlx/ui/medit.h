// The detect-area editor dialog: the picture (the mask over the live still
// image, at scale 1 or 2) at (90, 2) with the tools beside it. Painting,
// Auto Set, saving and the questions are AreaMaskEditor's; the dialog
// forwards the mouse in its own coordinates and draws the display image and
// the rubber line or rectangle.
#pragma once

#include <QButtonGroup>
#include <QDialog>
#include <QSpinBox>

#include "vlx/app/context.h"
#include "vlx/areaedit/area_mask_editor.h"
#include "vlx/ui/question_box.h"

namespace vlx {

class CMEdit : public QDialog, private AreaEditorView {
    Q_OBJECT
public:
    // mask: the application's area-mask picture (what is painted stays in it
    // after a cancel); background: the live still image, B G R bottom row
    // first (of another size, or none: black).
    CMEdit(AppContext& ctx, AreaMaskPicture& mask, const uint8_t* background, int bg_width, int bg_height,
           QWidget* parent = nullptr);
    ~CMEdit() override;

    AreaMaskEditor& editor() { return editor_; }
    QWidget* picture() { return picture_; }

    // Save and Cancel as their buttons.
    void OnSave();
    void reject() override;  // Cancel, Escape and the close button

private:
    friend class MEditPicture;
    void DisplayChanged() override;
    void DragChanged() override;
    void ShowState();

    AppContext& ctx_;
    QuestionBox questions_;
    AreaMaskEditor editor_;
    QWidget* picture_ = nullptr;
    QButtonGroup colour_, tool_, brush_;
    QSpinBox* lev_;
    QSpinBox* ratio_;
};

}  // namespace vlx
