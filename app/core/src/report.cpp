#include "vlx/app/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace vlx {
namespace {

class StderrReporter : public Reporter {
public:
    void Error(std::string_view text) override { Write(text); }
    void Fatal(std::string_view text) override { Write(text); }

private:
    static void Write(std::string_view text) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
};

StderrReporter g_stderr_reporter;
Reporter* g_reporter = &g_stderr_reporter;

std::string VFormat(const char* format, va_list args) {
    char buf[kMessageCap];
    std::vsnprintf(buf, sizeof buf, format, args);
    return std::string(buf);
}

}  // namespace

void SetReporter(Reporter* reporter) { g_reporter = reporter ? reporter : &g_stderr_reporter; }
Reporter* CurrentReporter() { return g_reporter; }

std::string FormatMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = VFormat(format, args);
    va_end(args);
    return s;
}

void ErrorBox(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = VFormat(format, args);
    va_end(args);
    g_reporter->Error(s);
}

void FatalBox(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = VFormat(format, args);
    va_end(args);
    g_reporter->Fatal(s);
    std::_Exit(kFatalExitCode);
}

}  // namespace vlx
