// The two message reporters every part of the application uses.
//
// ErrorBox reports a condition and returns; FatalBox reports and ends the
// process with exit code -9. Without a window both write the exact message
// text to standard error; the window layer installs a Reporter that shows
// modal boxes instead. Texts are cut at 1023 characters.
#pragma once

#include <string>
#include <string_view>

namespace vlx {

inline constexpr int kFatalExitCode = -9;
inline constexpr size_t kMessageCap = 1024;

class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void Error(std::string_view text) = 0;
    // Shows the fatal text. FatalBox ends the process after this returns; a
    // test reporter may throw instead.
    virtual void Fatal(std::string_view text) = 0;
};

// Installs the process-wide reporter (nullptr restores the standard-error one).
void SetReporter(Reporter* reporter);
Reporter* CurrentReporter();

void ErrorBox(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void FatalBox(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats like printf into at most 1023 characters.
std::string FormatMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vlx
