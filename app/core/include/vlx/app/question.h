// Questions put to the user with an OK and a Cancel answer. The window asks
// with a modal box; the station program and the tests answer in code.
#pragma once

#include <string_view>

namespace vlx {

class Questioner {
public:
    virtual ~Questioner() = default;
    // True for OK, false for Cancel.
    virtual bool AskOkCancel(std::string_view text) = 0;
};

// Answers every question the same way.
class FixedAnswer : public Questioner {
public:
    explicit FixedAnswer(bool ok) : ok_(ok) {}
    bool AskOkCancel(std::string_view) override { return ok_; }

private:
    bool ok_;
};

}  // namespace vlx
