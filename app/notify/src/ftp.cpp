#include "vlx/notify/ftp.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "text.h"

namespace vlx {

namespace {

namespace fs = std::filesystem;
using notify::StripLineBreaks;

constexpr int kTimerTrigger = 3;
constexpr int kDefaultFtpPort = 21;

void InitCurlOnce() {
    static const bool done = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
    (void)done;
}

struct CurlDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

// Percent-encodes everything but unreserved characters and '/'.
std::string EscapePath(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

// "ftp://server:port/dir/" (just "ftp://server:port/" without a directory).
// A directory beginning with '/' is taken from the server's root, any other
// from the login directory.
std::string DirUrl(const Settings& ap) {
    std::string host = StripLineBreaks(ap.ftp_server);
    if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
    int port = ap.ftp_port & 0xFFFF;
    if (port == 0) port = kDefaultFtpPort;
    std::string url = "ftp://" + host + ":" + std::to_string(port) + "/";
    std::string dir = StripLineBreaks(ap.ftp_dir);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (!dir.empty()) url += EscapePath(dir) + (dir == "/" ? "" : "/");
    return url;
}

// One FTP session: a curl handle whose connection is kept between the steps
// of one operation (directory check, then transfer) and closed at the end.
class FtpSession {
public:
    FtpSession(const Settings& ap, const FtpOptions& options) {
        InitCurlOnce();
        h_.reset(curl_easy_init());
        if (!h_) return;
        CURL* h = h_.get();
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_);
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "ftp");
        curl_easy_setopt(h, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options.connect_timeout_s));
        curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(options.connect_timeout_s));
        curl_easy_setopt(h, CURLOPT_ACCEPTTIMEOUT_MS, 1000L * options.connect_timeout_s);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.stall_timeout_s));
        if (options.cancel) {
            // The library calls this about once a second even while it waits
            // for a reply, so a raised flag ends the session promptly.
            curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &CancelCheck);
            curl_easy_setopt(h, CURLOPT_XFERINFODATA, options.cancel);
        }
        // Without a user name the library logs in as "anonymous".
        user_ = StripLineBreaks(ap.ftp_uname);
        password_ = StripLineBreaks(ap.ftp_pw);
        if (!user_.empty()) {
            curl_easy_setopt(h, CURLOPT_USERNAME, user_.c_str());
            curl_easy_setopt(h, CURLOPT_PASSWORD, password_.c_str());
        }
        // Active mode: the server connects back to the address of the control
        // connection.
        if (!ap.ftp_passive) curl_easy_setopt(h, CURLOPT_FTPPORT, "-");
        dir_url_ = DirUrl(ap);
    }

    bool ok() const { return h_ != nullptr; }

    // The library's text for the last failure, "ERROR" when it has none.
    std::string ErrorText(CURLcode rc) const {
        if (error_[0]) return error_;
        const char* text = curl_easy_strerror(rc);
        return text && *text ? text : "ERROR";
    }

    // Connects, logs in and changes to the directory.
    CURLcode EnterDir() {
        Reset();
        curl_easy_setopt(h_.get(), CURLOPT_URL, dir_url_.c_str());
        curl_easy_setopt(h_.get(), CURLOPT_NOBODY, 1L);
        return curl_easy_perform(h_.get());
    }

    CURLcode Put(const std::string& remote_name, FILE* f, curl_off_t size) {
        Reset();
        std::string url = dir_url_ + EscapePath(remote_name);
        curl_easy_setopt(h_.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(h_.get(), CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(h_.get(), CURLOPT_READDATA, f);
        curl_easy_setopt(h_.get(), CURLOPT_INFILESIZE_LARGE, size);
        return curl_easy_perform(h_.get());
    }

    // The names in the directory (NLST).
    CURLcode List(std::string* listing) {
        Reset();
        curl_easy_setopt(h_.get(), CURLOPT_URL, dir_url_.c_str());
        curl_easy_setopt(h_.get(), CURLOPT_DIRLISTONLY, 1L);
        curl_easy_setopt(h_.get(), CURLOPT_WRITEFUNCTION, &AppendText);
        curl_easy_setopt(h_.get(), CURLOPT_WRITEDATA, listing);
        return curl_easy_perform(h_.get());
    }

    // Deletes each name in the directory; stops at the first refusal.
    CURLcode Delete(const std::vector<std::string>& names) {
        Reset();
        curl_slist* list = nullptr;
        for (const auto& name : names) {
            curl_slist* next = curl_slist_append(list, ("DELE " + name).c_str());
            if (!next) {
                curl_slist_free_all(list);
                return CURLE_OUT_OF_MEMORY;
            }
            list = next;
        }
        SlistPtr owned(list);
        curl_easy_setopt(h_.get(), CURLOPT_URL, dir_url_.c_str());
        curl_easy_setopt(h_.get(), CURLOPT_NOBODY, 1L);
        curl_easy_setopt(h_.get(), CURLOPT_POSTQUOTE, list);
        CURLcode rc = curl_easy_perform(h_.get());
        curl_easy_setopt(h_.get(), CURLOPT_POSTQUOTE, nullptr);
        return rc;
    }

private:
    static int CancelCheck(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
    }
    static size_t AppendText(char* data, size_t size, size_t n, void* user) {
        static_cast<std::string*>(user)->append(data, size * n);
        return size * n;
    }

    // Clears what the previous step set, keeping the connection.
    void Reset() {
        error_[0] = '\0';
        curl_easy_setopt(h_.get(), CURLOPT_NOBODY, 0L);
        curl_easy_setopt(h_.get(), CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(h_.get(), CURLOPT_DIRLISTONLY, 0L);
    }

    CurlPtr h_;
    char error_[CURL_ERROR_SIZE] = {};
    std::string user_, password_, dir_url_;
};

bool Fail(AppContext& ctx, const std::string& text) {
    ctx.status.Set(text);
    return false;
}

// Connects and enters AP.ftp_dir, reporting a failure in the status message.
bool Enter(AppContext& ctx, FtpSession& session) {
    if (!session.ok()) return Fail(ctx, "-FTP:ERROR");
    CURLcode rc = session.EnterDir();
    if (rc == CURLE_OK) return true;
    if (rc == CURLE_ABORTED_BY_CALLBACK) return false;  // given up; the station reports it
    // The library reports a refused CWD (and only that, after a good login)
    // as access to the remote resource denied.
    if (rc == CURLE_REMOTE_ACCESS_DENIED) return Fail(ctx, "-FTP:dir error");
    return Fail(ctx, "-FTP:" + session.ErrorText(rc));
}

bool TimerName(const AppContext& ctx) { return ctx.ap.ftp_trigsuffix && ctx.dp.clip_trigger == kTimerTrigger; }

// The rotating number as the settings hold it, kept inside 1..AP.ftp_rc.
int CurrentNumber(const Settings& ap) {
    int rc = ap.ftp_rc < 1 ? 1 : ap.ftp_rc;
    return ap.ftp_cn >= 1 && ap.ftp_cn <= rc ? ap.ftp_cn : 1;
}

}  // namespace

std::string FtpRemoteName(const AppContext& ctx, int kind, const char* hhmm) {
    const char* prefix = kind == kFtpThumbnail ? "vlxs" : "vlx";
    const char* ext = kind == kFtpClip ? ".wmv" : ".jpg";
    if (TimerName(ctx)) return std::string(prefix) + "T" + StripLineBreaks(hhmm) + ext;
    return std::string(prefix) + std::to_string(CurrentNumber(ctx.ap)) + ext;
}

bool UploadClipFile(AppContext& ctx, const char* local_path, int kind, const char* hhmm,
                    const FtpOptions& options) {
    Settings& ap = ctx.ap;
    const std::string remote_name = FtpRemoteName(ctx, kind, hhmm);
    const bool timer_name = TimerName(ctx);

    // The copy under the remote name is what goes up; it stays in the clip's
    // folder when the upload fails.
    fs::path source = local_path ? local_path : "";
    fs::path folder = ctx.day_folder[0] ? fs::path(ctx.day_folder) : source.parent_path();
    fs::path copy = folder / remote_name;
    std::error_code ec;
    const bool own_copy = !fs::equivalent(source, copy, ec);
    if (own_copy) {
        // A stale copy from an earlier failure must not go up in its place.
        if (!fs::copy_file(source, copy, fs::copy_options::overwrite_existing, ec)) {
            return Fail(ctx, "-FTP:put error");
        }
    }

    FtpSession session(ap, options);
    if (!Enter(ctx, session)) return false;

    {
        std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(copy.c_str(), "rb"), &std::fclose);
        std::error_code size_ec;
        auto size = fs::file_size(copy, size_ec);
        if (!f || size_ec) return Fail(ctx, "-FTP:put error");
        CURLcode rc = session.Put(remote_name, f.get(), static_cast<curl_off_t>(size));
        if (rc == CURLE_ABORTED_BY_CALLBACK) return false;
        if (rc != CURLE_OK) return Fail(ctx, "-FTP:put error");
    }
    if (own_copy) fs::remove(copy, ec);  // never the caller's own file

    // With a thumbnail to follow, the clip and the still keep the number so
    // that all files of one clip share it; the thumbnail moves it on.
    const bool thumbnail_follows =
        ap.ftp_small && ap.thumbmail && (ctx.dp.im_snap || ctx.dp.im_peak);
    const bool keep_number = timer_name || (kind != kFtpThumbnail && thumbnail_follows);
    if (!keep_number) {
        int next = CurrentNumber(ap) + 1;
        ap.ftp_cn = next > std::max(1, ap.ftp_rc) ? 1 : next;
    }
    return true;
}

bool ClearRemoteFiles(AppContext& ctx, const FtpOptions& options) {
    FtpSession session(ctx.ap, options);
    if (!Enter(ctx, session)) return false;

    std::string listing;
    CURLcode rc = session.List(&listing);
    if (rc != CURLE_OK) return Fail(ctx, "-FTP:" + session.ErrorText(rc));

    std::vector<std::string> names;
    size_t pos = 0;
    while (pos < listing.size()) {
        size_t end = listing.find('\n', pos);
        if (end == std::string::npos) end = listing.size();
        std::string name = listing.substr(pos, end - pos);
        pos = end + 1;
        if (!name.empty() && name.back() == '\r') name.pop_back();
        size_t slash = name.rfind('/');
        if (slash != std::string::npos) name.erase(0, slash + 1);
        bool control = false;
        for (unsigned char c : name) control |= c < 0x20 || c == 0x7f;
        if (name.rfind("vlx", 0) == 0 && !control) names.push_back(name);
    }
    if (!names.empty()) {
        rc = session.Delete(names);
        if (rc != CURLE_OK) return Fail(ctx, "-FTP:" + session.ErrorText(rc));
    }
    ctx.ap.ftp_cn = 1;
    return true;
}

}  // namespace vlx
