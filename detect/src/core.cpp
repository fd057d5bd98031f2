#include "vlx/detect/core.h"

namespace vlx::detect {

struct Core::Impl {
    WallClock* clock;
    DetectParams* p = nullptr;
    IpcData* ipc = nullptr;
    bool armed = false;
    int64_t out_frame_time = 333667;
};

Core::Core(WallClock* clock) : impl_(std::make_unique<Impl>()) { impl_->clock = clock; }
Core::~Core() = default;

bool Core::Init(DetectParams* block, int32_t* version, int32_t* reserved) {
    if (!block || !version || !reserved) return false;
    impl_->p = block;
    *version = kDetectVersion;
    *reserved = 0;
    return true;
}
DetectParams* Core::block() const { return impl_->p; }
void Core::SetIpc(IpcData* ipc) { impl_->ipc = ipc; }
void Core::ConnectVideo(const Guid& subtype, int64_t) {
    if (impl_->p) impl_->p->subtype = subtype;
}
int64_t Core::OutputFrameTime() const { return impl_->out_frame_time; }
void Core::ConnectAudio(int32_t, int32_t) {}
void Core::Run() { impl_->armed = true; }
void Core::Stop() {}
bool Core::armed() const { return impl_->armed; }
VideoOutcome Core::ProcessVideo(uint8_t*, size_t len, const SampleTimes&) {
    VideoOutcome o;
    o.frame_len = len;
    o.deliver_preview = impl_->p && !impl_->p->preview_off;
    return o;
}
AudioOutcome Core::ProcessAudio(const uint8_t*, size_t, const SampleTimes&) { return {}; }
void Core::CountDrop() {}
uint8_t* Core::VideoSlot(int) const { return nullptr; }
int Core::VideoSlots() const { return 0; }
uint8_t* Core::AudioSlot(int) const { return nullptr; }
int Core::AudioSlots() const { return 0; }

}  // namespace vlx::detect
