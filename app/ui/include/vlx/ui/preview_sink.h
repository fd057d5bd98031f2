// The window's preview sink: a GStreamer element "vlxqtsink" (registered in
// this process) that converts the live preview to 32-bit RGB and copies each
// frame, row by row with its stride, into a QImage for a FrameReceiver.
//
// It never holds the stream up: its appsink drops instead of queueing
// (drop=true, max-buffers=1), and the copy runs on the preview queue's own
// streaming thread, not on the detection element's.
#pragma once

#include <QImage>
#include <QObject>
#include <atomic>
#include <mutex>

namespace vlx {

inline constexpr const char* kPreviewSinkFactory = "vlxqtsink";

// Registers "vlxqtsink" once; call after gst_init.
void RegisterPreviewSink();

// Holds the latest preview frame. Frames arrive on a streaming thread; the
// receiver's frameReady signal is emitted there and reaches widgets queued,
// at most once until the frame has been taken (so repaints follow the
// display, not the stream).
class FrameReceiver : public QObject {
    Q_OBJECT
public:
    FrameReceiver();
    ~FrameReceiver() override;

    // Called by the sink (any thread).
    void Deliver(QImage&& frame);
    // Takes the newest frame (GUI thread); null when none came since.
    QImage Take();
    // Frames delivered since construction.
    int64_t frames() const { return frames_; }

signals:
    void frameReady();

private:
    std::mutex mu_;
    QImage latest_;
    std::atomic<bool> pending_{false};
    std::atomic<int64_t> frames_{0};
};

// The receiver every vlxqtsink of the process delivers to (nullptr: none).
void SetFrameReceiver(FrameReceiver* receiver);

}  // namespace vlx
