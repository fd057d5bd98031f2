#include "vlx/app/status.h"

namespace vlx {

void StatusMessage::Set(const std::string& text) {
    std::function<void(const std::string&)> listener;
    std::string copy = text.substr(0, 1023);
    {
        std::lock_guard<std::mutex> lock(mu_);
        text_ = copy;
        listener = listener_;
    }
    if (listener) listener(copy);
}

std::string StatusMessage::Get() const {
    std::lock_guard<std::mutex> lock(mu_);
    return text_;
}

void StatusMessage::OnChange(std::function<void(const std::string&)> listener) {
    std::lock_guard<std::mutex> lock(mu_);
    listener_ = std::move(listener);
}

}  // namespace vlx
