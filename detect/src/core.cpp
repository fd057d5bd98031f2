#include "vlx/detect/core.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "vlx/detect/accumulate.h"
#include "vlx/detect/resize.h"
#include "vlx/guid.h"
#include "vlx/messages.h"
#include "vlx/thread_msg.h"

namespace vlx::detect {

namespace {

constexpr double kFallbackFps = 29.996;
constexpr int64_t kFallbackFrameTime = 333667;

struct SlotInfo {
    SampleTimes times;
    size_t len = 0;
};

// Clock reading of the superimposition time base.
struct Reading {
    int64_t sec = 0;
    int32_t ms = 0;
};

}  // namespace

struct Core::Impl {
    WallClock* clock = nullptr;
    DetectParams* p = nullptr;
    IpcData* ipc = nullptr;
    int32_t ipc_counter = 0;

    // Geometry fixed by Init and the video connection.
    int32_t cx = 0, cy = 0, cxin = 0, cyin = 0;
    double fps = kFallbackFps;
    int64_t out_frame_time = static_cast<int64_t>(1e7 / kFallbackFps);
    int32_t max_frames = 0;
    bool connected = false;
    Guid subtype = kGuidNull;
    int32_t format = kFormatNone;
    int64_t source_frame_time = -1;
    int64_t D = kFallbackFrameTime;
    size_t work_bytes = 0;
    bool usable = false;
    std::string problem = "not initialised";

    Resizer resizer;
    Detector detector;

    // Video ring.
    int32_t nslots = 0;
    int32_t frame_bytes = 0;
    std::vector<SlotInfo> slots;
    std::vector<FrameStamp> stamps;
    int32_t wr = 0;
    bool wrapped = false;
    int32_t last_slot = -1;

    // Audio ring.
    int32_t naudio = 0;
    int32_t audio_buf_bytes = 0;
    std::vector<SlotInfo> aslots;
    int32_t awr = 0;
    bool awrapped = false;
    int32_t bytes_per_second = 0;
    int32_t bits_per_sample = 0;

    // Trigger and delivery.
    bool armed = false;
    int32_t consec = 0, shift = 0, emitted = 0;
    Reading t[4];  // t[0] = t-3 ... t[3] = t0
    int64_t vstart = 0, vstop = 0, vm0 = 0, vm1 = 0;
    int64_t astart = 0, am0 = 0, am1 = 0;

    Reading ReadClock() const;
    void ApplyConnection();
    void Validate();
    uint8_t* Slot(int i) const { return p->shift_buf + static_cast<size_t>(i) * frame_bytes; }
    int32_t BackIndex(int32_t back) const;
    FrameStamp MakeStamp() const;
    void Publish(int32_t x, int32_t y, int32_t hits, int32_t level);
    void Deliver(VideoOutcome& o, int32_t cancel);
    void EmitSlot(VideoOutcome& o, int32_t e);
    void EndClip(VideoOutcome& o, int32_t result);
    int32_t drain_left = -1;  // frames still to deliver after the input ended
};

Reading Core::Impl::ReadClock() const {
    const WallTime now = clock->Now();
    Reading r;
    r.sec = now.sec - p->time_offset;
    int64_t ms = static_cast<int64_t>(now.ms) + p->si_offset;
    // The offset is meant to lie within a second; anything further still
    // carries into whole seconds rather than printing an impossible time.
    int64_t carry = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    r.sec += carry;
    r.ms = static_cast<int32_t>(ms - carry * 1000);
    return r;
}

void Core::Impl::ApplyConnection() {
    if (!connected) return;
    format = FormatCodeOf(subtype);
    if (p) p->subtype = subtype;
    if (p && p->fps > 0.01) D = static_cast<int64_t>(1e7 / p->fps);
    else D = source_frame_time;
    if (D < 100000) D = kFallbackFrameTime;
    detector.Connect(format);
}

void Core::Impl::Validate() {
    usable = false;
    if (!p) {
        problem = "not initialised";
        return;
    }
    if (cx <= 0 || cy <= 0) {
        problem = "working size is empty";
        return;
    }
    if (cx > cxin || cy > cyin) {
        problem = "working size is larger than the source size";
        return;
    }
    if (!p->shift_buf || p->shift_frames < 1 || p->frame_bytes <= 0) {
        problem = "no shift buffer";
        return;
    }
    if (!p->mask || !p->hit_map || !p->avr_map || !p->obj_map) {
        problem = "mask, HitMap, AvrMap or ObjMap missing";
        return;
    }
    if (static_cast<int64_t>(p->pixels) < static_cast<int64_t>(cx) * cy) {
        problem = "pixels is smaller than the working size";
        return;
    }
    if (!connected || format == kFormatNone) {
        problem = "video format not connected";
        return;
    }
    work_bytes = FrameBytes(format, cx, cy);
    if (static_cast<size_t>(p->frame_bytes) < work_bytes) {
        problem = "frame_bytes is too small for the connected format";
        return;
    }
    problem.clear();
    usable = true;
}

int32_t Core::Impl::BackIndex(int32_t back) const {
    if (back < 0 || back > nslots) return -1;
    int32_t i = wr - back;
    if (i < 0 && wrapped) i += nslots;
    return i;
}

FrameStamp Core::Impl::MakeStamp() const {
    const Reading& r = t[0];
    const CalendarTime c = CalendarFromSeconds(r.sec);
    FrameStamp s;
    s.year = c.year;
    s.month = c.month;
    s.day = c.day;
    s.hour = c.hour;
    s.minute = c.minute;
    s.second = c.second;
    s.ms = r.ms;
    if (p->force_trig) s.trigger = p->timer_trig ? kTriggerTimer : kTriggerManual;
    else if (p->hit_count >= p->dsize) s.trigger = kTriggerVideo;
    else if (p->detect_on && p->atrigger && p->audio_peak >= p->alev) s.trigger = kTriggerAudio;
    else s.trigger = kTriggerNone;
    s.hit_count = p->hit_count;
    s.over = p->max_level >= p->dlev;
    s.max_level = p->max_level;
    s.seconds = r.sec;
    return s;
}

// Sequence protocol: word 0 is 0 while the other words change and a fresh
// non-zero count afterwards. Atomic stores keep the order visible to a reader
// in another process mapping the same memory.
void Core::Impl::Publish(int32_t x, int32_t y, int32_t hits, int32_t level) {
    if (!ipc) return;
    std::atomic_ref<int32_t>(ipc->sequence).store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    std::atomic_ref<int32_t>(ipc->x).store(x, std::memory_order_relaxed);
    std::atomic_ref<int32_t>(ipc->y).store(y, std::memory_order_relaxed);
    std::atomic_ref<int32_t>(ipc->hits).store(hits, std::memory_order_relaxed);
    std::atomic_ref<int32_t>(ipc->level).store(level, std::memory_order_relaxed);
    if (++ipc_counter <= 0) ipc_counter = 1;  // 0 means "being written"
    std::atomic_ref<int32_t>(ipc->sequence).store(ipc_counter, std::memory_order_release);
}

// Delivers ring slot e as the clip's next frame (stamped, timed, peak-held).
void Core::Impl::EmitSlot(VideoOutcome& o, int32_t e) {
    if (e < 0 || e >= nslots) return;
    uint8_t* data = Slot(e);
    if (emitted >= 2 && p->im_peak && p->snapshot) PeakHold(p->snapshot, data, format, cx, cy);
    if (max_frames < 1 || emitted < max_frames) {
        const Canvas canvas{data, format, cx, cy};
        Stamp(canvas, *p, stamps[e], StampStyle::kCapture, ClipProgress{emitted, max_frames});
        SlotInfo& s = slots[e];
        if (p->rec_line) WriteRecordLine(data, s.len, *p, stamps[e], emitted);
        s.times.start = vstart;
        s.times.stop = vstop;
        vstart += D;
        vstop += D;
        s.times.media_start = vm0;
        s.times.media_stop = vm1;
        vm0 += 1;
        vm1 = vm0 + 1;
        o.capture_slot = e;
        o.capture_len = s.len;
        o.capture_times = s.times;
    }
}

// Delivery step: the ring slot shift-1 frames back goes out on the capture
// output, or the clip ends.
void Core::Impl::Deliver(VideoOutcome& o, int32_t cancel) {
    if (p->rec_remain > 0) {
        emitted += 1;
        if (emitted == 1) {
            // Bookkeeping of the clip's first frame happens even when that
            // frame lies before the first filled slot, so the count and the
            // trigger kind always belong to this clip.
            p->clip_count += 1;
            p->clip_dlev = p->dlev;
            const bool audio_level = p->detect_on && p->atrigger && p->audio_peak >= p->alev;
            if (p->force_trig) p->clip_trigger = audio_level ? kTriggerAudio : (p->timer_trig ? kTriggerTimer : kTriggerManual);
            else p->clip_trigger = p->hit_count >= p->dsize ? kTriggerVideo : kTriggerNone;
        }
        int32_t e = wr - shift + 1;
        if (e < 0 && wrapped) e += nslots;
        EmitSlot(o, e);
        return;
    }
    if (emitted == 0) return;
    int32_t result = kClipNormal;
    if (max_frames > 0 && emitted >= max_frames) result = kClipTooLong;
    else if (cancel) result = kClipCancelled;
    EndClip(o, result);
}

void Core::Impl::EndClip(VideoOutcome& o, int32_t result) {
    p->clip_result = result;
    p->clip_frames = emitted;
    PostThreadMessage(p->notify_thread, WM_LIVE_CLIP_END, 0, 0);
    if (!p->singlefilemode) armed = false;
    emitted = 0;
    // Back to watching: the next clip needs dmin fresh detection frames.
    consec = 0;
    o.clip_ended = true;
    o.clip_result = result;
}

// ---------------------------------------------------------------------------

Core::Core(WallClock* clock) : impl_(std::make_unique<Impl>()) {
    impl_->clock = clock ? clock : &SystemClock();
}
Core::~Core() = default;

bool Core::Init(DetectParams* block, int32_t* version, int32_t* reserved) {
    if (!block || !version || !reserved) return false;
    Impl& m = *impl_;
    m.p = block;
    *version = kDetectVersion;
    *reserved = 0;
    DetectParams& p = *block;
    m.cx = p.cx;
    m.cy = p.cy;
    m.cxin = p.cxin > 0 ? p.cxin : p.cx;
    m.cyin = p.cyin > 0 ? p.cyin : p.cy;
    m.fps = p.fps < 0.01 ? kFallbackFps : p.fps;
    m.out_frame_time = static_cast<int64_t>(1e7 / m.fps);
    m.max_frames = p.dmaxsec > 0 ? static_cast<int32_t>(p.dmaxsec * m.fps) : 0;

    m.frame_bytes = p.frame_bytes;
    m.nslots = p.shift_buf && p.frame_bytes > 0 ? std::max(p.shift_frames, 0) : 0;
    m.slots.assign(m.nslots, SlotInfo{});
    m.stamps.assign(m.nslots, FrameStamp{});
    m.naudio = p.audio_shift_buf && p.audio_buf_bytes > 0 ? std::max(p.audio_bufs, 0) : 0;
    m.audio_buf_bytes = m.naudio ? p.audio_buf_bytes : 0;
    m.aslots.assign(m.naudio, SlotInfo{});

    if (m.cx > 0 && m.cy > 0) m.detector.Init(block, m.cx, m.cy, m.fps);
    m.ipc_counter = 0;
    m.resizer.Configure(m.cxin, m.cyin, m.cx, m.cy);

    m.armed = false;
    m.wr = m.awr = 0;
    m.wrapped = m.awrapped = false;
    m.last_slot = -1;
    m.consec = m.shift = m.emitted = 0;
    m.ApplyConnection();
    m.Validate();
    return true;
}

DetectParams* Core::block() const { return impl_->p; }
void Core::SetIpc(IpcData* ipc) { impl_->ipc = ipc; }

void Core::ConnectVideo(const Guid& subtype, int64_t source_frame_time) {
    Impl& m = *impl_;
    m.connected = true;
    m.subtype = subtype;
    m.source_frame_time = source_frame_time;
    m.ApplyConnection();
    m.Validate();
}

int64_t Core::OutputFrameTime() const { return impl_->out_frame_time; }

void Core::ConnectAudio(int32_t bytes_per_second, int32_t bits_per_sample) {
    impl_->bytes_per_second = bytes_per_second;
    impl_->bits_per_sample = bits_per_sample;
}

void Core::Run() {
    Impl& m = *impl_;
    if (!m.p) return;
    DetectParams& p = *m.p;
    m.vstart = m.astart = 3 * m.D;
    m.vstop = 4 * m.D - 1000;
    m.vm0 = m.am0 = 1;
    m.vm1 = m.am1 = 2;
    m.consec = m.emitted = 0;
    m.wr = m.awr = 0;
    m.wrapped = m.awrapped = false;
    m.last_slot = -1;
    m.t[3] = m.ReadClock();
    for (int i = 2; i >= 0; --i) {
        Reading r = m.t[i + 1];
        r.ms = static_cast<int32_t>(r.ms - 33.3);
        if (r.ms < 0) {
            r.ms += 1000;
            r.sec -= 1;
        }
        m.t[i] = r;
    }
    p.rec_remain = 0;
    p.max_level = 0;
    p.audio_peak = 0;
    p.snap_ready = 0;
    p.clip_result = 0;
    p.clip_started = 0;
    p.drop_count = 0;
    if (!m.usable) {
        m.armed = false;
        return;
    }
    if (p.im_map) m.detector.ClearHitMap(true);
    if (p.im_peak && p.snapshot) std::memset(p.snapshot, 0, static_cast<size_t>(p.frame_bytes));
    m.detector.ApplyBorder();
    m.armed = true;
}

void Core::Stop() {
    Impl& m = *impl_;
    if (!m.p) return;
    DetectParams& p = *m.p;
    if (p.snap_ready == 0 && p.snapshot && m.last_slot >= 0 && m.last_slot < m.nslots) {
        const size_t n = std::min(m.slots[m.last_slot].len, static_cast<size_t>(p.frame_bytes));
        std::memcpy(p.snapshot, m.Slot(m.last_slot), n);
        p.snap_ready = 1;
    }
}

bool Core::armed() const { return impl_->armed; }

bool Core::DrainAtEnd(VideoOutcome& o) {
    Impl& m = *impl_;
    if (!m.p || !m.armed || m.emitted == 0 || !m.p->fileinmode || m.nslots < 1) {
        m.drain_left = -1;
        return false;
    }
    DetectParams& p = *m.p;
    // Delivery runs shift - 1 frames behind the input: those frames are in
    // the ring and go out now, oldest first.
    if (m.drain_left < 0) m.drain_left = std::max(m.shift - 1, 0);
    if (m.drain_left > 0) {
        int32_t last = m.wr - 1;
        if (last < 0) last += m.nslots;
        int32_t e = last - (m.drain_left - 1);
        if (e < 0 && m.wrapped) e += m.nslots;
        m.drain_left -= 1;
        m.emitted += 1;
        m.EmitSlot(o, e);
        return true;
    }
    m.drain_left = -1;
    p.rec_remain = 0;
    m.EndClip(o, m.max_frames > 0 && m.emitted >= m.max_frames ? kClipTooLong : kClipNormal);
    return true;
}

VideoOutcome Core::ProcessVideo(uint8_t* frame, size_t len, const SampleTimes& in) {
    Impl& m = *impl_;
    VideoOutcome o;
    o.frame_len = len;
    if (!m.p) {
        o.deliver_preview = true;
        return o;
    }
    DetectParams& p = *m.p;
    o.deliver_preview = !p.preview_off;
    if (!frame) return o;
    if (m.resizer.active() && m.format != kFormatNone) {
        // A frame too short for the source size cannot be scaled and is
        // passed on untouched.
        if (len < m.resizer.InputBytes(m.format)) return o;
        m.resizer.Apply(frame, m.format);
        o.frame_len = m.resizer.OutputBytes(m.format);
    }
    if (!m.usable || !m.armed || o.frame_len < m.work_bytes || m.nslots < 1) return o;

    // 1. Ring copy (the detector copies the luma rows as it reads them).
    const int32_t h = m.wr;
    uint8_t* slot = m.Slot(h);
    const size_t copy_len = std::min(o.frame_len, static_cast<size_t>(m.frame_bytes));
    m.slots[h].times = in;
    m.slots[h].len = copy_len;

    // 2. Frame clock.
    m.t[0] = m.t[1];
    m.t[1] = m.t[2];
    m.t[2] = m.t[3];
    m.t[3] = m.ReadClock();
    if (p.fps == 0.0) {
        int64_t d = (static_cast<int64_t>(m.t[3].ms) - m.t[2].ms) * 10000;
        if (d < 0) d += 10000000;
        m.D = d < 100000 ? kFallbackFrameTime : d;
    }

    // 3. Detector.
    const int32_t ref = m.BackIndex(p.fs_diff);
    int32_t head = m.BackIndex(p.fs_head);
    if (head < 0) head = h;
    DetectFrame f;
    f.preview = frame;
    f.copy = true;
    f.slot = slot;
    f.ref = ref >= 0 ? m.Slot(ref) : nullptr;
    f.head = m.Slot(head);
    f.now = WallTime{m.t[3].sec, m.t[3].ms};
    f.emitted = m.emitted;
    const DetectResult res = m.detector.Process(f);
    const size_t covered = m.detector.CopiedBytes();
    if (copy_len > covered) std::memcpy(slot + covered, frame + covered, copy_len - covered);
    m.last_slot = h;
    // The slot's stamp is complete once the detector has run; writing it
    // before delivery lets a clip without head frames stamp this very frame.
    m.stamps[h] = m.MakeStamp();

    // 4. Trigger.
    if (res.cancel) {
        p.rec_remain = 0;
        m.consec = 0;
    } else if (p.force_trig || (p.detect_on && p.hit_count >= p.dsize)) {
        if (p.rec_remain != 0) {
            p.rec_remain = p.fs_tail + m.shift;
        } else {
            m.consec += 1;
            if (m.consec >= p.dmin || (p.dminsize != 0 && p.hit_count >= p.dminsize)) {
                m.shift = p.fs_head + m.consec;
                p.rec_remain = p.fs_tail + m.shift;
                p.clip_start_time = m.t[0].sec;
                p.clip_started = 1;
            }
        }
        m.Publish(res.max_x, res.max_y, p.hit_count, p.max_level);
    } else {
        if (m.ipc && std::atomic_ref<int32_t>(m.ipc->hits).load(std::memory_order_relaxed) != 0)
            m.Publish(-1, -1, 0, 0);
        if (p.rec_remain <= 0) m.consec = 0;
        else p.rec_remain -= 1;
    }

    // 5. Delivery.
    m.Deliver(o, res.cancel);

    // 6. Idle work.
    if (p.rec_remain <= 0 || (m.max_frames >= 0 && m.emitted >= m.max_frames)) {
        if (p.clip_started != 1) m.detector.ClearHitMap(false);
        if (p.sm_on) m.detector.UpdateScintillation();
    }

    // 7. Preview stamp, SnapShot, object boxes.
    const Canvas canvas{frame, m.format, m.cx, m.cy};
    Stamp(canvas, p, m.stamps[h], StampStyle::kPreview, ClipProgress{m.emitted, m.max_frames});
    if (m.emitted == 1 && (p.im_snap || p.im_peak) && p.snapshot) {
        std::memcpy(p.snapshot, frame, m.work_bytes);
        p.snap_ready = 1;
    }
    m.detector.DrawBoxes(frame);

    // 8. Ring advance.
    if (++m.wr >= m.nslots) {
        m.wr = 0;
        m.wrapped = true;
    }
    return o;
}

AudioOutcome Core::ProcessAudio(const uint8_t* data, size_t len, const SampleTimes& in) {
    Impl& m = *impl_;
    AudioOutcome o;
    if (!m.p || m.naudio < 1 || !data) return o;
    DetectParams& p = *m.p;

    SlotInfo& s = m.aslots[m.awr];
    const size_t n = std::min(len, static_cast<size_t>(m.audio_buf_bytes));
    std::memcpy(p.audio_shift_buf + static_cast<size_t>(m.awr) * m.audio_buf_bytes, data, n);
    s.times = in;
    s.len = n;

    if (m.bits_per_sample == 16) {
        int32_t peak = 0;
        const size_t samples = len / 2;
        for (size_t i = 0; i < samples; ++i) {
            int16_t v;
            std::memcpy(&v, data + 2 * i, 2);
            const int32_t a = v < 0 ? -static_cast<int32_t>(v) : v;
            peak = a > peak ? a : peak;
        }
        if (p.detect_on && p.atrigger) p.force_trig = peak > p.alev ? 1 : 0;
        p.audio_peak = peak;
    } else {
        p.audio_peak = 0;
    }

    if (p.rec_remain != 0 && m.bytes_per_second > 0 && len > 0) {
        const int64_t L = static_cast<int64_t>(len) * 10000000 / m.bytes_per_second;
        if (L > 0) {
            const double lag = static_cast<double>(p.dmin + p.fs_head) * static_cast<double>(m.D) / L - 1;
            const int32_t k = std::max(static_cast<int32_t>(std::clamp(lag, -1.0, 1e9)), 0);
            int32_t a = m.awr - k;
            if (a < 0 && m.awrapped) a += m.naudio;
            if (a >= 0 && a < m.naudio) {
                SlotInfo& d = m.aslots[a];
                d.times.start = m.astart;
                d.times.stop = m.astart + L;
                m.astart += L;
                d.times.media_start = m.am0;
                d.times.media_stop = m.am1;
                m.am0 += 1;
                m.am1 = m.am0 + 1;
                o.deliver_slot = a;
                o.deliver_len = d.len;
                o.deliver_times = d.times;
            }
        }
    }
    if (++m.awr >= m.naudio) {
        m.awr = 0;
        m.awrapped = true;
    }
    return o;
}

void Core::CountDrop() {
    if (impl_->p) impl_->p->drop_count += 1;
}

uint8_t* Core::VideoSlot(int slot) const {
    const Impl& m = *impl_;
    if (!m.p || slot < 0 || slot >= m.nslots) return nullptr;
    return m.Slot(slot);
}
int Core::VideoSlots() const { return impl_->nslots; }
uint8_t* Core::AudioSlot(int slot) const {
    const Impl& m = *impl_;
    if (!m.p || slot < 0 || slot >= m.naudio) return nullptr;
    return m.p->audio_shift_buf + static_cast<size_t>(slot) * m.audio_buf_bytes;
}
int Core::AudioSlots() const { return impl_->naudio; }

bool Core::usable() const { return impl_->usable; }
const char* Core::problem() const { return impl_->problem.c_str(); }
const Detector& Core::detector() const { return impl_->detector; }
const FrameStamp& Core::SlotStamp(int slot) const { return impl_->stamps.at(static_cast<size_t>(slot)); }
int32_t Core::format() const { return impl_->format; }
int64_t Core::frame_duration() const { return impl_->D; }
int32_t Core::max_frames() const { return impl_->max_frames; }
int32_t Core::consec() const { return impl_->consec; }
int32_t Core::shift() const { return impl_->shift; }
int32_t Core::emitted() const { return impl_->emitted; }
int Core::write_index() const { return impl_->wr; }

}  // namespace vlx::detect
