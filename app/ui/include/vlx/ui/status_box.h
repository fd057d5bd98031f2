// The status box: the live status text followed by the status message, centred
// on one line over the status colour, in a black and a white frame.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

namespace vlx {

class StatusBox : public QWidget {
    Q_OBJECT
public:
    explicit StatusBox(QWidget* parent = nullptr);

    void SetStatus(const QString& text, const QColor& colour);
    void SetMessage(const QString& message);

    QString text() const { return text_; }
    QString message() const { return message_; }
    QColor colour() const { return colour_; }
    // What the box shows: the status text, then the message.
    QString shown() const { return text_ + message_; }

    QSize sizeHint() const override { return {309, 18}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    QString message_;
    QColor colour_{160, 160, 160};
};

}  // namespace vlx
