// Small text helpers shared by the FTP and mail code.
#pragma once

#include <string>

namespace vlx::notify {

// `text` without any CR or LF, so that a setting cannot end a protocol line
// or a mail header early and smuggle in its own.
std::string StripLineBreaks(const char* text);

// The part of `path` after its last '/'.
std::string FileNameOf(const char* path);

}  // namespace vlx::notify
