#include "vlx/ui/page_db.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "vlx/settings/key_table.h"
#include "vlx/ui/settings_pages.h"

namespace vlx {
namespace {

QPushButton* Button(const QString& text, QWidget* parent, const QString& name) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

// A box named after its key, with the key's range; values arrive when typing
// ends or a spin button is pressed, so a half-typed year reads nothing.
QSpinBox* Box(const char* key, QWidget* parent) {
    auto* s = new QSpinBox(parent);
    s->setObjectName(QString::fromLatin1(key));
    const KeyDef* d = FindKey(key);
    if (d && d->ranged) s->setRange(static_cast<int>(d->min), static_cast<int>(d->max));
    s->setKeyboardTracking(false);
    s->setMinimumWidth(48);
    return s;
}

QCheckBox* Flag(const char* key, const QString& caption, QWidget* parent) {
    auto* c = new QCheckBox(caption, parent);
    c->setObjectName(QString::fromLatin1(key));
    return c;
}

}  // namespace

CPageDb::CPageDb(AppContext& ctx, QWidget* parent)
    : QWidget(parent), ctx_(ctx), questions_(this), db_(ctx, &questions_) {
    setObjectName(QStringLiteral("DB"));
    db_.SetView(this);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(3, 3, 3, 3);
    grid->setHorizontalSpacing(4);
    grid->setVerticalSpacing(3);

    grid->addWidget(new QLabel(QStringLiteral("DB dir"), this), 0, 0);
    dir_ = new QLineEdit(this);
    dir_->setObjectName(QStringLiteral("dbDirShown"));
    dir_->setReadOnly(true);
    QPushButton* pick = Button(QStringLiteral("..."), this, QStringLiteral("chooseDataBaseDir"));
    auto* dir_line = new QHBoxLayout;
    dir_line->addWidget(dir_, 1);
    dir_line->addWidget(pick);
    grid->addLayout(dir_line, 0, 1, 1, 4);

    ymd_ = Flag("AP.db_ymddir", QStringLiteral("+ Y/M/D dir"), this);
    grid->addWidget(ymd_, 1, 0, 1, 5);

    year_ = Box("AP.db_y", this);
    month_ = Box("AP.db_m", this);
    day_ = Box("AP.db_d", this);
    days_ = Box("AP.db_days", this);
    grid->addWidget(year_, 2, 0);
    grid->addWidget(month_, 2, 1);
    grid->addWidget(day_, 2, 2);
    grid->addWidget(days_, 2, 3);
    grid->addWidget(new QLabel(QStringLiteral("days"), this), 2, 4);

    latest_ = Flag("AP.db_latest", QStringLiteral("Set Latest days"), this);
    night_ = Flag("AP.db_night", QStringLiteral("pm-am /day"), this);
    grid->addWidget(latest_, 3, 0, 1, 3);
    grid->addWidget(night_, 3, 3, 1, 2);

    QPushButton* read = Button(QStringLiteral("Read DB"), this, QStringLiteral("Read DB"));
    QPushButton* del_all = Button(QStringLiteral("DELETE ALL"), this, QStringLiteral("DELETE ALL"));
    QPushButton* del_one = Button(QStringLiteral("DELETE A CLIP"), this, QStringLiteral("DELETE A CLIP"));
    del_one->setToolTip(QStringLiteral("Deletes the selected clip (Delete key in the list: to the trash)"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(read);
    buttons->addWidget(del_all);
    buttons->addWidget(del_one);
    grid->addLayout(buttons, 4, 0, 1, 5);

    counter_ = new QLabel(QStringLiteral("0 clips"), this);
    counter_->setObjectName(QStringLiteral("clipCount"));
    grid->addWidget(counter_, 5, 0, 1, 5);

    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("clipList"));
    list_->setColumnCount(3);
    list_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Media"), QStringLiteral("MB")});
    list_->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    list_->setColumnWidth(0, 170);
    list_->setColumnWidth(1, 70);
    list_->setColumnWidth(2, 48);
    list_->header()->setStretchLastSection(false);
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setSortingEnabled(false);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setAllColumnsShowFocus(true);
    list_->setToolTip(QStringLiteral("Up / Down: previous / next clip\nSpace: play / pause, Right / Left: step, Home: play from start\n"
                                     "H: trigger point, S: snapshot, Delete: clip to the trash"));
    grid->addWidget(list_, 6, 0, 1, 5);
    grid->setRowStretch(6, 1);

    connect(pick, &QPushButton::clicked, this, [this] {
        const QString d = ChooseFolder(this, QStringLiteral("DataBase Directory"), QString::fromLocal8Bit(ctx_.ap.db_dir));
        if (d.isEmpty()) return;
        db_.SetDbDir(d.toLocal8Bit().constData());
        Refresh();
        emit settingsChanged();
    });
    connect(ymd_, &QCheckBox::toggled, this, [this](bool on) {
        db_.SetYmdDir(on);
        emit settingsChanged();
    });
    for (QSpinBox* s : {year_, month_, day_}) connect(s, &QSpinBox::valueChanged, this, [this] { OnDateTyped(); });
    connect(days_, &QSpinBox::valueChanged, this, [this](int v) {
        db_.SetDays(v);
        Refresh();
        emit settingsChanged();
    });
    connect(latest_, &QCheckBox::toggled, this, [this](bool on) {
        db_.SetLatest(on);
        Refresh();
        emit settingsChanged();
    });
    connect(night_, &QCheckBox::toggled, this, [this](bool on) {
        db_.SetNight(on);
        Refresh();
        emit settingsChanged();
    });
    connect(read, &QPushButton::clicked, this, [this] { db_.Read(); });
    connect(del_all, &QPushButton::clicked, this, [this] { db_.DeleteAll(); });
    connect(del_one, &QPushButton::clicked, this, [this] { db_.DeleteSelected(); });

    // A click shows its row with the replay page forward; keys that move the
    // current row without the mouse (page up, end) select as well. Up and
    // Down are the model's previous and next (they wrap), handled by the
    // window's review keys.
    connect(list_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
        db_.Select(list_->indexOfTopLevelItem(item));
    });
    connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (!item || QApplication::mouseButtons() != Qt::NoButton) return;
        const int row = list_->indexOfTopLevelItem(item);
        if (row != db_.Selected()) db_.Select(row);
    });
    Refresh();
}

CPageDb::~CPageDb() { db_.SetView(nullptr); }

void CPageDb::Activated() {
    db_.Activate();
    Refresh();
}

void CPageDb::Refresh() {
    const Settings& ap = ctx_.ap;
    QSignalBlocker b1(ymd_), b2(year_), b3(month_), b4(day_), b5(days_), b6(latest_), b7(night_);
    dir_->setText(QString::fromLocal8Bit(ap.db_dir));
    ymd_->setChecked(ap.db_ymddir != 0);
    year_->setValue(ap.db_y);
    month_->setValue(ap.db_m);
    day_->setValue(ap.db_d);
    days_->setValue(ap.db_days);
    latest_->setChecked(ap.db_latest != 0);
    night_->setChecked(ap.db_night != 0);
}

void CPageDb::OnDateTyped() {
    db_.SetStartDate(year_->value(), month_->value(), day_->value());
    Refresh();
    emit settingsChanged();
}

void CPageDb::DeleteSelectedToTrash() {
    const int32_t nottrash = ctx_.ap.nottrash;
    ctx_.ap.nottrash = 0;
    db_.DeleteSelected();
    ctx_.ap.nottrash = nottrash;
}

void CPageDb::FillRow(QTreeWidgetItem* item, int row) {
    item->setText(0, QString::fromLocal8Bit(db_.RowName(row).c_str()));
    item->setText(1, QString::fromLatin1(db_.RowMedia(row).c_str()));
    item->setText(2, QString::fromLatin1(db_.RowSizeText(row).c_str()));
    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    item->setData(0, Qt::UserRole, db_.RowEntry(row));
}

void CPageDb::ListCleared() { list_->clear(); }

void CPageDb::RowAdded(int row) {
    auto* item = new QTreeWidgetItem;
    FillRow(item, row);
    list_->insertTopLevelItem(row, item);
    // A clip just stored is scrolled into view; a read keeps the top.
    if (adding_new_) list_->scrollToItem(item);
}

void CPageDb::AddClipPath(const std::string& path) {
    adding_new_ = true;
    db_.AddClipPath(path);
    adding_new_ = false;
}

void CPageDb::RowChanged(int row) {
    if (QTreeWidgetItem* item = list_->topLevelItem(row)) FillRow(item, row);
}

void CPageDb::RowRemoved(int row) {
    QSignalBlocker b(list_);
    delete list_->takeTopLevelItem(row);
}

void CPageDb::CounterChanged(const std::string& text) { counter_->setText(QString::fromLatin1(text.c_str())); }

void CPageDb::SelectionChanged(int row) {
    QSignalBlocker b(list_);
    QTreeWidgetItem* item = row >= 0 ? list_->topLevelItem(row) : nullptr;
    if (!item) {
        list_->clearSelection();
        list_->setCurrentItem(nullptr);
        return;
    }
    list_->setCurrentItem(item);
    item->setSelected(true);
    list_->scrollToItem(item);
}

void CPageDb::ShowClip(int entry, const std::string&, bool bring_forward) { emit showClip(entry, bring_forward); }

void CPageDb::NoClip() { emit showClip(-1, false); }

}  // namespace vlx
