#include "vlx/ui/medit.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QGroupBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <optional>

#include "vlx/ui/settings_pages.h"

namespace vlx {

// The picture: the editor's display image stretched to the picture rectangle
// and the rubber shapes of a drag over it.
class MEditPicture : public QWidget {
public:
    explicit MEditPicture(CMEdit* dlg) : QWidget(dlg), dlg_(dlg) {
        setObjectName(QStringLiteral("picture"));
        setAttribute(Qt::WA_OpaquePaintEvent);
        setCursor(Qt::CrossCursor);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        AreaMaskEditor& ed = dlg_->editor_;
        QPainter p(this);
        const int w = ed.width(), h = ed.height();
        const std::vector<uint8_t>& d = ed.Display();
        if (w > 0 && h > 0 && d.size() == static_cast<size_t>(w) * h * 3) {
            // Bottom row first in memory: mirrored into a top-down picture.
            const QImage img = QImage(d.data(), w, h, w * 3, QImage::Format_BGR888).mirrored();
            p.drawImage(rect(), img);
        } else {
            p.fillRect(rect(), QColor(128, 128, 128));
        }
        const EditorDrag& drag = ed.drag();
        if (!drag.active) return;
        const QPoint a(drag.start.x - kPictureLeft, drag.start.y - kPictureTop);
        const QPoint b(drag.end.x - kPictureLeft, drag.end.y - kPictureTop);
        if (drag.tool == MaskTool::kLine) {
            // A white line drawn by inverting what is under it.
            p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
            p.setPen(QPen(Qt::white, 1));
            p.drawLine(a, b);
        } else if (drag.tool == MaskTool::kRect) {
            p.setPen(QPen(Qt::white, 1, Qt::DotLine));
            p.drawRect(QRect(a, b).normalized());
        }
    }
    void mousePressEvent(QMouseEvent* e) override {
        if (auto b = Button(e->button())) dlg_->editor_.Press(*b, Dialog(e));
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        dlg_->editor_.Move(Dialog(e), e->buttons() & Qt::LeftButton, e->buttons() & Qt::RightButton);
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        if (auto b = Button(e->button())) dlg_->editor_.Release(*b, Dialog(e));
    }

private:
    static std::optional<MouseButton> Button(Qt::MouseButton b) {
        if (b == Qt::LeftButton) return MouseButton::kLeft;
        if (b == Qt::RightButton) return MouseButton::kRight;
        return std::nullopt;
    }
    EditorPoint Dialog(QMouseEvent* e) const {
        const QPoint p = e->position().toPoint();
        return EditorPoint{p.x() + kPictureLeft, p.y() + kPictureTop};
    }
    CMEdit* dlg_;
};

namespace {

QPushButton* Button(const QString& text, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(text);
    b->setAutoDefault(false);
    return b;
}

QGroupBox* RadioGroup(const QString& title, QWidget* parent, QButtonGroup* group,
                      std::initializer_list<std::pair<QString, int>> buttons, int columns) {
    auto* box = new QGroupBox(title, parent);
    box->setObjectName(title);
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(2, 2, 2, 2);
    grid->setSpacing(0);
    int i = 0;
    for (const auto& [text, id] : buttons) {
        auto* r = new QRadioButton(text, box);
        r->setObjectName(text);
        group->addButton(r, id);
        grid->addWidget(r, i / columns, i % columns);
        ++i;
    }
    return box;
}

}  // namespace

CMEdit::CMEdit(AppContext& ctx, AreaMaskPicture& mask, const uint8_t* background, int bg_width, int bg_height,
               QWidget* parent)
    : QDialog(parent), ctx_(ctx), questions_(this), editor_(ctx, mask, &questions_) {
    setObjectName(QStringLiteral("CMEdit"));
    setWindowTitle(QStringLiteral("Detect Area"));
    setModal(true);
    editor_.SetBackground(background, bg_width, bg_height);
    editor_.SetView(this);
    // The title bar is the window manager's: the picture starts at the top
    // of the client area.
    editor_.Open(0);
    const EditorLayout& l = editor_.layout();

    picture_ = new MEditPicture(this);
    picture_->setGeometry(l.left, l.top, l.right - l.left, l.bottom - l.top);

    auto* tools = new QWidget(this);
    tools->setGeometry(2, 2, kPictureLeft - 4, std::max(l.dialog_height, 500) - 4);
    auto* col = new QVBoxLayout(tools);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(2);
    QPushButton* save = Button(QStringLiteral("Save"), tools);
    QPushButton* cancel = Button(QStringLiteral("Cancel"), tools);
    QPushButton* all_detect = Button(QStringLiteral("All Detect"), tools);
    QPushButton* all_mask = Button(QStringLiteral("All Mask"), tools);
    for (QPushButton* b : {save, cancel, all_detect, all_mask}) col->addWidget(b);

    auto* autoset = new QGroupBox(QStringLiteral("Auto Set"), tools);
    autoset->setObjectName(QStringLiteral("Auto Set"));
    auto* ag = new QGridLayout(autoset);
    ag->setContentsMargins(2, 2, 2, 2);
    ag->setSpacing(1);
    lev_ = new QSpinBox(autoset);
    lev_->setObjectName(QStringLiteral("AP.me_lev"));
    ratio_ = new QSpinBox(autoset);
    ratio_->setObjectName(QStringLiteral("AP.me_ratio"));
    for (QSpinBox* s : {lev_, ratio_}) {
        s->setRange(0, 255);
        s->setKeyboardTracking(false);
    }
    ag->addWidget(new QLabel(QStringLiteral("Lev"), autoset), 0, 0);
    ag->addWidget(lev_, 0, 1);
    ag->addWidget(new QLabel(QStringLiteral("Ratio"), autoset), 1, 0);
    ag->addWidget(ratio_, 1, 1);
    QPushButton* set = Button(QStringLiteral("set"), autoset);
    ag->addWidget(set, 2, 0, 1, 2);
    col->addWidget(autoset);

    col->addWidget(RadioGroup(QStringLiteral("Color"), tools, &colour_,
                              {{QStringLiteral("Detect"), int(MaskColour::kDetect)}, {QStringLiteral("Mask"), int(MaskColour::kMask)}}, 1));
    col->addWidget(RadioGroup(QStringLiteral("Shape"), tools, &tool_,
                              {{QStringLiteral("Rect"), int(MaskTool::kRect)},
                               {QStringLiteral("Line"), int(MaskTool::kLine)},
                               {QStringLiteral("Pen"), int(MaskTool::kPen)}}, 1));
    col->addWidget(RadioGroup(QStringLiteral("Brush Size"), tools, &brush_,
                              {{QStringLiteral("S"), int(Brush::kS)}, {QStringLiteral("M"), int(Brush::kM)},
                               {QStringLiteral("L"), int(Brush::kL)}, {QStringLiteral("LL"), int(Brush::kLL)}}, 2));
    col->addStretch(1);

    setFixedSize(l.dialog_width, std::max(l.dialog_height, 500));
    ShowState();

    connect(save, &QPushButton::clicked, this, &CMEdit::OnSave);
    connect(cancel, &QPushButton::clicked, this, &CMEdit::reject);
    connect(all_detect, &QPushButton::clicked, this, [this] { editor_.AllDetect(); });
    connect(all_mask, &QPushButton::clicked, this, [this] { editor_.AllMask(); });
    connect(set, &QPushButton::clicked, this, [this] { editor_.AutoSet(); });
    connect(lev_, &QSpinBox::valueChanged, this, [this](int v) { editor_.SetLevel(v); });
    connect(ratio_, &QSpinBox::valueChanged, this, [this](int v) { editor_.SetRatio(v); });
    connect(&colour_, &QButtonGroup::idClicked, this, [this](int id) { editor_.SetColour(MaskColour(id)); });
    connect(&tool_, &QButtonGroup::idClicked, this, [this](int id) { editor_.SetTool(MaskTool(id)); });
    connect(&brush_, &QButtonGroup::idClicked, this, [this](int id) { editor_.SetBrush(Brush(id)); });
}

CMEdit::~CMEdit() { editor_.SetView(nullptr); }

void CMEdit::ShowState() {
    QSignalBlocker b1(lev_), b2(ratio_);
    lev_->setValue(ctx_.ap.me_lev);
    ratio_->setValue(ctx_.ap.me_ratio);
    colour_.button(int(editor_.colour()))->setChecked(true);
    tool_.button(int(editor_.tool()))->setChecked(true);
    brush_.button(int(editor_.brush()))->setChecked(true);
}

void CMEdit::DisplayChanged() { if (picture_) picture_->update(); }
void CMEdit::DragChanged() { if (picture_) picture_->update(); }

void CMEdit::OnSave() {
    const QString dir = QString::fromLocal8Bit(ctx_.program_dir);
    QString path = ChooseFile(this, QStringLiteral("Save vxi"), QStringLiteral("Detect Area BMP(*.bmp)"),
                              dir + QLatin1Char('/') + QString::fromLocal8Bit(editor_.ProposedName().c_str()), true);
    if (path.isEmpty()) return;
    if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".bmp");
    if (editor_.Save(path.toLocal8Bit().constData()) == AreaMaskEditor::SaveResult::kSaved) accept();
}

void CMEdit::reject() {
    if (editor_.Cancel()) QDialog::reject();
}

}  // namespace vlx
