// The clip database: the clips of a span of days, found by walking the clip
// directory, one row per clip with the files it has and the megabytes they
// take. There is no index file; every read rebuilds the list from the tree.
//
// The model owns the rows, the selection and the read window; a view (the
// window's page, or none) is told of every change through ClipListView and
// draws what it is told. Not thread-safe: the live side hands new clip paths
// to the thread that owns the model.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vlx/app/context.h"
#include "vlx/app/question.h"

namespace vlx {

inline constexpr int kClipEntryCap = 9999;
// One folder per day of the longest span that can be read, and one more for
// the night rule's extra half day.
inline constexpr int kClipDirCap = 10001;
inline constexpr int kClipMediaLetters = 10;
inline constexpr const char* kDeleteAllQuestion = "DELETE ALL LISTED CLIPS OK?";

// The list's columns: caption, width, right aligned.
struct ClipColumn {
    const char* caption;
    int width;
    bool right;
};
inline constexpr ClipColumn kClipColumns[] = {{"Name", 170, false}, {"Media", 70, false}, {"MB", 48, true}};

// Media letter positions.
enum ClipMedia : int {
    kMediaAvi = 0,     // A  ".avi"
    kMediaWmv = 1,     // W  ".wmv"
    kMediaSnap = 2,    // S  "S.jpg", s "S.bmp"
    kMediaPeak = 3,    // P  "P.jpg", p "P.bmp"
    kMediaThumb = 4,   // T  "T.jpg"
    kMediaBmp = 5,     // B  any other ".bmp"
    kMediaC = 6,       // C  "C.bmp"
    kMediaMap = 7,     // M  "M.bmp"
    kMediaXml = 8,     // X  ".xml"
    kMediaOther = 9,   // *  any other three-letter extension
};

struct ClipDbEntry {
    int directory = -1;  // index into the directory table
    double size_mb = 0;  // bytes / 1024 / 1024
    char media[kClipMediaLetters + 1] = "          ";
};

// What the list shows changes. Rows are only ever added at the end.
class ClipListView {
public:
    virtual ~ClipListView() = default;
    virtual void ListCleared() {}
    virtual void RowAdded(int /*row*/) {}
    virtual void RowChanged(int /*row*/) {}  // media letters or size
    virtual void RowRemoved(int /*row*/) {}
    virtual void CounterChanged(const std::string& /*text*/) {}  // "%d clips"
    // The selected row (-1: none); the view scrolls it into view.
    virtual void SelectionChanged(int /*row*/) {}
    // Hand this clip to the replay page, activating it first when asked.
    virtual void ShowClip(int /*entry*/, const std::string& /*name*/, bool /*bring_forward*/) {}
    // The list is empty: the replay page has no clip.
    virtual void NoClip() {}
};

class ClipDatabase {
public:
    // questions answers "DELETE ALL LISTED CLIPS OK?"; without one the
    // answer is Cancel.
    explicit ClipDatabase(AppContext& ctx, Questioner* questions = nullptr);

    void SetView(ClipListView* view) { view_ = view; }

    // Rebuilds the list from AP.db_dir for the start date and days of the
    // settings.
    void Read();
    // A clip the live side has just stored (its media file's full path): a
    // new row whose letters come from the capture settings. Ignored at
    // capacity and outside the read window.
    void AddClipPath(const std::string& path);

    // The page is shown: the first time the list is read; every time the
    // start date follows the clock when "Set Latest days" is on, and the
    // selected clip is shown without bringing the replay page forward.
    void Activate();
    // A new day began (00:00, or 12:00 with "pm-am /day"; the schedule's
    // minute check tells): when the page is active the list is read again for
    // the same number of days, from a start date that follows the clock when
    // "Set Latest days" is on.
    void OnNewDay(bool page_active);

    // Rows.
    int RowCount() const { return static_cast<int>(rows_.size()); }
    int RowEntry(int row) const { return rows_[row].entry; }
    const std::string& RowName(int row) const { return rows_[row].name; }
    std::string RowMedia(int row) const { return entries_[rows_[row].entry].media; }
    std::string RowSizeText(int row) const;  // "%.1f"
    std::string RowFolder(int row) const;
    std::string CounterText() const;  // "%d clips"
    // The media file of a row: its folder, name and ".avi" (or ".wmv" when
    // only that was seen); empty when the row has neither.
    std::string RowClipPath(int row) const;

    int EntryCount() const { return static_cast<int>(entries_.size()); }
    const ClipDbEntry& Entry(int entry) const { return entries_[entry]; }
    int DirectoryCount() const { return static_cast<int>(dirs_.size()); }
    const std::string& Directory(int index) const { return dirs_[index]; }
    // The row that refers to an entry, -1 once it was deleted.
    int RowOfEntry(int entry) const;

    // The read window (seconds, start and end both listed).
    int64_t StartInstant() const { return start_; }
    int64_t EndInstant() const { return end_; }

    // Selection and stepping.
    int Selected() const { return selected_; }
    void Select(int row);  // a click: select and show, replay page forward
    void ShowSelected(bool bring_forward);
    void Previous();
    void Next();

    // "DELETE A CLIP": the selected row, without asking.
    void DeleteSelected();
    // One row's files (to the trash unless AP.nottrash) and the row.
    void DeleteRow(int row);
    // "DELETE ALL": asks first; false when answered Cancel.
    bool DeleteAll();

    // The page's settings controls.
    void SetDbDir(const std::string& dir);             // and reads
    void SetYmdDir(bool on);                           // used by the next read
    void SetStartDate(int year, int month, int day);   // clamped; "Set Latest days" off
    void SetDays(int days);                            // clamped 1..10000
    void SetLatest(bool on);
    void SetNight(bool on);
    // "Set Latest days": AP.db_y/m/d from the current time.
    void SetLatestStartDate();

private:
    struct Row {
        std::string name;  // the clip's base name
        int entry;
    };
    enum class AddResult { kListed, kDropped, kFull };

    // Local calendar time to seconds, with the start-up time-zone offset.
    int64_t LocalInstant(int year, int month, int day, int hour, int minute, int second) const;
    void Clear();
    void Walk(const std::string& dir, int level);
    void ReadClipFolder(const std::string& dir);
    // dir_index: the folder's place in the directory table, -1 until a row
    // of it is created (then it is appended and *dir_index set).
    AddResult AddFile(const std::string& dir, int* dir_index, const std::string& name, double size_mb,
                      bool new_clip);
    void SetCounter();
    void SetSelection(int row);

    AppContext& ctx_;
    Questioner* questions_;
    ClipListView* view_ = nullptr;
    ClipListView null_view_;

    std::vector<ClipDbEntry> entries_;
    std::vector<std::string> dirs_;
    std::vector<Row> rows_;
    int selected_ = -1;

    int64_t start_ = 0, end_ = 0;
    int64_t earliest_ = 0, latest_ = 0;
    int y0_ = 0, m0_ = 0, d0_ = 0, days_ = 1;

    bool read_once_ = false;
    bool full_ = false;
};

}  // namespace vlx
