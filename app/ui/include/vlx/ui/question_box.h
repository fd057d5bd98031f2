// Questions with OK and Cancel answered in a modal box titled "Vigilux",
// owned by the widget given.
#pragma once

#include <QPointer>
#include <QWidget>

#include "vlx/app/question.h"

namespace vlx {

class QuestionBox : public Questioner {
public:
    explicit QuestionBox(QWidget* owner) : owner_(owner) {}
    bool AskOkCancel(std::string_view text) override;

private:
    QPointer<QWidget> owner_;
};

}  // namespace vlx
