// Mail notification of a finished clip: plain SMTP over a TCP socket with a
// hand-built MIME multipart message, optionally preceded by a POP3 login
// ("POP before SMTP") for servers that require it.
//
// AP.mail_server and AP.mail_popserver may carry a port as "host:port" (or
// "[v6address]:port"); without one the services database gives the port of
// "mail" and "pop3", 25 and 110 when it has no entry.
//
// Failures are reported only through the status message, each beginning
// "-MAIL "; a command the server refuses is reported as "-MAIL " followed by
// the server's reply line. The caller goes on either way.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "vlx/app/context.h"

namespace vlx {

// Attachments of this many bytes or more are not mailed.
inline constexpr size_t kMailAttachCap = 2962284;

// The MIME boundary parameter; delimiter lines are "--" followed by it.
inline constexpr const char* kMailBoundary = "--=_PART_MK000_0001XXVXQRN";

struct MailOptions {
    int timeout_ms = 20000;  // connect, and every send and receive
    // Raised by another thread to end the mail at once (within 100 ms); the
    // mail then fails without a status text of its own.
    const std::atomic<bool>* cancel = nullptr;
};

// Sends one mail about `path`. With `attach`, the file is attached (as an
// image/jpeg part named after the file); without, only its name is used, in
// the subject. Returns true when the server accepted the message.
bool SendClipMail(AppContext& ctx, const char* path, bool attach, const MailOptions& options = {});

// Base64 of `n` bytes with the standard alphabet and "=" padding. CR LF
// follows every 19th complete 3-byte group (full lines of 76 characters) and
// nowhere else; a padded last group follows the last complete group directly.
// `out` must hold Base64EncodedSize(n) bytes. Returns the number of bytes
// written (no terminating NUL), 0 when a buffer is missing.
size_t Base64Encode(const uint8_t* bytes, size_t n, char* out);
size_t Base64EncodedSize(size_t n);

// AP.mail_subject with "%f" replaced by `file_name`; "%" and any other
// character after it are dropped, as is a "%" at the very end.
std::string ExpandMailSubject(const char* subject, const char* file_name);

}  // namespace vlx
