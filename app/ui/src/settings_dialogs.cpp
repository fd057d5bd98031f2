#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdio>
#include <cstdlib>

#include "vlx/schedule/sun.h"
#include "vlx/ui/settings_pages.h"

namespace vlx {
namespace {

QWidget* Line(QWidget* parent, std::initializer_list<QWidget*> widgets) {
    auto* w = new QWidget(parent);
    auto* h = new QHBoxLayout(w);
    h->setContentsMargins(0, 0, 0, 0);
    for (QWidget* c : widgets) h->addWidget(c);
    return w;
}

}  // namespace

SettingsDialog::SettingsDialog(AppContext& ctx, const QString& name, const QString& title, QWidget* parent)
    : QDialog(parent), ctx_(ctx), binder_(ctx, this) {
    setObjectName(name);
    setWindowTitle(title);
    setModal(true);
}

CFtpDlg::CFtpDlg(AppContext& ctx, QWidget* parent) : SettingsDialog(ctx, QStringLiteral("ftpDlg"), QStringLiteral("FTP"), parent) {
    KeyBinder& b = binder_;
    auto* col = new QVBoxLayout(this);
    auto* f = new QFormLayout;
    col->addLayout(f);
    f->addRow(b.Flag("AP.ftp_on", QStringLiteral("FTP"), this));
    f->addRow(QStringLiteral("FTP Server"), b.Text("AP.ftp_server", this));
    f->addRow(QStringLiteral("Port"), Line(this, {b.Int("AP.ftp_port", this), b.Flag("AP.ftp_passive", QStringLiteral("Passive"), this)}));
    f->addRow(QStringLiteral("Login name"), b.Text("AP.ftp_uname", this));
    f->addRow(QStringLiteral("PassWord"), b.Text("AP.ftp_pw", this, TextRule::kPassword));
    f->addRow(QStringLiteral("Dir"), b.Text("AP.ftp_dir", this));
    f->addRow(Line(this, {b.Flag("AP.ftp_jpg", QStringLiteral("S/Pjpeg"), this), b.Flag("AP.ftp_small", QStringLiteral("Tjpeg"), this),
                          b.Flag("AP.ftp_wmv", QStringLiteral("wmv"), this)}));
    QSpinBox* cn = b.Int("AP.ftp_cn", this);
    f->addRow(QStringLiteral("+no."), Line(this, {b.Int("AP.ftp_rc", this), new QLabel(QStringLiteral("next"), this), cn}));
    b.BoundBy("AP.ftp_cn", "AP.ftp_rc");
    f->addRow(b.Flag("AP.ftp_trigsuffix", QStringLiteral("Add Triger suffix to name"), this));
    auto* ok = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    col->addWidget(ok);
    connect(ok, &QDialogButtonBox::accepted, this, &QDialog::accept);
}

CMailDlg::CMailDlg(AppContext& ctx, QWidget* parent) : SettingsDialog(ctx, QStringLiteral("mailDlg"), QStringLiteral("Mail"), parent) {
    KeyBinder& b = binder_;
    auto* col = new QVBoxLayout(this);
    auto* f = new QFormLayout;
    col->addLayout(f);
    f->addRow(b.Flag("AP.mail_on", QStringLiteral("Mail"), this));
    f->addRow(QStringLiteral("SMTP Server"), b.Text("AP.mail_server", this));
    f->addRow(b.Flag("AP.mail_popbefore", QStringLiteral("POP before SMTP"), this));
    f->addRow(QStringLiteral("POP3 Server"), b.Text("AP.mail_popserver", this));
    f->addRow(QStringLiteral("User name"), b.Text("AP.mail_uname", this));
    f->addRow(QStringLiteral("Password"), b.Text("AP.mail_pw", this, TextRule::kPassword));
    f->addRow(QStringLiteral("From"), b.Text("AP.mail_from", this));
    f->addRow(QStringLiteral("To"), b.Text("AP.mail_to", this));
    f->addRow(QStringLiteral("Subject"), b.Text("AP.mail_subject", this));
    f->addRow(QStringLiteral("Message"), b.TextArea("AP.mail_body", this));
    f->addRow(Line(this, {b.Flag("AP.mail_big", QStringLiteral("S/Pjpeg"), this), b.Flag("AP.mail_small", QStringLiteral("Tjpeg"), this)}));
    auto* ok = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    col->addWidget(ok);
    connect(ok, &QDialogButtonBox::accepted, this, &QDialog::accept);
}

CSunDlg::CSunDlg(AppContext& ctx, QWidget* parent) : SettingsDialog(ctx, QStringLiteral("sunDlg"), QStringLiteral("Auto Adjust to Sun"), parent) {
    KeyBinder& b = binder_;
    auto* col = new QVBoxLayout(this);
    auto* f = new QFormLayout;
    col->addLayout(f);
    f->addRow(b.Flag("AP.sunset", QStringLiteral("Auto Adjust to Sun"), this));
    f->addRow(QStringLiteral("Schedule1 sunrise+"), Line(this, {b.Int("AP.sd[0].o1", this), new QLabel(QStringLiteral("sunset+"), this), b.Int("AP.sd[0].o2", this)}));
    f->addRow(QStringLiteral("Schedule2 sunset+"), Line(this, {b.Int("AP.sd[1].o1", this), new QLabel(QStringLiteral("sunrise+"), this), b.Int("AP.sd[1].o2", this)}));
    report_ = new QPlainTextEdit(this);
    report_->setObjectName(QStringLiteral("sunReport"));
    report_->setReadOnly(true);
    report_->setMinimumSize(360, 150);
    col->addWidget(report_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    QPushButton* compute = buttons->addButton(QStringLiteral("Compute"), QDialogButtonBox::ActionRole);
    compute->setObjectName(QStringLiteral("compute"));
    col->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto recompute = [this] {
        if (ctx_.ap.sunset && ctx_.compute_sun_times) ctx_.compute_sun_times(ctx_);
        ShowReport();
    };
    connect(compute, &QPushButton::clicked, this, recompute);
    for (const char* k : {"AP.sunset", "AP.sd[0].o1", "AP.sd[0].o2", "AP.sd[1].o1", "AP.sd[1].o2"}) b.OnChange(k, recompute);
    ShowReport();
}

void CSunDlg::ShowReport() {
    char* text = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    if (!out) return;
    PrintSunReport(ctx_, out);
    std::fclose(out);
    report_->setPlainText(QString::fromLocal8Bit(text, static_cast<qsizetype>(size)));
    std::free(text);
}

}  // namespace vlx
