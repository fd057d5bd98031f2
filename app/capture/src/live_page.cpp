#include "vlx/capture/live_page.h"

#include <cstdio>
#include <cstring>
#include <thread>

#include <gst/gst.h>

#include "vlx/app/report.h"
#include "vlx/clips/records.h"
#include "vlx/detect/fonts.h"
#include "vlx/messages.h"

namespace vlx {
namespace {

constexpr StatusRow kActivating{" activating ", 255, 255, 100, false};
constexpr StatusRow kRecording{" Recording ", 255, 0, 0, true};
constexpr StatusRow kDRecording{" D-Recording ", 255, 80, 80, true};
constexpr StatusRow kTRecording{" T-Recording ", 255, 120, 120, false};
constexpr StatusRow kIdle{" status : idle ", 160, 160, 160, false};
constexpr StatusRow kPreviewing{" Previewing ", 200, 200, 240, false};
constexpr StatusRow kDetecting{" Detecting ", 80, 100, 255, false};

class GstAlarm : public Alarm {
public:
    void PlayFile(const std::string& path) override {
        if (!gst_is_initialized()) gst_init(nullptr, nullptr);
        GError* err = nullptr;
        gchar* uri = gst_filename_to_uri(path.c_str(), &err);
        if (!uri) {
            if (err) g_error_free(err);
            Beep();
            return;
        }
        GstElement* play = gst_element_factory_make("playbin", nullptr);
        if (!play) {
            g_free(uri);
            Beep();
            return;
        }
        g_object_set(play, "uri", uri, nullptr);
        g_free(uri);
        Start(play);
    }
    void Beep() override {
        if (!gst_is_initialized()) gst_init(nullptr, nullptr);
        GstElement* p = gst_parse_launch(
            "audiotestsrc wave=sine freq=880 volume=0.3 num-buffers=8 samplesperbuffer=1024 ! autoaudiosink", nullptr);
        if (!p) {
            Bell();
            return;
        }
        Start(p);
    }

private:
    static void Bell() {
        std::fputc('\a', stderr);
        std::fflush(stderr);
    }
    // Plays without waiting; the pipeline frees itself at its end or error.
    static void Start(GstElement* p) {
        GstBus* bus = gst_element_get_bus(p);
        gst_bus_set_sync_handler(
            bus,
            [](GstBus*, GstMessage* m, gpointer data) -> GstBusSyncReply {
                auto* pipe = static_cast<GstElement*>(data);
                if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS || GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) {
                    if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) Bell();
                    // Tear down off the streaming thread.
                    std::thread([pipe] {
                        gst_element_set_state(pipe, GST_STATE_NULL);
                        gst_object_unref(pipe);
                    }).detach();
                }
                gst_message_unref(m);
                return GST_BUS_DROP;
            },
            p, nullptr);
        gst_object_unref(bus);
        if (gst_element_set_state(p, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            Bell();
            gst_element_set_state(p, GST_STATE_NULL);
            gst_object_unref(p);
        }
    }
};

}  // namespace

const StatusRow& ChooseStatusRow(int live_state, bool manual_rec, const DetectParams& dp) {
    if (dp.warmup != 0) return kActivating;
    if (dp.rec_remain != 0 && manual_rec) return kRecording;
    if (dp.rec_remain != 0 && dp.detect_on) return kDRecording;
    if (dp.rec_remain != 0) return kTRecording;
    if (live_state == LiveActions::kPreview) return kPreviewing;
    if (live_state == LiveActions::kDetect) return kDetecting;
    return kIdle;
}

int DetectSizeToSlider(int32_t size) { return size < 300 ? size : size / 100 + 297; }
int32_t SliderToDetectSize(int position) { return position < 300 ? position : 100 * position - 29700; }

int StatusPeriodMs(double fps) {
    if (fps < 0.01) fps = 29.97;
    return static_cast<int>(1000.0 / fps * 3.0);
}

std::unique_ptr<Alarm> MakeGstAlarm() { return std::make_unique<GstAlarm>(); }

LivePage::LivePage(AppContext& ctx, Hooks hooks) : ctx_(ctx), hooks_(std::move(hooks)) {
    if (!hooks_.error) hooks_.error = [](const std::string& t) { ErrorBox("%s", t.c_str()); };
}

bool LivePage::StartFromIdle() {
    DetectParams& dp = ctx_.dp;
    if (dp.cxin < dp.cx || dp.cyin < dp.cy) {
        hooks_.error("Xi must be >= Xo, Yi must be >= Yo\n Please set proper value");
        ++refused_starts_;
        return false;
    }
    ctx_.status.Clear();
    // The stamp font of AP.si_fontsize, and a text line that fits the frame.
    detect::FontTable font = detect::StampFont(ctx_.ap.si_fontsize);
    dp.font_table = font.glyphs;
    dp.si_fontx = font.width;
    dp.si_fonty = font.height;
    if (dp.si_y0 > dp.cy - dp.si_fonty - 2) dp.si_y0 = dp.cy - dp.si_fonty - 2;
    if (dp.si_y0 < 0) dp.si_y0 = 0;
    if (hooks_.post) hooks_.post(LIVE_START);
    return true;
}

bool LivePage::Preview() {
    if (state_ != kStop) return false;
    ctx_.status.Clear();
    if (!StartFromIdle()) return false;
    state_ = kPreview;
    RefreshStatus();
    return true;
}

void LivePage::Detect() {
    if (state_ == kDetect) return;
    ctx_.status.Clear();
    if (state_ == kStop && !StartFromIdle()) return;
    if (hooks_.detect_starting) hooks_.detect_starting();
    if (hooks_.post) hooks_.post(LIVE_DETECT_ON);
    state_ = kDetect;
    RefreshStatus();
}

void LivePage::Stop() {
    if (state_ == kStop) return;
    if (rec_on_) {
        rec_on_ = false;
        if (hooks_.post) hooks_.post(LIVE_REC_OFF);
    }
    if (state_ == kDetect) {
        if (hooks_.post) hooks_.post(LIVE_DETECT_OFF);
        LogDetectStop(ctx_);
    }
    if (hooks_.post) hooks_.post(LIVE_STOP);
    ctx_.dp.rec_remain = 0;
    ctx_.dp.warmup = 0;
    state_ = kStop;
    RefreshStatus();
}

void LivePage::PressRec() {
    if (state_ == kStop) return;
    rec_on_ = !rec_on_;
    if (hooks_.post) hooks_.post(rec_on_ ? LIVE_REC_ON : LIVE_REC_OFF);
    RefreshStatus();
}

void LivePage::UserRec() {
    if (state_ == kStop) return;
    ctx_.dp.timer_trig = 0;
    PressRec();
}

std::string LivePage::RefreshStatus() {
    const DetectParams& dp = ctx_.dp;
    int combination = (dp.rec_remain != 0 ? 1 : 0) + 10 * state_ + 100 * dp.warmup;
    const StatusRow& row = ChooseStatusRow(state_, rec_on_, dp);
    if (combination != last_combination_) {
        char buf[64];
        if (dp.drop_count != 0) {
            std::snprintf(buf, sizeof buf, "%s-%d", row.text, dp.drop_count);
        } else {
            std::snprintf(buf, sizeof buf, "%s", row.text);
        }
        status_text_ = buf;
        if (row.alarm && ctx_.ap.beep && hooks_.alarm) {
            if (ctx_.ap.snd[0]) {
                hooks_.alarm->PlayFile(ctx_.ap.snd);
            } else {
                hooks_.alarm->Beep();
            }
        }
        last_combination_ = combination;
    }
    if (hooks_.status_drawn) hooks_.status_drawn(status_text_, row);
    return status_text_;
}

int LivePage::SizeMeter() const {
    int p = DetectSizeToSlider(ctx_.dp.hit_count);
    return p > 511 ? 511 : (p < 0 ? 0 : p);
}
int LivePage::LevelMeter() const { return ctx_.dp.max_level; }
int LivePage::AudioMeter() const {
    return std::strcmp(ctx_.ap.dv_audio, "NULL") == 0 ? 0 : ctx_.dp.audio_peak;
}

}  // namespace vlx
