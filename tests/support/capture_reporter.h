// A reporter that records messages; fatal ones throw so a test can see them.
#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "vlx/app/report.h"

namespace vlx::test {

struct FatalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class CaptureReporter : public Reporter {
public:
    CaptureReporter() { SetReporter(this); }
    ~CaptureReporter() override { SetReporter(nullptr); }

    void Error(std::string_view text) override {
        std::lock_guard<std::mutex> lock(mu_);
        errors_.emplace_back(text);
    }
    void Fatal(std::string_view text) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            fatals_.emplace_back(text);
        }
        throw FatalError(std::string(text));
    }
    std::vector<std::string> errors() const {
        std::lock_guard<std::mutex> lock(mu_);
        return errors_;
    }
    std::vector<std::string> fatals() const {
        std::lock_guard<std::mutex> lock(mu_);
        return fatals_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mu_);
        errors_.clear();
        fatals_.clear();
    }

private:
    mutable std::mutex mu_;
    std::vector<std::string> errors_;
    std::vector<std::string> fatals_;
};

}  // namespace vlx::test
