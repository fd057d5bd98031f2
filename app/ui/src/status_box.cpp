#include "vlx/ui/status_box.h"

#include <QPainter>

namespace vlx {

StatusBox::StatusBox(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("statusBox"));
    setFixedSize(sizeHint());
}

void StatusBox::SetStatus(const QString& text, const QColor& colour) {
    if (text == text_ && colour == colour_) return;
    text_ = text;
    colour_ = colour;
    update();
}

void StatusBox::SetMessage(const QString& message) {
    if (message == message_) return;
    message_ = message;
    update();
}

void StatusBox::paintEvent(QPaintEvent*) {
    // 307 x 16 inside, a black frame and a white one a pixel further out to
    // the right and bottom.
    QPainter p(this);
    p.setPen(Qt::white);
    p.drawRect(0, 0, 308, 17);
    p.setPen(Qt::black);
    p.drawRect(0, 0, 307, 16);
    p.fillRect(1, 1, 306, 15, colour_);
    p.setPen(Qt::black);
    QFont f = p.font();
    f.setPixelSize(12);
    p.setFont(f);
    p.drawText(QRect(1, 1, 306, 15), Qt::AlignCenter | Qt::TextSingleLine, shown());
}

}  // namespace vlx
