#include "vlx/clipdb/clip_database.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vlx/clips/storage.h"

namespace vlx {
namespace {

constexpr int64_t kDay = 86400;
constexpr double kMB = 1024.0 * 1024.0;

// Days since 1970-01-01 of a proleptic Gregorian date; a day or month out of
// range rolls over as a calendar would (31 February is 3 March).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y += (m - 1) / 12;
    m = (m - 1) % 12 + 1;
    if (m <= 0) {
        m += 12;
        --y;
    }
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + (d - 1);
}

bool AllDigits(const std::string& s, size_t from, size_t to) {
    for (size_t i = from; i <= to; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
    }
    return true;
}

// The names a clip folder may hold: "M" + 8 digits + "_" + 6 digits, at
// least 20 characters, a 3-letter extension.
bool IsClipFileName(const std::string& n) {
    return n.size() >= 20 && n[0] == 'M' && n[n.size() - 4] == '.' && AllDigits(n, 1, 8) && n[9] == '_' &&
           AllDigits(n, 10, 15);
}

std::string Join(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

struct Listed {
    std::string name;
    unsigned char type;
};

// The entries of a folder, without the hidden ones, in name order so that
// the list comes out in time order and the same on every file system.
bool ListFolder(const std::string& dir, std::vector<Listed>* out) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    while (struct dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        out->push_back({e->d_name, e->d_type});
    }
    ::closedir(d);
    std::sort(out->begin(), out->end(), [](const Listed& a, const Listed& b) { return a.name < b.name; });
    return true;
}

bool IsFolder(const std::string& dir, const Listed& e) {
    if (e.type == DT_DIR) return true;
    if (e.type != DT_UNKNOWN && e.type != DT_LNK) return false;
    struct stat st{};
    return ::stat(Join(dir, e.name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

ClipDatabase::ClipDatabase(AppContext& ctx, Questioner* questions) : ctx_(ctx), questions_(questions) {
    view_ = &null_view_;
}

int64_t ClipDatabase::LocalInstant(int year, int month, int day, int hour, int minute, int second) const {
    return DaysFromCivil(year, month, day) * kDay + hour * 3600 + minute * 60 + second + ctx_.tz_bias;
}

void ClipDatabase::Clear() {
    entries_.clear();
    dirs_.clear();
    rows_.clear();
    selected_ = -1;
    earliest_ = end_;
    latest_ = start_;
    full_ = false;
    view_->ListCleared();
    view_->SelectionChanged(-1);
    SetCounter();
}

void ClipDatabase::Read() {
    const Settings& ap = ctx_.ap;
    y0_ = std::clamp(ap.db_y, 1900, 3000);
    m0_ = std::clamp(ap.db_m, 1, 12);
    d0_ = std::clamp(ap.db_d, 1, 31);
    days_ = std::clamp(ap.db_days, 1, 10000);
    start_ = LocalInstant(y0_, m0_, d0_, ap.db_night ? 12 : 0, 0, 0);
    end_ = start_ + days_ * kDay;
    Clear();
    std::string root(ap.db_dir, strnlen(ap.db_dir, sizeof ap.db_dir));
    if (!root.empty()) Walk(root, ap.db_ymddir ? 0 : 3);
}

void ClipDatabase::Walk(const std::string& dir, int level) {
    if (level == 3) {
        ReadClipFolder(dir);
        return;
    }
    std::vector<Listed> list;
    if (!ListFolder(dir, &list)) return;
    for (const Listed& e : list) {
        if (full_) return;
        const std::string& n = e.name;
        int y = 0, m = 0, d = 0;
        bool wanted = false;
        if (level == 0) {
            wanted = n.size() == 4 && n[0] == '2' && std::sscanf(n.c_str(), "%4d", &y) == 1 && y >= y0_ &&
                     y <= y0_ + days_ / 365 + 1;
        } else if (level == 1) {
            wanted = n.size() == 6 && n[0] == '2' && std::sscanf(n.c_str(), "%4d%2d", &y, &m) == 2 &&
                     (y != y0_ || (m >= m0_ && m <= m0_ + days_ / 28 + 1));
        } else {
            wanted = n.size() == 8 && n[0] == '2' && std::sscanf(n.c_str(), "%4d%2d%2d", &y, &m, &d) == 3 &&
                     (y != y0_ || m != m0_ || (d >= d0_ && d <= d0_ + days_ + 1));
        }
        if (wanted && IsFolder(dir, e)) Walk(Join(dir, n), level + 1);
    }
}

void ClipDatabase::ReadClipFolder(const std::string& dir) {
    std::vector<Listed> list;
    if (!ListFolder(dir, &list)) return;
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    int dir_index = -1;
    for (const Listed& e : list) {
        if (!IsClipFileName(e.name)) continue;
        struct stat st{};
        if (::fstatat(fd, e.name.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
        if (AddFile(dir, &dir_index, e.name, static_cast<double>(st.st_size) / kMB, false) == AddResult::kFull) {
            full_ = true;
            break;
        }
    }
    ::close(fd);
}

ClipDatabase::AddResult ClipDatabase::AddFile(const std::string& dir, int* dir_index, const std::string& name,
                                              double size_mb, bool new_clip) {
    int y = 0, mo = 0, d = 0, h = 0;
    if (std::sscanf(name.c_str(), "M%4d%2d%2d_%2d", &y, &mo, &d, &h) != 4) return AddResult::kDropped;
    const int64_t t = LocalInstant(y, mo, d, h, 1, 1);
    if (t < start_ || t > end_) return AddResult::kDropped;

    const size_t n = name.size();
    if (n < 5) return AddResult::kDropped;
    const std::string ext = name.substr(n - 3);
    int pos = -1;
    char letter = ' ';
    size_t cut = 4;
    if (ext == "avi") {
        pos = kMediaAvi, letter = 'A';
    } else if (ext == "wmv") {
        pos = kMediaWmv, letter = 'W';
    } else if (name[n - 4] != '.') {
        return AddResult::kDropped;
    } else if (ext == "jpg") {
        switch (name[n - 5]) {
            case 'S': pos = kMediaSnap, letter = 'S', cut = 5; break;
            case 'P': pos = kMediaPeak, letter = 'P', cut = 5; break;
            case 'T': pos = kMediaThumb, letter = 'T', cut = 5; break;
            default: break;  // counted in the size, shown by no letter
        }
    } else if (ext == "bmp") {
        cut = 5;
        switch (name[n - 5]) {
            case 'S': pos = kMediaSnap, letter = 's'; break;
            case 'P': pos = kMediaPeak, letter = 'p'; break;
            case 'M': pos = kMediaMap, letter = 'M'; break;
            case 'C': pos = kMediaC, letter = 'C'; break;
            default: pos = kMediaBmp, letter = 'B', cut = 4; break;
        }
    } else if (ext == "xml") {
        pos = kMediaXml, letter = 'X';
    } else {
        pos = kMediaOther, letter = '*';
    }
    const std::string base = name.substr(0, n - cut);

    int row = -1;
    if (!new_clip && *dir_index >= 0 && t >= earliest_ && t <= latest_) {
        for (int r = RowCount() - 1; r >= 0; --r) {
            const Row& rw = rows_[r];
            if (entries_[rw.entry].directory == *dir_index && rw.name == base) {
                row = r;
                break;
            }
        }
    }

    if (row >= 0) {
        ClipDbEntry& e = entries_[rows_[row].entry];
        if (pos >= 0) e.media[pos] = letter;
        e.size_mb += size_mb;
        view_->RowChanged(row);
        return AddResult::kListed;
    }

    if (EntryCount() >= kClipEntryCap) return AddResult::kFull;
    if (*dir_index < 0) {
        if (DirectoryCount() >= kClipDirCap) return AddResult::kFull;
        dirs_.push_back(dir);
        *dir_index = DirectoryCount() - 1;
    }
    ClipDbEntry e;
    e.directory = *dir_index;
    if (new_clip) {
        // What the capture settings write, whatever is on disk yet.
        const Settings& ap = ctx_.ap;
        const DetectParams& dp = ctx_.dp;
        if (std::strcmp(ap.dv_codec, "WMV") == 0) {
            e.media[kMediaWmv] = 'W';
        } else {
            e.media[kMediaAvi] = 'A';
        }
        if (dp.im_snap) e.media[kMediaSnap] = ap.bmp ? 's' : 'S';
        if (dp.im_peak) e.media[kMediaPeak] = ap.bmp ? 'p' : 'P';
        if (dp.im_map) e.media[kMediaMap] = 'M';
        if (ap.thumbmail) e.media[kMediaThumb] = 'T';
        if (ap.md_log) e.media[kMediaXml] = 'X';
    } else if (pos >= 0) {
        e.media[pos] = letter;
    }
    e.size_mb = size_mb;
    entries_.push_back(e);
    rows_.push_back({base, EntryCount() - 1});
    earliest_ = std::min(earliest_, t);
    latest_ = std::max(latest_, t);
    view_->RowAdded(RowCount() - 1);
    SetCounter();
    return AddResult::kListed;
}

void ClipDatabase::AddClipPath(const std::string& path) {
    if (EntryCount() >= kClipEntryCap) return;
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return;
    const std::string dir = path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    struct stat st{};
    const double size = ::stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_size) / kMB : 0.0;
    int dir_index = !dirs_.empty() && dirs_.back() == dir ? DirectoryCount() - 1 : -1;
    AddFile(dir, &dir_index, name, size, true);
}

void ClipDatabase::SetCounter() { view_->CounterChanged(CounterText()); }

std::string ClipDatabase::CounterText() const { return std::to_string(RowCount()) + " clips"; }

std::string ClipDatabase::RowSizeText(int row) const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", entries_[rows_[row].entry].size_mb);
    return buf;
}

std::string ClipDatabase::RowFolder(int row) const { return dirs_[entries_[rows_[row].entry].directory]; }

std::string ClipDatabase::RowClipPath(int row) const {
    const ClipDbEntry& e = entries_[rows_[row].entry];
    const char* ext = e.media[kMediaAvi] == 'A' ? ".avi" : e.media[kMediaWmv] == 'W' ? ".wmv" : nullptr;
    if (!ext) return {};
    return Join(dirs_[e.directory], rows_[row].name + ext);
}

int ClipDatabase::RowOfEntry(int entry) const {
    // Rows keep the order of their entries.
    auto it = std::lower_bound(rows_.begin(), rows_.end(), entry, [](const Row& r, int e) { return r.entry < e; });
    return it != rows_.end() && it->entry == entry ? static_cast<int>(it - rows_.begin()) : -1;
}

void ClipDatabase::SetSelection(int row) {
    selected_ = row;
    view_->SelectionChanged(row);
}

void ClipDatabase::Select(int row) {
    if (row < 0 || row >= RowCount()) return;
    SetSelection(row);
    ShowSelected(true);
}

void ClipDatabase::ShowSelected(bool bring_forward) {
    if (selected_ < 0) {
        if (rows_.empty()) {
            view_->NoClip();
            return;
        }
        SetSelection(0);
    }
    view_->ShowClip(rows_[selected_].entry, rows_[selected_].name, bring_forward);
}

void ClipDatabase::Previous() {
    if (rows_.empty()) return;
    SetSelection(selected_ <= 0 ? RowCount() - 1 : selected_ - 1);
    ShowSelected(true);
}

void ClipDatabase::Next() {
    if (rows_.empty()) return;
    SetSelection(selected_ < 0 || selected_ >= RowCount() - 1 ? 0 : selected_ + 1);
    ShowSelected(true);
}

void ClipDatabase::DeleteRow(int row) {
    if (row < 0 || row >= RowCount()) return;
    RemoveClipFiles(ctx_, RowFolder(row), rows_[row].name);
    rows_.erase(rows_.begin() + row);
    view_->RowRemoved(row);
    if (selected_ == row) {
        SetSelection(-1);
    } else if (selected_ > row) {
        SetSelection(selected_ - 1);
    }
    SetCounter();
}

void ClipDatabase::DeleteSelected() {
    const int row = selected_;
    if (row < 0) return;
    DeleteRow(row);
    if (!rows_.empty()) SetSelection(std::min(row, RowCount() - 1));
    ShowSelected(true);
}

bool ClipDatabase::DeleteAll() {
    if (!questions_ || !questions_->AskOkCancel(kDeleteAllQuestion)) return false;
    while (!rows_.empty()) DeleteRow(0);
    Clear();
    return true;
}

void ClipDatabase::Activate() {
    if (ctx_.ap.db_latest) SetLatestStartDate();
    if (!read_once_) {
        read_once_ = true;
        Read();
    }
    ShowSelected(false);
}

void ClipDatabase::OnNewDay(bool page_active) {
    if (!page_active) return;
    if (ctx_.ap.db_latest) SetLatestStartDate();
    Read();
}

void ClipDatabase::SetLatestStartDate() {
    Settings& ap = ctx_.ap;
    const int64_t days = std::clamp(ap.db_days, 1, 10000);
    int64_t t = ctx_.clock->Now().sec - days * kDay + (ap.db_night ? kDay / 2 : kDay);
    if (!ctx_.dp.si_utc) t -= ctx_.tz_bias;
    const StampParts p = BreakDownStamp(t);
    ap.db_y = p.year;
    ap.db_m = p.month;
    ap.db_d = p.day;
}

void ClipDatabase::SetDbDir(const std::string& dir) {
    std::snprintf(ctx_.ap.db_dir, sizeof ctx_.ap.db_dir, "%s", dir.c_str());
    Read();
}

void ClipDatabase::SetYmdDir(bool on) { ctx_.ap.db_ymddir = on ? 1 : 0; }

void ClipDatabase::SetStartDate(int year, int month, int day) {
    ctx_.ap.db_y = std::clamp(year, 1900, 3000);
    ctx_.ap.db_m = std::clamp(month, 1, 12);
    ctx_.ap.db_d = std::clamp(day, 1, 31);
    ctx_.ap.db_latest = 0;
}

void ClipDatabase::SetDays(int days) {
    days = std::clamp(days, 1, 10000);
    const bool changed = days != ctx_.ap.db_days;
    ctx_.ap.db_days = days;
    if (ctx_.ap.db_latest) {
        SetLatestStartDate();
        Read();
    } else if (changed) {
        Read();
    }
}

void ClipDatabase::SetLatest(bool on) {
    ctx_.ap.db_latest = on ? 1 : 0;
    if (on) SetLatestStartDate();
    Read();
}

void ClipDatabase::SetNight(bool on) {
    ctx_.ap.db_night = on ? 1 : 0;
    if (ctx_.ap.db_latest) {
        SetLatestStartDate();
        Read();
    }
}

}  // namespace vlx
