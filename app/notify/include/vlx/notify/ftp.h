// FTP upload of a finished clip's files, and clearing them from the server.
//
// Remote names rotate through vlx1..vlxN (N = AP.ftp_rc) so the server keeps
// what the last N events uploaded; timer-trigger clips may be named by their
// time of day instead. Failures are reported only through the status message
// ("-FTP:<library error text>", "-FTP:dir error", "-FTP:put error"); the
// caller goes on either way. No connection is kept between calls.
#pragma once

#include <atomic>
#include <string>

#include "vlx/app/context.h"

namespace vlx {

// File kinds the clip-end sequence uploads.
enum FtpFileKind : int {
    kFtpThumbnail = 0,
    kFtpStill = 1,
    kFtpClip = 2,
};

// Limits that keep a dead or stalled server from holding the live thread.
struct FtpOptions {
    int connect_timeout_s = 20;  // TCP connect, and each server reply
    int stall_timeout_s = 20;    // transfer below 1 byte/s for this long
    // Raised by another thread to end the upload at once (within about a
    // second, the library's progress period); it then fails without a
    // status text of its own.
    const std::atomic<bool>* cancel = nullptr;
};

// The remote name for a file of `kind` under the current settings and the
// block's clip_trigger: "vlx%d.wmv", "vlx%d.jpg", "vlxs%d.jpg", or with a
// timer trigger and AP.ftp_trigsuffix "vlxT%s.wmv", "vlxT%s.jpg", "vlxsT%s.jpg".
std::string FtpRemoteName(const AppContext& ctx, int kind, const char* hhmm);

// Copies `local_path` into the clip's folder (ctx.day_folder) under its remote
// name, puts the copy into AP.ftp_dir, deletes the copy after a successful put
// and advances AP.ftp_cn as the rotation rules say. Returns true on success.
bool UploadClipFile(AppContext& ctx, const char* local_path, int kind, const char* hhmm,
                    const FtpOptions& options = {});

// Deletes every remote file whose name begins "vlx" in AP.ftp_dir and
// restarts the numbering (AP.ftp_cn = 1). Returns true on success.
bool ClearRemoteFiles(AppContext& ctx, const FtpOptions& options = {});

}  // namespace vlx
