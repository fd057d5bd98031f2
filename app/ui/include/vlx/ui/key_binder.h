// Controls bound to settings keys. Each control is named after its key, takes
// its range and text capacity from the key table, writes the setting at every
// change (the detection element reads its settings live, so a change acts on
// the next frame) and shows the stored value again on Refresh.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QObject>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "vlx/app/context.h"
#include "vlx/settings/key_table.h"

namespace vlx {

enum class TextRule {
    kPlain,
    kPassword,
    kProfile,  // blanks become "_" as they are typed
};

class KeyBinder : public QObject {
    Q_OBJECT
public:
    explicit KeyBinder(AppContext& ctx, QObject* parent = nullptr) : QObject(parent), ctx_(ctx) {}

    AppContext& ctx() { return ctx_; }

    QSpinBox* Int(const char* key, QWidget* parent);
    QCheckBox* Flag(const char* key, const QString& caption, QWidget* parent);
    QDoubleSpinBox* Dbl(const char* key, int decimals, QWidget* parent);
    QLineEdit* Text(const char* key, QWidget* parent, TextRule rule = TextRule::kPlain);
    QPlainTextEdit* TextArea(const char* key, QWidget* parent);
    // A string key chosen from a list (device and codec names); a stored value
    // the list lacks is shown as an extra entry.
    QComboBox* Choice(const char* key, const QStringList& items, QWidget* parent);
    // An integer key whose value is the index into items.
    QComboBox* IndexChoice(const char* key, const QStringList& items, QWidget* parent);

    // The upper bound of box `key` follows the value of `max_key`.
    void BoundBy(const char* key, const char* max_key);
    // Switching `a` on switches `b` off, and the other way round.
    void Exclusive(const char* a, const char* b);
    // Runs after every change of `key` made through its control.
    void OnChange(const char* key, std::function<void()> fn);
    // Extra work after every Refresh (controls that are not single keys).
    void OnRefresh(std::function<void()> fn) { refreshers_.push_back(std::move(fn)); }

    // Every bound control shows its setting again.
    void Refresh();
    // The changes made through controls so far (tests, and the pages' owner).
    int changes() const { return changes_; }

private:
    const KeyDef& Def(const char* key) const;
    void Changed(const char* key);

    AppContext& ctx_;
    std::vector<std::function<void()>> refreshers_;
    std::vector<std::pair<std::string, std::function<void()>>> on_change_;
    std::map<std::string, QSpinBox*> int_boxes_;
    int changes_ = 0;
};

// Replaces blanks by "_" and cuts to max_chars (the profile text rule).
QString ProfileText(const QString& typed, int max_chars);

}  // namespace vlx
