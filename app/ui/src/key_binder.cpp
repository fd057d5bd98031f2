#include "vlx/ui/key_binder.h"

#include <QSignalBlocker>
#include <algorithm>
#include <climits>
#include <stdexcept>

namespace vlx {

QString ProfileText(const QString& typed, int max_chars) {
    QString t = typed;
    t.replace(QLatin1Char(' '), QLatin1Char('_'));
    t.replace(QLatin1Char('\t'), QLatin1Char('_'));
    if (t.size() > max_chars) t.truncate(max_chars);
    return t;
}

const KeyDef& KeyBinder::Def(const char* key) const {
    // The scrambled form of a credential is the one the controls edit.
    const KeyDef* found = nullptr;
    for (const KeyDef& d : KeyTable()) {
        if (std::string_view(d.key) == key) found = &d;
    }
    if (!found) throw std::logic_error(std::string("no settings key ") + key);
    return *found;
}

void KeyBinder::Changed(const char* key) {
    ++changes_;
    for (auto& [k, fn] : on_change_) {
        if (k == key) fn();
    }
}

void KeyBinder::OnChange(const char* key, std::function<void()> fn) { on_change_.emplace_back(key, std::move(fn)); }

QSpinBox* KeyBinder::Int(const char* key, QWidget* parent) {
    const KeyDef& d = Def(key);
    key = d.key;  // static storage, kept by the lambdas below
    auto* box = new QSpinBox(parent);
    box->setObjectName(QString::fromLatin1(key));
    box->setRange(d.ranged ? d.min : INT_MIN, d.ranged ? d.max : INT_MAX);
    box->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    box->setKeyboardTracking(false);
    int_boxes_[key] = box;
    int32_t* value = &KeyInt(ctx_, d);
    connect(box, &QSpinBox::valueChanged, this, [this, value, key](int v) {
        if (*value == v) return;
        *value = v;
        Changed(key);
    });
    auto show = [box, value] {
        QSignalBlocker b(box);
        box->setValue(*value);
    };
    show();
    refreshers_.push_back(show);
    return box;
}

QCheckBox* KeyBinder::Flag(const char* key, const QString& caption, QWidget* parent) {
    const KeyDef& d = Def(key);
    key = d.key;  // static storage, kept by the lambdas below
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(QString::fromLatin1(key));
    int32_t* value = &KeyInt(ctx_, d);
    connect(box, &QCheckBox::toggled, this, [this, value, key](bool on) {
        if ((*value != 0) == on) return;
        *value = on ? 1 : 0;
        Changed(key);
    });
    auto show = [box, value] {
        QSignalBlocker b(box);
        box->setChecked(*value != 0);
    };
    show();
    refreshers_.push_back(show);
    return box;
}

QDoubleSpinBox* KeyBinder::Dbl(const char* key, int decimals, QWidget* parent) {
    const KeyDef& d = Def(key);
    key = d.key;  // static storage, kept by the lambdas below
    auto* box = new QDoubleSpinBox(parent);
    box->setObjectName(QString::fromLatin1(key));
    box->setDecimals(decimals);
    box->setRange(d.ranged ? d.min : 0.0, d.ranged ? d.max : 1000.0);
    box->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    box->setKeyboardTracking(false);
    double* value = &KeyDbl(ctx_, d);
    connect(box, &QDoubleSpinBox::valueChanged, this, [this, value, key](double v) {
        if (*value == v) return;
        *value = v;
        Changed(key);
    });
    auto show = [box, value] {
        QSignalBlocker b(box);
        box->setValue(*value);
    };
    show();
    refreshers_.push_back(show);
    return box;
}

QLineEdit* KeyBinder::Text(const char* key, QWidget* parent, TextRule rule) {
    const KeyDef& d = Def(key);
    key = d.key;  // static storage, kept by the lambdas below
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(key));
    const int max_chars = static_cast<int>(d.max_chars ? d.max_chars : d.capacity - 1);
    edit->setMaxLength(max_chars);
    if (rule == TextRule::kPassword) edit->setEchoMode(QLineEdit::Password);
    char* value = KeyStr(ctx_, d);
    const size_t capacity = d.capacity;
    connect(edit, &QLineEdit::textChanged, this, [this, edit, value, capacity, key, rule, max_chars](const QString& t) {
        QString text = t;
        if (rule == TextRule::kProfile) {
            text = ProfileText(t, max_chars);
            if (text != t) {
                const int pos = edit->cursorPosition();
                QSignalBlocker b(edit);
                edit->setText(text);
                edit->setCursorPosition(pos);
            }
        }
        const QByteArray bytes = text.toLocal8Bit();
        if (bytes == value) return;
        CopyText(value, capacity, bytes.constData());
        Changed(key);
    });
    auto show = [edit, value] {
        QSignalBlocker b(edit);
        edit->setText(QString::fromLocal8Bit(value));
    };
    show();
    refreshers_.push_back(show);
    return edit;
}

QPlainTextEdit* KeyBinder::TextArea(const char* key, QWidget* parent) {
    const KeyDef& d = Def(key);
    key = d.key;  // static storage, kept by the lambdas below
    auto* edit = new QPlainTextEdit(parent);
    edit->setObjectName(QString::fromLatin1(key));
    char* value = KeyStr(ctx_, d);
    const size_t capacity = d.capacity;
    const int max_chars = static_cast<int>(d.max_chars ? d.max_chars : capacity - 1);
    connect(edit, &QPlainTextEdit::textChanged, this, [this, edit, value, capacity, key, max_chars] {
        QString text = edit->toPlainText();
        if (text.size() > max_chars) {
            text.truncate(max_chars);
            QSignalBlocker b(edit);
            edit->setPlainText(text);
        }
        const QByteArray bytes = text.toLocal8Bit();
        if (bytes == value) return;
        CopyText(value, capacity, bytes.constData());
        Changed(key);
    });
    auto show = [edit, value] {
        QSignalBlocker b(edit);
        edit->setPlainText(QString::fromLocal8Bit(value));
    };
    show();
    refreshers_.push_back(show);
    return edit;
}

QComboBox* KeyBinder::Choice(const char* key, const QStringList& items, QWidget* parent) {
    const KeyDef& d = Def(key);
    key = d.key;  // static storage, kept by the lambdas below
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(key));
    combo->addItems(items);
    char* value = KeyStr(ctx_, d);
    const size_t capacity = d.capacity;
    connect(combo, &QComboBox::currentTextChanged, this, [this, value, capacity, key](const QString& t) {
        const QByteArray bytes = t.toLocal8Bit();
        if (bytes == value) return;
        CopyText(value, capacity, bytes.constData());
        Changed(key);
    });
    auto show = [combo, value] {
        QSignalBlocker b(combo);
        const QString v = QString::fromLocal8Bit(value);
        int i = combo->findText(v);
        if (i < 0 && !v.isEmpty()) {
            combo->addItem(v);
            i = combo->count() - 1;
        }
        combo->setCurrentIndex(i);
    };
    show();
    refreshers_.push_back(show);
    return combo;
}

QComboBox* KeyBinder::IndexChoice(const char* key, const QStringList& items, QWidget* parent) {
    const KeyDef& d = Def(key);
    key = d.key;  // static storage, kept by the lambdas below
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(key));
    combo->addItems(items);
    int32_t* value = &KeyInt(ctx_, d);
    connect(combo, &QComboBox::currentIndexChanged, this, [this, value, key](int i) {
        if (i < 0 || *value == i) return;
        *value = i;
        Changed(key);
    });
    auto show = [combo, value] {
        QSignalBlocker b(combo);
        // Values outside the list count as the first entry.
        combo->setCurrentIndex(*value >= 0 && *value < combo->count() ? *value : 0);
    };
    show();
    refreshers_.push_back(show);
    return combo;
}

void KeyBinder::BoundBy(const char* key, const char* max_key) {
    int32_t* max_value = &KeyInt(ctx_, Def(max_key));
    const KeyDef& d = Def(key);
    key = d.key;  // static storage, kept by the lambdas below
    const int32_t lower = d.ranged ? d.min : INT_MIN;
    QSpinBox* box = int_boxes_.at(key);
    auto apply = [box, max_value, lower] { box->setMaximum(std::max(lower, *max_value)); };
    OnChange(max_key, apply);
    refreshers_.push_back(apply);
    apply();
}

void KeyBinder::Exclusive(const char* a, const char* b) {
    int32_t* va = &KeyInt(ctx_, Def(a));
    int32_t* vb = &KeyInt(ctx_, Def(b));
    auto off = [this](int32_t* on, int32_t* other) {
        if (*on && *other) {
            *other = 0;
            Refresh();
        }
    };
    OnChange(a, [off, va, vb] { off(va, vb); });
    OnChange(b, [off, va, vb] { off(vb, va); });
}

void KeyBinder::Refresh() {
    for (auto& fn : refreshers_) fn();
}

}  // namespace vlx
