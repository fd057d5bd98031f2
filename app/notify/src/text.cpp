#include "text.h"

#include <cstring>

namespace vlx::notify {

std::string StripLineBreaks(const char* text) {
    std::string out;
    if (!text) return out;
    for (const char* p = text; *p; ++p) {
        if (*p != '\r' && *p != '\n') out.push_back(*p);
    }
    return out;
}

std::string FileNameOf(const char* path) {
    if (!path) return std::string();
    const char* slash = std::strrchr(path, '/');
    return slash ? std::string(slash + 1) : std::string(path);
}

}  // namespace vlx::notify
