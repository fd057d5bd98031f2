#include "vlx/capture/clip_finisher.h"

#include <cstdio>
#include <cstring>

#include <sys/stat.h>

#include "vlx/app/dbus_notify.h"
#include "vlx/capture/live_thread.h"
#include "vlx/clips/records.h"
#include "vlx/clips/storage.h"
#include "vlx/messages.h"
#include "vlx/notify/ftp.h"
#include "vlx/notify/mail.h"

namespace vlx {
namespace {

std::vector<uint8_t> CopyOf(const uint8_t* p, size_t n) {
    return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
}

bool Exists(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

std::string FileName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::unique_ptr<ClipRecord> TakeClipRecord(const AppContext& ctx, const std::string& temp_path) {
    auto rec = std::make_unique<ClipRecord>();
    const DetectParams& dp = ctx.dp;
    rec->result = dp.clip_result;
    rec->temp_path = temp_path;
    rec->dp = dp;
    rec->ap = ctx.ap;
    rec->output_kind = ctx.output_kind;
    rec->detect_start_time = ctx.detect_start_time;
    const size_t pixels = dp.pixels > 0 ? static_cast<size_t>(dp.pixels) : 0;
    const size_t frame = dp.frame_bytes > 0 ? static_cast<size_t>(dp.frame_bytes) : 0;
    // Only what the clip's files are made of; nothing for a cancelled clip.
    const bool pictures = rec->result == kClipNormal || (rec->result == kClipTooLong && ctx.ap.leavelong);
    if (pictures) {
        if (dp.im_snap || dp.im_peak) rec->snapshot = CopyOf(dp.snapshot, frame);
        if (dp.im_map || (ctx.ap.tmark && ctx.ap.thumbmail)) rec->hit_map = CopyOf(dp.hit_map, pixels);
        if (dp.im_map) {
            rec->mask = CopyOf(dp.mask, pixels);
            if (dp.avr_map) {
                const auto* a = reinterpret_cast<const uint8_t*>(dp.avr_map);
                rec->avr_map = CopyOf(a, 4 * pixels);
            }
        }
    }
    // The record's block points at its own copies, never at the element's.
    DetectParams& r = rec->dp;
    r.shift_buf = nullptr;
    r.audio_shift_buf = nullptr;
    r.obj_map = nullptr;
    r.mask_alloc = nullptr;
    r.snapshot = rec->snapshot.empty() ? nullptr : rec->snapshot.data();
    r.hit_map = rec->hit_map.empty() ? nullptr : rec->hit_map.data();
    r.mask = rec->mask.empty() ? nullptr : rec->mask.data();
    r.avr_map = rec->avr_map.empty() ? nullptr : reinterpret_cast<uint32_t*>(rec->avr_map.data());
    return rec;
}

ClipFinisher::ClipFinisher(AppContext& main, Hooks hooks, int queue_limit)
    : main_(main), hooks_(std::move(hooks)), limit_(queue_limit < 1 ? 1 : queue_limit) {
    std::memcpy(cctx_.program_dir, main_.program_dir, sizeof cctx_.program_dir);
    cctx_.tz_bias = main_.tz_bias;
    cctx_.daylight = main_.daylight;
    cctx_.clock = main_.clock;
    // FTP and mail failures show in the application's status message.
    cctx_.status.OnChange([this](const std::string& text) { main_.status.Set(text); });
}

ClipFinisher::~ClipFinisher() { Stop(); }

void ClipFinisher::Start() {
    std::lock_guard<std::mutex> lock(mu_);
    if (thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread([this] { Loop(); });
}

void ClipFinisher::Push(std::unique_ptr<ClipRecord> rec) {
    std::string notice;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (static_cast<int>(queue_.size()) >= limit_) {
            // Detection must not wait for the network: the oldest waiting clip
            // that still has uploads or mails to do loses them.
            for (auto& q : queue_) {
                if (!q->skip_network) {
                    q->skip_network = true;
                    ++given_up_;
                    notice = "-QUEUE: " + std::to_string(queue_.size()) + " clips waiting, uploads and mails of " +
                             FileName(q->temp_path) + " skipped";
                    break;
                }
            }
            // Every waiting clip is local-only already: the one in hand is
            // what holds the queue up.
            if (notice.empty() && current_ && !current_->skip_network) {
                current_->skip_network = true;
                ++given_up_;
                notice = "-QUEUE: " + std::to_string(queue_.size()) + " clips waiting, uploads and mails of " +
                         FileName(current_->temp_path) + " given up";
            }
        }
        queue_.push_back(std::move(rec));
    }
    cv_.notify_all();
    if (!notice.empty()) {
        main_.status.Set(notice);
        if (hooks_.log) hooks_.log(notice);
    }
}

void ClipFinisher::GiveUpNetwork() {
    int n = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& q : queue_) {
            if (!q->skip_network.exchange(true)) ++n;
        }
        if (current_ && !current_->skip_network.exchange(true)) ++n;
    }
    given_up_ += n;
    if (n > 0 && hooks_.log) {
        hooks_.log("uploads and mails of " + std::to_string(n) + " finished clip" + (n == 1 ? "" : "s") +
                   " given up");
    }
}

void ClipFinisher::Drain() {
    std::unique_lock<std::mutex> lock(mu_);
    if (!thread_.joinable()) return;
    cv_.wait(lock, [&] { return queue_.empty() && !current_; });
}

void ClipFinisher::Stop() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    // The rotating FTP number goes back into the settings that are saved.
    if (have_ftp_cn_) main_.ap.ftp_cn = cctx_.ap.ftp_cn;
}

int ClipFinisher::Waiting() const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(queue_.size()) + (current_ ? 1 : 0);
}

void ClipFinisher::Loop() {
    for (;;) {
        std::unique_ptr<ClipRecord> rec;
        {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait(lock, [&] { return !queue_.empty() || stopping_; });
            if (queue_.empty()) return;  // stopping, and every clip is done
            rec = std::move(queue_.front());
            queue_.pop_front();
            current_ = rec.get();
        }
        FinishedClip out = Finish(*rec);
        {
            std::lock_guard<std::mutex> lock(mu_);
            current_ = nullptr;
        }
        if (hooks_.finished) hooks_.finished(out);
        cv_.notify_all();
    }
}

// ---------------------------------------------------------------------------
// The sequence

FinishedClip ClipFinisher::Finish(ClipRecord& rec) {
    FinishedClip out;
    out.result = rec.result;
    out.frames = rec.dp.clip_frames;
    out.start_time = rec.dp.clip_start_time;
    out.trigger = rec.dp.clip_trigger;
    out.end_frame = rec.end_frame;
    Load(rec);
    DeleteUnaccepted(rec);
    if (rec.result == kClipNone) return out;

    std::string hhmm;
    const std::string final_path = NameClip(rec, &hhmm);
    const std::string base = final_path.substr(0, final_path.size() - 4);
    if (rec.result == kClipNormal) MoveClip(rec, final_path, hhmm, out);
    if ((rec.result == kClipNormal || rec.ap.leavelong) && rec.result != kClipCancelled) {
        WriteStills(rec, final_path, hhmm, out);
    }
    if (rec.result == kClipNormal) {
        Analyse(rec, base);
        WriteRecord(rec, base, out);
        Announce(rec);
        RunAction(rec, final_path);
    }
    out.network_skipped = rec.skip_network;
    return out;
}

void ClipFinisher::Load(const ClipRecord& rec) {
    const int ftp_cn = cctx_.ap.ftp_cn;
    cctx_.dp = rec.dp;
    cctx_.ap = rec.ap;
    // The rotation number runs on from the last upload, not from the value
    // the settings had when this clip ended.
    if (have_ftp_cn_) cctx_.ap.ftp_cn = ftp_cn;
    have_ftp_cn_ = true;
    cctx_.output_kind = rec.output_kind;
    cctx_.detect_start_time = rec.detect_start_time;
}

// Not accepted: the capture file goes.
void ClipFinisher::DeleteUnaccepted(ClipRecord& rec) {
    if (rec.result == kClipNormal) return;
    if (!rec.temp_path.empty()) std::remove(rec.temp_path.c_str());
    rec.temp_path.clear();
}

std::string ClipFinisher::NameClip(const ClipRecord& rec, std::string* hhmm) {
    const int64_t t = rec.dp.clip_start_time;
    std::string path = MakeClipPath(cctx_, t, 'M', ClipSuffix(cctx_), hhmm);
    // Two clips starting in the same second would share a name; the later
    // one takes the next free second rather than overwrite the earlier clip.
    for (int64_t bump = 1; rec.result == kClipNormal && path != rec.temp_path && bump <= 60 && Exists(path); ++bump) {
        path = MakeClipPath(cctx_, t + bump, 'M', ClipSuffix(cctx_), hhmm);
    }
    return path;
}

void ClipFinisher::MoveClip(ClipRecord& rec, const std::string& final_path, const std::string& hhmm,
                            FinishedClip& out) {
    if (rec.temp_path != final_path) std::rename(rec.temp_path.c_str(), final_path.c_str());
    out.path = final_path;
    out.files.push_back(final_path);
    if (rec.output_kind == kOutputWmv && rec.ap.ftp_on && rec.ap.ftp_wmv) Upload(rec, final_path, kFtpClip, hhmm);
}

void ClipFinisher::WriteStills(ClipRecord& rec, const std::string& final_path, const std::string& hhmm,
                               FinishedClip& out) {
    const Settings& ap = rec.ap;
    const DetectParams& dp = cctx_.dp;
    const std::string base = final_path.substr(0, final_path.size() - 4);
    if (out.path.empty()) out.path = final_path;  // a long clip's stills keep its would-be name
    EnsureRgbBuffer(cctx_);
    const int w = dp.cx, h = dp.cy;
    auto wrote = [&](const std::string& f, bool ok) {
        if (ok) out.files.push_back(f);
        return ok;
    };
    if (dp.im_map && MapToRgb(cctx_)) wrote(base + "M.bmp", WriteBmp24(base + "M.bmp", cctx_.rgb.data(), w, h));
    const char* still = dp.im_snap ? "S" : (dp.im_peak ? "P" : nullptr);
    if (still) {
        SnapshotToRgb(cctx_);
        const std::string bmp = base + still + ".bmp";
        const std::string jpg = base + still + ".jpg";
        if (ap.jpg) {
            // The JPEG is encoded from memory; the BMP is kept only when asked.
            if (ap.bmp) wrote(bmp, WriteBmp24(bmp, cctx_.rgb.data(), w, h));
            if (wrote(jpg, WriteJpegFromRgb(jpg, cctx_.rgb.data(), w, h))) {
                if (ap.ftp_on && ap.ftp_jpg) Upload(rec, jpg, kFtpStill, hhmm);
                if (ap.mail_on && ap.mail_big) Mail(rec, jpg, true);
            }
        } else if (ap.bmp) {
            wrote(bmp, WriteBmp24(bmp, cctx_.rgb.data(), w, h));
        }
    }
    bool mail_done = false;
    if (ap.thumbmail && (dp.im_snap || dp.im_peak)) {
        const std::string thumb = base + "T.jpg";
        wrote(thumb, WriteThumbnail(cctx_, thumb));
        if (ap.ftp_on && ap.ftp_small) Upload(rec, thumb, kFtpThumbnail, hhmm);
        if (!ap.mail_on) {
            mail_done = true;
        } else if (ap.mail_small) {
            Mail(rec, thumb, true);
        }
    }
    if (!mail_done && ap.mail_on && !ap.mail_big && !ap.mail_small) Mail(rec, final_path, false);
}

void ClipFinisher::Analyse(const ClipRecord& rec, const std::string& base) {
    if (hooks_.analyse) hooks_.analyse(cctx_, rec, base);
}

void ClipFinisher::WriteRecord(const ClipRecord& rec, const std::string& base, FinishedClip& out) {
    if (!rec.ap.md_log) return;
    if (WriteClipRecord(cctx_, base + ".xml")) out.files.push_back(base + ".xml");
}

void ClipFinisher::Announce(const ClipRecord& rec) {
    if (hooks_.notifier) hooks_.notifier->NotifyClip(rec.dp.clip_start_time);
}

void ClipFinisher::RunAction(const ClipRecord& rec, const std::string& final_path) {
    if (rec.ap.action && rec.ap.bat[0]) RunBatchAction(rec.ap.bat, final_path);
}

bool ClipFinisher::Upload(ClipRecord& rec, const std::string& file, int kind, const std::string& hhmm) {
    if (rec.skip_network) return false;
    FtpOptions o;
    o.cancel = &rec.skip_network;
    return UploadClipFile(cctx_, file.c_str(), kind, hhmm.c_str(), o);
}

bool ClipFinisher::Mail(ClipRecord& rec, const std::string& file, bool attach) {
    if (rec.skip_network) return false;
    MailOptions o;
    o.cancel = &rec.skip_network;
    return SendClipMail(cctx_, file.c_str(), attach, o);
}

}  // namespace vlx
