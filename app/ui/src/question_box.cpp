#include "vlx/ui/question_box.h"

#include <QMessageBox>

namespace vlx {

bool QuestionBox::AskOkCancel(std::string_view text) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Vigilux"),
                    QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())),
                    QMessageBox::Ok | QMessageBox::Cancel, owner_.data());
    box.setObjectName(QStringLiteral("QuestionBox"));
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

}  // namespace vlx
