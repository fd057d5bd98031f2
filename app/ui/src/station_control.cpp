#include "vlx/ui/station_control.h"

#include "vlx/app/report.h"
#include "vlx/capture/live_engine.h"
#include "vlx/messages.h"
#include "vlx/settings/settings_store.h"

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

}  // namespace vlx
