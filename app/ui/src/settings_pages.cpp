#include "vlx/ui/settings_pages.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <gst/gst.h>
#include <unistd.h>

#include <cstdio>

#include "vlx/app/report.h"
#include "vlx/capture/sources.h"
#include "vlx/capture/v4l2_device.h"
#include "vlx/clips/storage.h"
#include "vlx/notify/ftp.h"
#include "vlx/settings/settings_store.h"

#ifndef VLX_INSTALLED_PLUGIN_DIR
#define VLX_INSTALLED_PLUGIN_DIR "../lib/gstreamer-1.0"
#endif

namespace vlx {
namespace {

QFormLayout* Group(QWidget* parent, QVBoxLayout* column, const QString& title) {
    auto* box = new QGroupBox(title, parent);
    auto* form = new QFormLayout(box);
    form->setContentsMargins(4, 4, 4, 4);
    form->setVerticalSpacing(2);
    column->addWidget(box);
    return form;
}

// Widgets side by side in one form row.
QWidget* Line(QWidget* parent, std::initializer_list<QWidget*> widgets) {
    auto* w = new QWidget(parent);
    auto* h = new QHBoxLayout(w);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(4);
    for (QWidget* c : widgets) h->addWidget(c);
    return w;
}

QPushButton* Button(const QString& text, QWidget* parent, const QString& name = QString()) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name.isEmpty() ? text : name);
    b->setAutoDefault(false);
    return b;
}

QString ProgramDir(const AppContext& ctx) { return QString::fromLocal8Bit(ctx.program_dir); }

// A path inside the program directory is stored relative to it (settings
// paths are taken relative to it); any other path as chosen.
QString RelativeToProgram(const AppContext& ctx, const QString& path) {
    QDir dir(ProgramDir(ctx));
    QString rel = dir.relativeFilePath(path);
    return rel.startsWith(QLatin1String("..")) ? path : rel;
}

void SetText(QLineEdit* edit, const QString& text) {
    edit->setText(text);  // through textChanged, so the key is written
}

QStringList ToList(const std::vector<std::string>& v) {
    QStringList l;
    for (const std::string& s : v) l << QString::fromLocal8Bit(s.c_str());
    return l;
}

// Fields give way to the sheet's width instead of asking for their widest text.
void Compact(QWidget* root) {
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (qobject_cast<QAbstractSpinBox*>(w) || qobject_cast<QLineEdit*>(w) || qobject_cast<QComboBox*>(w)) {
            w->setMinimumWidth(48);
        }
    }
}

}  // namespace

QString ChooseFile(QWidget* parent, const QString& title, const QString& filter, const QString& start, bool save) {
    QFileDialog dlg(parent, title, start, filter);
    dlg.setObjectName(QStringLiteral("fileDialog"));
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dlg.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (QFileInfo(start).isFile() || (save && !QFileInfo(start).isDir())) dlg.selectFile(start);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return QString();
    return dlg.selectedFiles().first();
}

QString ChooseFolder(QWidget* parent, const QString& title, const QString& start) {
    QFileDialog dlg(parent, title, start);
    dlg.setObjectName(QStringLiteral("fileDialog"));
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setFileMode(QFileDialog::Directory);
    dlg.setOption(QFileDialog::ShowDirsOnly);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return QString();
    return dlg.selectedFiles().first();
}

void ReinstallPlugins(AppContext& ctx) {
    std::vector<std::string> dirs{ctx.program_dir};
    char exe[4096] = {};
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string d(exe, static_cast<size_t>(n));
        d = d.substr(0, d.rfind('/'));
        dirs.insert(dirs.end(), {d, d + "/../plugins", d + "/" VLX_INSTALLED_PLUGIN_DIR});
    }
    for (const std::string& d : dirs) gst_registry_scan_path(gst_registry_get(), d.c_str());
    for (const char* element : {"vlx2f", "vlx2rf"}) {
        GstElementFactory* f = gst_element_factory_find(element);
        if (f) {
            gst_object_unref(f);
            continue;
        }
        ErrorBox("UE001:UNABLE TO REGISTER %s", (std::string(ctx.program_dir) + "/libgst" + element + ".so").c_str());
    }
}

SettingsPage::SettingsPage(AppContext& ctx, const QString& name, QWidget* parent)
    : QWidget(parent), ctx_(ctx), binder_(ctx, this) {
    setObjectName(name);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    content_ = new QWidget(scroll);
    auto* column = new QVBoxLayout(content_);
    column->setContentsMargins(2, 2, 2, 2);
    column->setSpacing(4);
    scroll->setWidget(content_);
    outer->addWidget(scroll);
}

// ---------------------------------------------------------------- Input

CPageInput::CPageInput(AppContext& ctx, QWidget* parent) : SettingsPage(ctx, QStringLiteral("Input"), parent) {
    QWidget* c = content();
    auto* column = static_cast<QVBoxLayout*>(c->layout());
    KeyBinder& b = binder_;
    capture::DeviceLists lists = capture::EnumerateDevices(ctx);

    QFormLayout* in = Group(c, column, QStringLiteral("Input"));
    in->addRow(QStringLiteral("Video"), b.Choice("AP.dv_video", ToList(lists.video), c));
    in->addRow(QStringLiteral("Audio"), b.Choice("AP.dv_audio", ToList(lists.audio), c));
    in->addRow(QStringLiteral("Codec"), b.Choice("AP.dv_codec", ToList(lists.compressors), c));
    QSpinBox* vpin = b.Int("AP.vpin", c);
    QSpinBox* apin = b.Int("AP.apin", c);
    vpin->setRange(0, 99);  // indexes into the input lists
    apin->setRange(0, 99);
    in->addRow(QStringLiteral("Video in"), Line(c, {vpin, new QLabel(QStringLiteral("Audio in"), c), apin}));
    inputs_ = new QLabel(c);
    inputs_->setObjectName(QStringLiteral("inputNames"));
    QPushButton* prop = Button(QStringLiteral("Video Prop"), c, QStringLiteral("videoProperties"));
    in->addRow(prop, inputs_);
    in->addRow(QStringLiteral("Tuner"), Line(c, {b.Int("AP.tv_ch", c), b.Flag("AP.tv_antenna", QStringLiteral("ant"), c)}));
    for (const char* k : {"AP.vpin", "AP.apin", "AP.dv_video", "AP.dv_audio"}) b.OnChange(k, [this] { Route(); });
    for (const char* k : {"AP.tv_ch", "AP.tv_antenna"}) b.OnChange(k, [this] { capture::ApplyTuner(ctx_); });
    connect(prop, &QPushButton::clicked, this, [this] {
        CPropertyDlg dlg(capture::DeviceNodeOf(ctx_.ap.dv_video), this);
        dlg.exec();
    });
    Route();
    QLineEdit* infname = b.Text("AP.infname", c);
    QPushButton* pick_in = Button(QStringLiteral("..."), c, QStringLiteral("chooseInput"));
    in->addRow(b.Flag("IF.fileinmode", QStringLiteral("File input"), c), Line(c, {infname, pick_in}));
    connect(pick_in, &QPushButton::clicked, this, [this, infname] {
        QString f = ChooseFile(this, QStringLiteral("File input"), QStringLiteral("Video file(*.avi *.wmv *.asf *.mp4 *.mkv *.mov);;All files(*)"),
                               infname->text(), false);
        if (!f.isEmpty()) SetText(infname, f);
    });

    QFormLayout* size = Group(c, column, QStringLiteral("Size"));
    size->addRow(QStringLiteral("Xi"), Line(c, {b.Int("IF.cxin", c), new QLabel(QStringLiteral("Yi"), c), b.Int("IF.cyin", c)}));
    size->addRow(b.Flag("IF.resize", QStringLiteral("ReSize Xo"), c),
                 Line(c, {b.Int("IF.cx", c), new QLabel(QStringLiteral("Yo"), c), b.Int("IF.cy", c)}));
    size->addRow(QStringLiteral("Fps"), b.Dbl("IF.fps", 3, c));
    size->addRow(QStringLiteral("Head"), Line(c, {b.Int("IF.fs_head", c), new QLabel(QStringLiteral("Tail"), c), b.Int("IF.fs_tail", c)}));
    size->addRow(QStringLiteral("Diff"), b.Int("IF.fs_diff", c));
    size->addRow(b.Flag("IF.singlefilemode", QStringLiteral("Single File Mode"), c));

    QFormLayout* si = Group(c, column, QStringLiteral("Superimpose"));
    si->addRow(Line(c, {b.Flag("IF.si_on", QStringLiteral("On"), c), b.Flag("IF.si_area", QStringLiteral("Area"), c),
                        b.Flag("IF.si_maskw", QStringLiteral("MaskW"), c), b.Flag("IF.si_maskb", QStringLiteral("MaskB"), c)}));
    b.Exclusive("IF.si_maskw", "IF.si_maskb");
    auto* change_date = new QLineEdit(c);
    change_date->setObjectName(QStringLiteral("changeDate"));
    change_date->setInputMask(QStringLiteral("99999999_999999"));
    si->addRow(Line(c, {b.Flag("IF.si_utc", QStringLiteral("UTC"), c), b.Flag("IF.si_cdate", QStringLiteral("ChangeDate"), c)}),
               change_date);
    auto show_date = [this, change_date] {
        char t[32];
        std::snprintf(t, sizeof t, "%08d_%06d", ctx_.ap.si_yyyymmdd, ctx_.ap.si_hhmmss);
        QSignalBlocker bl(change_date);
        change_date->setText(QString::fromLatin1(t));
    };
    show_date();
    b.OnRefresh(show_date);
    connect(change_date, &QLineEdit::editingFinished, this, [this, change_date, show_date] {
        int d = 0, t = 0;
        if (std::sscanf(change_date->text().toLatin1().constData(), "%8d_%6d", &d, &t) == 2) {
            ctx_.ap.si_yyyymmdd = d;
            ctx_.ap.si_hhmmss = t;
        }
        show_date();
    });
    QSpinBox* y0 = b.Int("IF.si_y0", c);
    b.BoundBy("IF.si_y0", "IF.cy");
    // The text line must fit the frame: a position below it is lowered.
    connect(y0, &QSpinBox::editingFinished, this, [this, y0] {
        const int limit = std::max(0, ctx_.dp.cy - ctx_.dp.si_fonty - 2);
        if (ctx_.dp.si_y0 > limit) y0->setValue(limit);
    });
    si->addRow(QStringLiteral("Y-Pos"), Line(c, {y0, new QLabel(QStringLiteral("+msec"), c), b.Int("IF.si_offset", c)}));
    si->addRow(QStringLiteral("Font"), b.IndexChoice("AP.si_fontsize", {QStringLiteral("s"), QStringLiteral("m"), QStringLiteral("l")}, c));
    si->addRow(QStringLiteral("Format"), b.Text("IF.si_format", c));

    QFormLayout* area = Group(c, column, QStringLiteral("Detect Area"));
    QLineEdit* dafile = b.Text("AP.dareafname", c);
    QPushButton* pick_da = Button(QStringLiteral("...."), c, QStringLiteral("chooseArea"));
    QPushButton* edit_da = Button(QStringLiteral("Edit"), c, QStringLiteral("editArea"));
    area->addRow(QStringLiteral("Mask"), Line(c, {dafile, pick_da, edit_da}));
    connect(edit_da, &QPushButton::clicked, this, &CPageInput::editArea);
    connect(pick_da, &QPushButton::clicked, this, [this, dafile] {
        QString f = ChooseFile(this, QStringLiteral("Detect Area"), QStringLiteral("Detect Area BMP(DA-*.bmp)"),
                               ProgramDir(ctx_), false);
        if (!f.isEmpty()) SetText(dafile, QFileInfo(f).fileName());
    });
    column->addStretch(1);
    Compact(c);
}

void CPageInput::Route() {
    capture::InputLists lists;
    capture::RouteInputs(ctx_, &lists);
    auto name = [](const std::vector<std::string>& l, int i) {
        return i >= 0 && i < static_cast<int>(l.size()) ? QString::fromLocal8Bit(l[i].c_str()) : QStringLiteral("-");
    };
    inputs_->setText(name(lists.video, ctx_.ap.vpin) + QStringLiteral(" / ") + name(lists.audio, ctx_.ap.apin));
}

CPropertyDlg::CPropertyDlg(const std::string& node, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("propertyDlg"));
    setWindowTitle(QStringLiteral("Video Prop"));
    auto* col = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    col->addLayout(form);
    const std::vector<capture::DeviceControl> controls = node.empty() ? std::vector<capture::DeviceControl>{}
                                                                      : capture::ListControls(node);
    if (controls.empty()) form->addRow(new QLabel(QStringLiteral("The device has no controls"), this));
    for (const capture::DeviceControl& d : controls) {
        const QString caption = QString::fromStdString(d.name);
        const uint32_t id = d.id;
        QWidget* w = nullptr;
        switch (d.type) {
            case capture::DeviceControl::kBoolean: {
                auto* box = new QCheckBox(caption, this);
                box->setChecked(d.value != 0);
                connect(box, &QCheckBox::toggled, this, [node, id](bool on) { capture::SetControl(node, id, on ? 1 : 0); });
                form->addRow(box);
                break;
            }
            case capture::DeviceControl::kMenu:
            case capture::DeviceControl::kIntegerMenu: {
                auto* combo = new QComboBox(this);
                for (const auto& [index, text] : d.menu) combo->addItem(QString::fromStdString(text), index);
                combo->setCurrentIndex(combo->findData(d.value));
                connect(combo, &QComboBox::currentIndexChanged, this, [node, id, combo](int i) {
                    if (i >= 0) capture::SetControl(node, id, combo->itemData(i).toInt());
                });
                w = combo;
                break;
            }
            case capture::DeviceControl::kButton: {
                auto* button = new QPushButton(caption, this);
                connect(button, &QPushButton::clicked, this, [node, id] { capture::SetControl(node, id, 1); });
                form->addRow(button);
                break;
            }
            case capture::DeviceControl::kInteger: {
                auto* box = new QSpinBox(this);
                box->setRange(d.minimum, d.maximum);
                box->setSingleStep(std::max(1, d.step));
                box->setValue(d.value);
                box->setKeyboardTracking(false);
                connect(box, &QSpinBox::valueChanged, this, [node, id](int v) { capture::SetControl(node, id, v); });
                w = box;
                break;
            }
            default:
                break;
        }
        if (w) {
            w->setEnabled(!d.read_only && !d.inactive);
            form->addRow(caption, w);
        }
    }
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    col->addWidget(ok);
}

// ------------------------------------------------------------ Operation

CPageAction::CPageAction(AppContext& ctx, QWidget* parent) : SettingsPage(ctx, QStringLiteral("Operation"), parent) {
    QWidget* c = content();
    auto* column = static_cast<QVBoxLayout*>(c->layout());
    KeyBinder& b = binder_;

    auto* files = new QWidget(c);
    auto* fl = new QHBoxLayout(files);
    fl->setContentsMargins(0, 0, 0, 0);
    QPushButton* read = Button(QStringLiteral("Read Settings"), files, QStringLiteral("readSettings"));
    QPushButton* save = Button(QStringLiteral("Save Settings"), files, QStringLiteral("saveSettings"));
    auto* tmpl = new QCheckBox(QStringLiteral("save as template"), files);
    tmpl->setObjectName(QStringLiteral("saveAsTemplate"));
    fl->addWidget(read);
    fl->addWidget(save);
    fl->addWidget(tmpl);
    column->addWidget(files);
    tmpl->setChecked(ctx.save_as_template);
    connect(tmpl, &QCheckBox::toggled, this, [this](bool on) { ctx_.save_as_template = on; });
    b.OnRefresh([this, tmpl] {
        QSignalBlocker bl(tmpl);
        tmpl->setChecked(ctx_.save_as_template);
    });
    connect(read, &QPushButton::clicked, this, [this] {
        QString f = ChooseFile(this, QStringLiteral("Load vxi"), QStringLiteral("Vigilux profile(*.vxi)"), ProgramDir(ctx_), false);
        if (f.isEmpty()) return;
        ReadSettingsFrom(ctx_, f.toLocal8Bit().constData());
        emit settingsRead();
    });
    connect(save, &QPushButton::clicked, this, [this] {
        QString f = ChooseFile(this, QStringLiteral("Save vxi"), QStringLiteral("Vigilux profile(*.vxi)"),
                               ProgramDir(ctx_) + QStringLiteral("/save.vxi"), true);
        if (f.isEmpty()) return;
        if (!f.endsWith(QLatin1String(".vxi"), Qt::CaseInsensitive)) f += QStringLiteral(".vxi");
        WriteSettingsTo(ctx_, f.toLocal8Bit().constData());
    });

    QFormLayout* det = Group(c, column, QStringLiteral("Detection"));
    det->addRow(QStringLiteral("Min(frm)"), Line(c, {b.Int("IF.dmin", c), new QLabel(QStringLiteral("Max(sec)"), c), b.Int("IF.dmaxsec", c)}));
    det->addRow(QStringLiteral("EXsize"), b.Int("IF.dminsize", c));
    det->addRow(b.Flag("IF.atrigger", QStringLiteral("Audio"), c));
    det->addRow(b.Flag("IF.nt_on", QStringLiteral("Detect Level Noise Tracking"), c));
    det->addRow(QStringLiteral("DLratio (%)"), b.Int("IF.nt_ratio", c));
    det->addRow(QStringLiteral("MinL-N"), Line(c, {b.Int("IF.nt_delta", c), new QLabel(QStringLiteral("MinDL"), c), b.Int("IF.nt_min", c)}));
    det->addRow(b.Flag("IF.sm_on", QStringLiteral("Scintillation Mask"), c));
    det->addRow(QStringLiteral("SMlevel"), Line(c, {b.Int("IF.sm_level", c), new QLabel(QStringLiteral("SMsize"), c), b.Int("IF.sm_size", c)}));
    det->addRow(QStringLiteral("SMspeed"), b.Int("AP.smspeed", c));
    det->addRow(b.Flag("IF.so_on", QStringLiteral("Slow Obj Mask  Pixel/s"), c), b.Int("IF.so_vel", c));
    det->addRow(QStringLiteral("SOsize"), b.Int("IF.so_size", c));
    det->addRow(b.Flag("IF.brightonly", QStringLiteral("DarkObjMask"), c),
                Line(c, {new QLabel(QStringLiteral("DOlevel"), c), b.Int("IF.bolevel", c)}));

    QFormLayout* img = Group(c, column, QStringLiteral("Images"));
    img->addRow(Line(c, {b.Flag("IF.im_snap", QStringLiteral("SnapShot(*)"), c), b.Flag("IF.im_peak", QStringLiteral("PeakHold(*)"), c),
                         b.Flag("IF.im_map", QStringLiteral("Map bmp"), c)}));
    b.Exclusive("IF.im_snap", "IF.im_peak");
    img->addRow(Line(c, {b.Flag("AP.bmp", QStringLiteral("*bmp"), c), b.Flag("AP.jpg", QStringLiteral("*jpg"), c)}));
    img->addRow(b.Flag("AP.thumbmail", QStringLiteral("Thumbnail"), c),
                Line(c, {new QLabel(QStringLiteral("X:"), c), b.Int("AP.sj_cx", c), new QLabel(QStringLiteral("Y:"), c), b.Int("AP.sj_cy", c),
                         b.Flag("AP.tmark", QStringLiteral("+Mark"), c)}));
    img->addRow(b.Flag("AP.leavelong", QStringLiteral("Leave Image of Long Clip"), c));
    img->addRow(b.Flag("AP.track", QStringLiteral("Track and verdict (.track.json)"), c));

    QFormLayout* sch = Group(c, column, QStringLiteral("Schedule"));
    for (int n = 0; n < 2; ++n) {
        const std::string p = "AP.sd[" + std::to_string(n) + "].";
        auto key = [&p](const char* f) { return (p + f); };
        const QString title = QStringLiteral("Schedule%1").arg(n + 1);
        QCheckBox* on = b.Flag(key("on").c_str(), title, c);
        sch->addRow(on, Line(c, {b.Int(key("h1").c_str(), c), new QLabel(QStringLiteral(":"), c), b.Int(key("m1").c_str(), c), new QLabel(QStringLiteral("-"), c),
                                 b.Int(key("h2").c_str(), c), new QLabel(QStringLiteral(":"), c), b.Int(key("m2").c_str(), c)}));
        QLineEdit* vxi = b.Text(key("vxi").c_str(), c);
        QPushButton* pick = Button(QStringLiteral("..."), c, QStringLiteral("chooseSchedule%1").arg(n + 1));
        sch->addRow(QStringLiteral("vxi"), Line(c, {vxi, pick}));
        connect(pick, &QPushButton::clicked, this, [this, vxi, title] {
            QString f = ChooseFile(this, title + QStringLiteral(" vxi"), QStringLiteral("Vigilux profile(*.vxi)"), ProgramDir(ctx_), false);
            if (!f.isEmpty()) SetText(vxi, RelativeToProgram(ctx_, f));
        });
    }
    QPushButton* sun = Button(QStringLiteral("Sun..."), c, QStringLiteral("sunDialog"));
    sch->addRow(b.Flag("AP.sunset", QStringLiteral("Auto Adjust to Sun"), c), sun);
    connect(sun, &QPushButton::clicked, this, [this] {
        CSunDlg dlg(ctx_, this);
        dlg.exec();
        emit settingsChanged();
    });
    b.OnChange("AP.sunset", [this] {
        if (ctx_.ap.sunset && ctx_.compute_sun_times) ctx_.compute_sun_times(ctx_);
        emit settingsChanged();
    });
    sch->addRow(b.Flag("AP.md_autorun", QStringLiteral("Start Detect at Activation"), c));
    sch->addRow(b.Flag("AP.ar_on", QStringLiteral("Auto Restart Interval"), c), b.Int("AP.ar_h", c));
    QSpinBox* ttrig = b.Int("AP.ttrig", c);
    sch->addRow(b.Flag("AP.ttrig_on", QStringLiteral("Time Interval (min)"), c), ttrig);
    auto ttrig_enable = [this, ttrig] { ttrig->setEnabled(ctx_.ap.ttrig_on != 0); };
    ttrig_enable();
    b.OnChange("AP.ttrig_on", ttrig_enable);
    b.OnRefresh(ttrig_enable);

    QFormLayout* st = Group(c, column, QStringLiteral("Storage"));
    QLineEdit* dbdir = b.Text("AP.db_dir", c);
    QPushButton* pick_db = Button(QStringLiteral("..."), c, QStringLiteral("chooseDbDir"));
    st->addRow(QStringLiteral("DB dir"), Line(c, {dbdir, pick_db}));
    connect(pick_db, &QPushButton::clicked, this, [this, dbdir] {
        QString d = ChooseFolder(this, QStringLiteral("DB dir"), dbdir->text());
        if (!d.isEmpty()) SetText(dbdir, d);
    });
    st->addRow(b.Flag("AP.db_ymddir", QStringLiteral("+ Y/M/D dir"), c));
    free_space_ = new QLabel(c);
    free_space_->setObjectName(QStringLiteral("freeSpace"));
    st->addRow(QStringLiteral("Minimum Free Space"), Line(c, {b.Int("AP.limit_MB", c), new QLabel(QStringLiteral("MB"), c), free_space_}));
    st->addRow(Line(c, {b.Flag("AP.limit_stop", QStringLiteral("Stop"), c), b.Flag("AP.limit_delday", QStringLiteral("Delete Oldest in dir"), c)}));
    st->addRow(b.Flag("AP.nottrash", QStringLiteral("Do Not Use Trash Box"), c));
    b.OnChange("AP.db_dir", [this] { ShowFreeSpace(); });
    b.OnRefresh([this] { ShowFreeSpace(); });
    ShowFreeSpace();

    QFormLayout* act = Group(c, column, QStringLiteral("Actions"));
    act->addRow(Line(c, {b.Flag("AP.md_log", QStringLiteral("Logging"), c), b.Flag("AP.md_watchdog", QStringLiteral("Run Watch Dog Proc"), c)}));
    QLineEdit* snd = b.Text("AP.snd", c);
    QPushButton* pick_snd = Button(QStringLiteral("..."), c, QStringLiteral("chooseSound"));
    act->addRow(b.Flag("AP.beep", QStringLiteral("Beep at Capture Start *.wav"), c));
    act->addRow(QStringLiteral("wav"), Line(c, {snd, pick_snd}));
    connect(pick_snd, &QPushButton::clicked, this, [this, snd] {
        QString f = ChooseFile(this, QStringLiteral("Beep at Capture Start"), QStringLiteral("Sound(*.wav)"), ProgramDir(ctx_), false);
        if (!f.isEmpty()) SetText(snd, f);
    });
    act->addRow(b.Flag("AP.action", QStringLiteral("Action at Capture End *.bat"), c));
    act->addRow(QStringLiteral("bat"), b.Text("AP.bat", c));
    QPushButton* ftp = Button(QStringLiteral("FTP..."), c, QStringLiteral("ftpDialog"));
    QPushButton* clear = Button(QStringLiteral("Clear"), c, QStringLiteral("ftpClear"));
    QPushButton* mail = Button(QStringLiteral("Mail..."), c, QStringLiteral("mailDialog"));
    act->addRow(Line(c, {ftp, clear, mail}));
    connect(ftp, &QPushButton::clicked, this, [this] {
        CFtpDlg dlg(ctx_, this);
        dlg.exec();
        emit settingsChanged();
    });
    connect(mail, &QPushButton::clicked, this, [this] {
        CMailDlg dlg(ctx_, this);
        dlg.exec();
        emit settingsChanged();
    });
    connect(clear, &QPushButton::clicked, this, [this] {
        ClearRemoteFiles(ctx_);
        emit settingsChanged();
    });

    QFormLayout* rep = Group(c, column, QStringLiteral("Replay"));
    rep->addRow(b.Flag("RIF.deinterace", QStringLiteral("DeInterace Stepping"), c));
    rep->addRow(Line(c, {b.Flag("AP.r_amask", QStringLiteral("+Area mask"), c), b.Flag("AP.r_smask", QStringLiteral("+SCL mask"), c),
                         b.Flag("AP.r_hmark", QStringLiteral("+Hit mark"), c)}));

    QFormLayout* ed = Group(c, column, QStringLiteral("Auto Set"));
    ed->addRow(QStringLiteral("Lev"), Line(c, {b.Int("AP.me_lev", c), new QLabel(QStringLiteral("Ratio"), c), b.Int("AP.me_ratio", c)}));

    QPushButton* ax = Button(QStringLiteral("re-install ax"), c, QStringLiteral("reinstallAx"));
    column->addWidget(ax);
    connect(ax, &QPushButton::clicked, this, [this] { ReinstallPlugins(ctx_); });
    column->addStretch(1);
    Compact(c);
}

void CPageAction::ShowFreeSpace() {
    if (!free_space_) return;
    const int32_t mb = ctx_.ap.db_dir[0] ? FreeSpaceMB(ctx_.ap.db_dir) : -1;
    free_space_->setText(mb >= 0 ? QStringLiteral("free %1").arg(mb) : QStringLiteral("free ?"));
}

// -------------------------------------------------------------- Profile

CPageProfile::CPageProfile(AppContext& ctx, QWidget* parent) : SettingsPage(ctx, QStringLiteral("Profile"), parent) {
    QWidget* c = content();
    auto* column = static_cast<QVBoxLayout*>(c->layout());
    KeyBinder& b = binder_;
    QFormLayout* f = Group(c, column, QStringLiteral("Observer"));
    auto* an = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[A-Za-z0-9_ ]*")), this);
    QLineEdit* lid = b.Text("IF.lid", c, TextRule::kProfile);
    QLineEdit* cid = b.Text("IF.cid", c, TextRule::kProfile);
    lid->setValidator(an);
    cid->setValidator(an);
    f->addRow(QStringLiteral("Location ID (max12AN)"), lid);
    f->addRow(QStringLiteral("Camera ID (max2AN)"), cid);
    f->addRow(QStringLiteral("Observer name"), b.Text("AP.oname", c, TextRule::kProfile));
    f->addRow(QStringLiteral("Camera name"), b.Text("AP.cname", c, TextRule::kProfile));
    f->addRow(QStringLiteral("Lens name"), b.Text("AP.lname", c, TextRule::kProfile));
    f->addRow(QStringLiteral("Capture eq. name"), b.Text("AP.hname", c, TextRule::kProfile));
    f->addRow(QStringLiteral("Comment"), b.Text("AP.comment", c, TextRule::kProfile));
    QFormLayout* site = Group(c, column, QStringLiteral("Site"));
    site->addRow(QStringLiteral("Longitude(E+)"), b.Dbl("AP.lng", 4, c));
    site->addRow(QStringLiteral("Latitude(N+)"), b.Dbl("AP.lat", 4, c));
    site->addRow(QStringLiteral("Altitude(m)"), b.Dbl("AP.alt", 1, c));
    for (const char* k : {"AP.lng", "AP.lat"}) {
        b.OnChange(k, [this] {
            if (ctx_.ap.sunset && ctx_.compute_sun_times) ctx_.compute_sun_times(ctx_);
            emit settingsChanged();
        });
    }
    column->addStretch(1);
    Compact(c);
}

}  // namespace vlx
