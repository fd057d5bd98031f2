// Helpers shared by the clip storage and record tests.
#pragma once

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "vlx/app/context.h"

namespace vlx::test {

// Seconds since 1970 of a UTC calendar time.
inline int64_t Utc(int y, int mo, int d, int h, int mi, int s) {
    struct tm tm = {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return static_cast<int64_t>(timegm(&tm));
}

// Runs a command line and returns its standard output; exit status in *status.
inline std::string RunCommand(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

template <size_t N>
void SetText(char (&field)[N], const char* text) {
    std::snprintf(field, N, "%s", text);
}

}  // namespace vlx::test
