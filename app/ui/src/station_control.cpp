#include "vlx/ui/station_control.h"

#include "vlx/app/report.h"
#include "vlx/capture/live_engine.h"
#include "vlx/messages.h"
#include "vlx/settings/settings_store.h"
#include "vlx/ui/preview_sink.h"

#include <QPointer>
#include <cstdio>
#include <gst/gst.h>

namespace vlx {

LocalStation::LocalStation(AppContext& ctx, Hooks hooks)
    : ctx_(ctx),
      hooks_(std::move(hooks)),
      page_(ctx, LivePage::Hooks{hooks_.post, [this] { schedule_.OnDetectStarted(); }, {}, {}, hooks_.alarm}),
      schedule_(ctx, page_, DetectSchedule::Hooks{hooks_.sleep, [this] { ReadSettings(ctx_); }, {}}) {
    timer21_.setObjectName(QStringLiteral("timer21"));
    connect(&timer21_, &QTimer::timeout, this, [this] {
        const int before = page_.LiveState();
        const bool rec = page_.manual_rec();
        schedule_.MinuteCheck();
        if (page_.LiveState() != before || page_.manual_rec() != rec) Changed();
    });
}

void LocalStation::Start() {
    schedule_.Initialise();
    if (hooks_.post) hooks_.post(LIVE_INIT);
    timer21_.start(1000);
    schedule_.AutoStart();
    Changed();
}

LiveView LocalStation::Refresh() {
    LiveView v;
    v.status_text = page_.RefreshStatus();
    v.live_state = page_.LiveState();
    v.manual_rec = page_.manual_rec();
    v.row = ChooseStatusRow(v.live_state, v.manual_rec, ctx_.dp);
    v.size_meter = page_.SizeMeter();
    v.level_meter = page_.LevelMeter();
    v.audio_meter = page_.AudioMeter();
    return v;
}

std::pair<int64_t, int64_t> LocalStation::Query() {
    if (page_.LiveState() != LiveActions::kStop && hooks_.call_reserved) hooks_.call_reserved();
    return {ctx_.dp.max_level, ctx_.dp.clip_count};
}

void LocalStation::OnMainMessage(const ThreadMessage& m) {
    switch (m.message) {
        case WM_GRAPH_EVENT:
            if (m.wparam == kGraphErrorAbort) {
                ErrorBox("UE042: Playback error (EC_ERRORABORT - 0x%08lx). Aborting...\r\n",
                         static_cast<unsigned long>(m.lparam));
            }
            page_.UserStop();  // the end of a file, or an error: as the Stop button does
            Changed();
            break;
        case WM_LIVE_STOP_REQUEST:
            page_.UserStop();
            Changed();
            break;
        default:
            break;
    }
}

StationFront::StationFront(AppContext& ctx, StationOptions options, StationEvents extra) : ctx_(ctx) {
    if (!options.make_preview_sink) {
        options.make_preview_sink = [] { return gst_element_factory_make(kPreviewSinkFactory, nullptr); };
    }
    options.quit_at_end_of_input = false;
    QPointer<StationFront> self(this);
    auto changed = [self] {
        QMetaObject::invokeMethod(self.data(), [self] {
            if (self && self->on_change) self->on_change();
        }, Qt::QueuedConnection);
    };
    StationEvents ev = std::move(extra);
    auto state_changed = ev.state_changed;
    ev.state_changed = [changed, state_changed](int s) {
        if (state_changed) state_changed(s);
        changed();
    };
    // The Rec toggle changes no state: the status events carry its caption.
    auto status = ev.status;
    ev.status = [changed, status](const StationStatus& s) {
        if (status) status(s);
        changed();
    };
    auto finished = ev.clip_finished;
    ev.clip_finished = [self, finished](const FinishedClip& c) {
        if (finished) finished(c);
        for (const std::string& f : c.files) {
            if (f.size() < 5 || f.compare(f.size() - 5, 5, "M.bmp") != 0) continue;
            QMetaObject::invokeMethod(self.data(), [self, f] {
                if (self && self->on_map_picture) self->on_map_picture(f);
            }, Qt::QueuedConnection);
        }
    };
    if (!ev.error) ev.error = [](const std::string& t) { std::fprintf(stderr, "vlx2: %s\n", t.c_str()); };
    if (!ev.log) ev.log = [](const std::string& t) { std::fprintf(stderr, "vlx2: %s\n", t.c_str()); };
    station_ = std::make_unique<Station>(ctx, std::move(options), std::move(ev));
}

StationFront::~StationFront() = default;

LiveView StationFront::Refresh() {
    const StationStatus s = station_->Status();
    LiveView v;
    // The state itself is current; the rest is the station's last refresh.
    v.live_state = station_->LiveState();
    v.manual_rec = s.manual_rec;
    if (!s.status_text.empty()) {  // none before the first refresh
        v.status_text = s.status_text;
        v.row = s.row;
    }
    v.size_meter = s.size_meter;
    v.level_meter = s.max_level;
    v.audio_meter = s.audio_peak;
    return v;
}

}  // namespace vlx
