// The vlx2rf element in a GstHarness: the field rebuild on real buffers
// (padded rows included), the copy into the application's frame buffer, the
// format the block receives, and the properties used without a block.
//
// The block is module-wide, as in the application: the standalone test comes
// first, and CTest runs each test in its own process.
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vlx/replay_params.h"

namespace {

constexpr gint kEPointer = static_cast<gint>(0x80004003u);

struct GstInit {
    GstInit() { gst_init(nullptr, nullptr); }
};
const GstInit gst_once;

// A frame as the harness carries it: top-down rows, GStreamer's stride.
struct Frame {
    int w, h;
    int stride;
    std::vector<uint8_t> bytes;
    uint8_t* px(int x, int t) { return bytes.data() + t * stride + x * 3; }
};

Frame RandomFrame(int w, int h, unsigned seed) {
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_BGR, w, h);
    Frame f{w, h, GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), {}};
    f.bytes.assign(GST_VIDEO_INFO_SIZE(&info), 0xEE);  // padding keeps 0xEE
    std::mt19937 rng(seed);
    for (int t = 0; t < h; ++t)
        for (int i = 0; i < w * 3; ++i) f.bytes[t * f.stride + i] = static_cast<uint8_t>(rng());
    return f;
}

// What a bottom-up frame gets from the rule: buffer row r (0 = the bottom
// picture line) replaced by floor((row r-1 + row r+1) / 2), for r = 2, 4, ...
// with r + 1 < H (field 0), or r = 3, 5, ... with r < H - 2 (field 1).
Frame Reference(Frame in, int field) {
    std::vector<std::vector<int>> rows(in.h);  // bottom-up
    for (int r = 0; r < in.h; ++r) {
        int t = in.h - 1 - r;
        rows[r].assign(in.bytes.begin() + t * in.stride, in.bytes.begin() + t * in.stride + in.w * 3);
    }
    std::vector<std::vector<int>> out = rows;
    for (int y = field ? 3 : 2; field ? y < in.h - 2 : y + 1 < in.h; y += 2)
        for (int i = 0; i < in.w * 3; ++i) out[y][i] = (rows[y - 1][i] + rows[y + 1][i]) / 2;
    for (int r = 0; r < in.h; ++r)
        for (int i = 0; i < in.w * 3; ++i) in.bytes[(in.h - 1 - r) * in.stride + i] = static_cast<uint8_t>(out[r][i]);
    return in;
}

std::string Caps(int w, int h, const char* rate = "30/1") {
    return "video/x-raw,format=BGR,width=" + std::to_string(w) + ",height=" + std::to_string(h) +
           ",framerate=" + rate;
}

class Harness {
public:
    explicit Harness(const std::string& caps, vlx::ReplayParams* block = nullptr,
                     const char* props = nullptr) {
        std::string desc = std::string("vlx2rf ") + (props ? props : "");
        h_ = gst_harness_new_parse(desc.c_str());
        // new_parse wraps the element in a bin; the element itself is needed.
        element_ = gst_bin_get_by_name(GST_BIN(h_->element), "rf");
        if (!element_) element_ = FindRf(h_->element);
        if (block) {
            gint32 version = 0, reserved = -1;
            gint hr = -1;
            g_signal_emit_by_name(element_, "init", block, &version, &reserved, &hr);
            EXPECT_EQ(hr, 0);
            EXPECT_EQ(version, 200);
            EXPECT_EQ(reserved, 0);
        }
        gst_harness_set_src_caps_str(h_, caps.c_str());
    }
    ~Harness() {
        gst_object_unref(element_);
        gst_harness_teardown(h_);
    }
    GstElement* element() { return element_; }

    // Pushes the frame and returns what came out of Output1.
    Frame Push(const Frame& in) {
        GstBuffer* b = gst_buffer_new_memdup(in.bytes.data(), in.bytes.size());
        EXPECT_EQ(gst_harness_push(h_, b), GST_FLOW_OK);
        GstBuffer* o = gst_harness_pull(h_);
        Frame out = in;
        if (!o) {
            ADD_FAILURE() << "no frame on Output1";
            return out;
        }
        GstMapInfo m;
        gst_buffer_map(o, &m, GST_MAP_READ);
        EXPECT_EQ(m.size, in.bytes.size());
        std::memcpy(out.bytes.data(), m.data, std::min(m.size, out.bytes.size()));
        gst_buffer_unmap(o, &m);
        gst_buffer_unref(o);
        return out;
    }

private:
    static GstElement* FindRf(GstElement* e) {
        if (!GST_IS_BIN(e)) return GST_ELEMENT(gst_object_ref(e));
        GstIterator* it = gst_bin_iterate_elements(GST_BIN(e));
        GValue v = G_VALUE_INIT;
        GstElement* found = nullptr;
        if (gst_iterator_next(it, &v) == GST_ITERATOR_OK) found = GST_ELEMENT(g_value_dup_object(&v));
        g_value_unset(&v);
        gst_iterator_free(it);
        return found;
    }
    GstHarness* h_;
    GstElement* element_;
};

// Must run before any "init" in the process (see the top of the file).
TEST(Vlx2rfStandalone, PropertiesChooseTheFieldWithoutABlock) {
    Frame in = RandomFrame(5, 9, 7);
    {
        Harness h(Caps(5, 9), nullptr, "deinterlace=true field-select=1");
        EXPECT_EQ(h.Push(in).bytes, Reference(in, 1).bytes);
        g_object_set(h.element(), "field-select", 0, nullptr);
        EXPECT_EQ(h.Push(in).bytes, Reference(in, 0).bytes);
        g_object_set(h.element(), "deinterlace", FALSE, nullptr);
        EXPECT_EQ(h.Push(in).bytes, in.bytes);
    }
    // Once a block is set its words rule and the properties are ignored.
    vlx::ReplayParams block{};
    Harness h(Caps(5, 9), &block, "deinterlace=true field-select=1");
    EXPECT_EQ(h.Push(in).bytes, in.bytes);
}

TEST(Vlx2rf, InitRefusesNullPointersAndReservedDoesNothing) {
    GstElement* rf = gst_element_factory_make("vlx2rf", nullptr);
    ASSERT_NE(rf, nullptr);
    vlx::ReplayParams block{};
    gint32 version = 0, reserved = 0;
    gint hr = 0;
    g_signal_emit_by_name(rf, "init", nullptr, &version, &reserved, &hr);
    EXPECT_EQ(hr, kEPointer);
    g_signal_emit_by_name(rf, "init", &block, nullptr, &reserved, &hr);
    EXPECT_EQ(hr, kEPointer);
    g_signal_emit_by_name(rf, "init", &block, &version, nullptr, &hr);
    EXPECT_EQ(hr, kEPointer);
    EXPECT_EQ(version, 0);
    g_signal_emit_by_name(rf, "reserved", 5, &hr);
    EXPECT_EQ(hr, 0);
    // The pads as the application wires them.
    for (const char* name : {"Input", "Output1", "Output2"}) {
        GstPad* p = gst_element_get_static_pad(rf, name);
        EXPECT_NE(p, nullptr) << name;
        if (p) gst_object_unref(p);
    }
    gst_object_unref(rf);
}

// Heights at the edges of both rules, odd and even, with rows padded to four
// bytes (width 3 and 5) and unpadded (width 4).
TEST(Vlx2rf, RebuildsTheFieldTheBottomUpRuleNamesAndCopiesTheResult) {
    struct Case {
        int w, h, field;
        bool unchanged;
    } cases[] = {
        {3, 2, 0, true},  {3, 2, 1, true},  {5, 3, 0, true}, {5, 5, 1, true},  {4, 6, 1, false},
        {4, 7, 0, false}, {3, 480, 0, false}, {3, 480, 1, false}, {5, 481, 1, false},
    };
    vlx::ReplayParams block{};
    for (const Case& c : cases) {
        SCOPED_TRACE("w=" + std::to_string(c.w) + " h=" + std::to_string(c.h) + " field=" + std::to_string(c.field));
        std::vector<uint8_t> buf(static_cast<size_t>(c.w) * c.h * 3 + 16, 0xAB);
        block.frame_buf = buf.data();
        block.deinterlace_on = 1;
        block.field_select = c.field;
        Harness h(Caps(c.w, c.h), &block);
        Frame in = RandomFrame(c.w, c.h, c.h * 10 + c.field);
        Frame out = h.Push(in);
        Frame want = Reference(in, c.field);
        EXPECT_EQ(out.bytes, want.bytes);
        if (c.unchanged) {
            EXPECT_EQ(out.bytes, in.bytes);
        }
        // The frame buffer holds the rebuilt frame, bottom row first, unpadded.
        for (int r = 0; r < c.h; ++r)
            ASSERT_EQ(std::memcmp(buf.data() + r * c.w * 3, want.px(0, c.h - 1 - r), c.w * 3), 0) << "row " << r;
        EXPECT_EQ(buf[c.w * c.h * 3], 0xAB) << "wrote past the frame";
    }
    // 480 lines: with field 1 picture lines counted from the bottom 3..477
    // change and 1 and 479 stay; with field 0 2..478 change and 0 stays.
    Frame flat = RandomFrame(3, 480, 1);
    // Neighbours of every rebuilt row are 255 and 0; no kept row is 127.
    for (int r = 0; r < 480; ++r) std::memset(flat.px(0, 479 - r), r % 4 <= 1 ? 255 : 0, 9);
    block.frame_buf = nullptr;
    for (int field : {0, 1}) {
        block.field_select = field;
        Harness h(Caps(3, 480), &block);
        Frame out = h.Push(flat);
        for (int r = 0; r < 480; ++r) {
            int t = 479 - r;
            bool rebuilt = field ? (r % 2 == 1 && r >= 3 && r <= 477) : (r % 2 == 0 && r >= 2 && r <= 478);
            ASSERT_EQ(*out.px(1, t), rebuilt ? 127 : *flat.px(1, t)) << "field " << field << " row " << r;
        }
    }
    // The floor of the mean: 1 and 2 give 1.
    Frame small = RandomFrame(3, 4, 2);
    std::memset(small.px(0, 0), 1, 9);
    std::memset(small.px(0, 2), 2, 9);
    block.field_select = 0;
    Harness h(Caps(3, 4), &block);
    EXPECT_EQ(*h.Push(small).px(2, 1), 1);
}

TEST(Vlx2rf, WithDeinterlacingOffTheFramePassesUnchangedAndIsCopied) {
    vlx::ReplayParams block{};
    std::vector<uint8_t> buf(7 * 4 * 3);
    block.frame_buf = buf.data();
    block.field_select = 1;
    Harness h(Caps(7, 4), &block);
    Frame in = RandomFrame(7, 4, 3);
    EXPECT_EQ(h.Push(in).bytes, in.bytes);
    for (int r = 0; r < 4; ++r) EXPECT_EQ(std::memcmp(buf.data() + r * 21, in.px(0, 3 - r), 21), 0) << r;
    // Without a frame buffer the frame still passes.
    block.frame_buf = nullptr;
    EXPECT_EQ(h.Push(in).bytes, in.bytes);
}

TEST(Vlx2rf, TheFormatReachesTheBlockWithMissingOrShortDurationsReplaced) {
    struct Case {
        const char* rate;
        double fps;
    } cases[] = {
        {"0/1", 10000000.0 / 333667},      // no duration
        {"200/1", 10000000.0 / 333667},    // 50,000: under 10 ms
        {"100/1", 100.0},                  // exactly 10 ms is kept
        {"30000/1001", 10000000.0 / 333667},
        {"25/1", 25.0},
    };
    for (const Case& c : cases) {
        vlx::ReplayParams block{};
        Harness h(Caps(6, 4, c.rate), &block);
        h.Push(RandomFrame(6, 4, 1));
        EXPECT_DOUBLE_EQ(block.fps, c.fps) << c.rate;
        EXPECT_EQ(block.width, 6);
        EXPECT_EQ(block.height, 4);
        EXPECT_EQ(block.pixel_count, 24);
        EXPECT_EQ(block.frame_bytes, 72);
    }
}

}  // namespace
