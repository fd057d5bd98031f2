// V4L2 input routing, tuner and controls, driven through the ioctl table by a
// device that behaves as the kernel documents it (no capture card needed).
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "source_rig.h"
#include "vlx/capture/v4l2_device.h"

namespace vlx::capture {
namespace {

constexpr const char* kNode = "/dev/video-vlx-test";
constexpr int kFd = 77;

struct FakeControl {
    v4l2_queryctrl q;
    int32_t value;
    std::map<int32_t, std::string> menu;
};

// A capture card: a tuner, three inputs, three audio inputs, a few controls.
struct FakeCard {
    struct Input {
        const char* name;
        uint32_t type;
    };
    std::vector<Input> inputs{{"Television", V4L2_INPUT_TYPE_TUNER},
                              {"Composite1", V4L2_INPUT_TYPE_CAMERA},
                              {"S-Video", V4L2_INPUT_TYPE_CAMERA},
                              {"Camera 1", V4L2_INPUT_TYPE_CAMERA}};
    std::vector<const char*> audios{"TV", "Line In", "Mic"};
    bool has_tuner = true;
    bool tuner_low = false;
    bool streaming = false;  // S_INPUT is refused while streaming
    int input = 0;
    int audio = 0;
    int set_input_calls = 0;
    int set_audio_calls = 0;
    uint32_t frequency = 0;
    int frequency_calls = 0;
    int opens = 0;
    int closes = 0;
    std::vector<FakeControl> controls;

    FakeCard() {
        AddControl(V4L2_CID_USER_CLASS, "User Controls", V4L2_CTRL_TYPE_CTRL_CLASS, 0, 0, 0, 0, 0);
        AddControl(V4L2_CID_BRIGHTNESS, "Brightness", V4L2_CTRL_TYPE_INTEGER, 0, 255, 1, 128, 100);
        AddControl(V4L2_CID_AUTO_WHITE_BALANCE, "White Balance, Automatic", V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1, 1, 1);
        AddControl(V4L2_CID_HUE, "Hue", V4L2_CTRL_TYPE_INTEGER, -180, 180, 1, 0, 0, V4L2_CTRL_FLAG_DISABLED);
        AddControl(V4L2_CID_POWER_LINE_FREQUENCY, "Power Line Frequency", V4L2_CTRL_TYPE_MENU, 0, 3, 1, 1, 2);
        controls.back().menu = {{0, "Disabled"}, {2, "60 Hz"}, {3, "Auto"}};  // 1 is a gap
        AddControl(V4L2_CID_GAIN, "Gain", V4L2_CTRL_TYPE_INTEGER, 0, 100, 5, 50, 50, V4L2_CTRL_FLAG_INACTIVE);
    }
    void AddControl(uint32_t id, const char* name, uint32_t type, int32_t min, int32_t max, int32_t step,
                    int32_t def, int32_t value, uint32_t flags = 0) {
        FakeControl c{};
        c.q.id = id;
        std::snprintf(reinterpret_cast<char*>(c.q.name), sizeof c.q.name, "%s", name);
        c.q.type = type;
        c.q.minimum = min;
        c.q.maximum = max;
        c.q.step = static_cast<uint32_t>(step);
        c.q.default_value = def;
        c.q.flags = flags;
        c.value = value;
        controls.push_back(c);
    }
    FakeControl* Find(uint32_t id) {
        for (auto& c : controls)
            if (c.q.id == id) return &c;
        return nullptr;
    }

    int Fail(int e) {
        errno = e;
        return -1;
    }

    int Ioctl(unsigned long req, void* arg) {
        switch (req) {
            case VIDIOC_ENUMINPUT: {
                auto* in = static_cast<v4l2_input*>(arg);
                if (in->index >= inputs.size()) return Fail(EINVAL);
                std::snprintf(reinterpret_cast<char*>(in->name), sizeof in->name, "%s", inputs[in->index].name);
                in->type = inputs[in->index].type;
                return 0;
            }
            case VIDIOC_S_INPUT: {
                int i = *static_cast<int*>(arg);
                ++set_input_calls;
                if (streaming) return Fail(EBUSY);
                if (i < 0 || i >= static_cast<int>(inputs.size())) return Fail(EINVAL);
                input = i;
                return 0;
            }
            case VIDIOC_ENUMAUDIO: {
                auto* a = static_cast<v4l2_audio*>(arg);
                if (a->index >= audios.size()) return Fail(EINVAL);
                std::snprintf(reinterpret_cast<char*>(a->name), sizeof a->name, "%s", audios[a->index]);
                return 0;
            }
            case VIDIOC_S_AUDIO: {
                auto* a = static_cast<v4l2_audio*>(arg);
                ++set_audio_calls;
                if (a->index >= audios.size()) return Fail(EINVAL);
                audio = static_cast<int>(a->index);
                return 0;
            }
            case VIDIOC_G_TUNER: {
                auto* t = static_cast<v4l2_tuner*>(arg);
                if (!has_tuner || t->index != 0) return Fail(EINVAL);
                t->type = V4L2_TUNER_ANALOG_TV;
                t->capability = tuner_low ? V4L2_TUNER_CAP_LOW : 0;
                // 44-958 MHz
                t->rangelow = tuner_low ? 44u * 16000u : 44u * 16u;
                t->rangehigh = tuner_low ? 958u * 16000u : 958u * 16u;
                return 0;
            }
            case VIDIOC_S_FREQUENCY: {
                auto* f = static_cast<v4l2_frequency*>(arg);
                ++frequency_calls;
                if (!has_tuner || f->tuner != 0 || f->type != V4L2_TUNER_ANALOG_TV) return Fail(EINVAL);
                frequency = f->frequency;
                return 0;
            }
            case VIDIOC_QUERYCTRL: {
                auto* q = static_cast<v4l2_queryctrl*>(arg);
                if (q->id & V4L2_CTRL_FLAG_NEXT_CTRL) {
                    uint32_t after = q->id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
                    const FakeControl* next = nullptr;
                    for (const auto& c : controls)
                        if (c.q.id > after && (!next || c.q.id < next->q.id)) next = &c;
                    if (!next) return Fail(EINVAL);
                    *q = next->q;
                    return 0;
                }
                FakeControl* c = Find(q->id);
                if (!c) return Fail(EINVAL);
                *q = c->q;
                return 0;
            }
            case VIDIOC_QUERYMENU: {
                auto* m = static_cast<v4l2_querymenu*>(arg);
                FakeControl* c = Find(m->id);
                if (!c || !c->menu.count(static_cast<int32_t>(m->index))) return Fail(EINVAL);
                std::snprintf(reinterpret_cast<char*>(m->name), sizeof m->name, "%s",
                              c->menu[static_cast<int32_t>(m->index)].c_str());
                return 0;
            }
            case VIDIOC_G_CTRL: {
                auto* v = static_cast<v4l2_control*>(arg);
                FakeControl* c = Find(v->id);
                if (!c || c->q.type == V4L2_CTRL_TYPE_CTRL_CLASS) return Fail(EINVAL);
                v->value = c->value;
                return 0;
            }
            case VIDIOC_S_CTRL: {
                auto* v = static_cast<v4l2_control*>(arg);
                FakeControl* c = Find(v->id);
                if (!c || (c->q.flags & V4L2_CTRL_FLAG_DISABLED)) return Fail(EINVAL);
                if (v->value < c->q.minimum || v->value > c->q.maximum) return Fail(ERANGE);
                c->value = v->value;
                return 0;
            }
            default: return Fail(ENOTTY);
        }
    }
};

FakeCard* g_card = nullptr;

int FakeOpen(const char* path, int) {
    if (!g_card || std::strcmp(path, kNode) != 0) {
        errno = ENOENT;
        return -1;
    }
    ++g_card->opens;
    return kFd;
}
int FakeClose(int fd) {
    if (fd == kFd && g_card) ++g_card->closes;
    return 0;
}
int FakeIoctl(int fd, unsigned long req, void* arg) {
    if (fd != kFd || !g_card) {
        errno = EBADF;
        return -1;
    }
    return g_card->Ioctl(req, arg);
}
const V4l2Ops kFakeOps{FakeOpen, FakeClose, FakeIoctl};

class V4l2 : public ::testing::Test {
protected:
    void SetUp() override {
        g_card = &card;
        SetV4l2Ops(&kFakeOps);
    }
    void TearDown() override {
        SetV4l2Ops(nullptr);
        g_card = nullptr;
        // Every node opened was closed again.
        EXPECT_EQ(card.opens, card.closes);
    }
    FakeCard card;
};

TEST_F(V4l2, InputListsNameConnectorsAndNumberFromOne) {
    InputLists lists = ListInputs(kNode);
    EXPECT_EQ(lists.video, (std::vector<std::string>{"1:Tuner", "2:Composite", "3:S-Video", "4:Camera 1"}));
    EXPECT_EQ(lists.audio, (std::vector<std::string>{"1:Tuner", "2:Line", "3:Microphone"}));
    EXPECT_TRUE(ListInputs("/dev/no-such-node").video.empty());
}

TEST_F(V4l2, RoutesZeroBasedIndexes) {
    InputLists lists;
    EXPECT_TRUE(RouteInputsOnNode(kNode, 2, 1, true, &lists));
    EXPECT_EQ(card.input, 2);
    EXPECT_EQ(card.audio, 1);
    EXPECT_EQ(lists.video.size(), 4u);

    // Without sound the audio input is left as it is.
    EXPECT_TRUE(RouteInputsOnNode(kNode, 3, 2, false, &lists));
    EXPECT_EQ(card.input, 3);
    EXPECT_EQ(card.audio, 1);
    EXPECT_EQ(card.set_audio_calls, 1);

    // An index past the list routes nothing.
    const int calls = card.set_input_calls;
    EXPECT_TRUE(RouteInputsOnNode(kNode, 4, -1, true, &lists));
    EXPECT_EQ(card.set_input_calls, calls);
    EXPECT_EQ(card.input, 3);

    // A card that is streaming refuses, and says so.
    card.streaming = true;
    EXPECT_FALSE(RouteInputsOnNode(kNode, 0, 0, true, &lists));
    EXPECT_EQ(card.input, 3);
    EXPECT_FALSE(RouteInputsOnNode("/dev/no-such-node", 0, 0, true, &lists));
    EXPECT_TRUE(lists.video.empty());
}

TEST(ChannelPlan, PictureCarriers) {
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(2, true), 55.25);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(6, true), 83.25);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(7, true), 175.25);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(13, true), 211.25);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(14, true), 471.25);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(69, true), 801.25);
    EXPECT_EQ(ChannelFrequencyMHz(1, true), 0);
    EXPECT_EQ(ChannelFrequencyMHz(70, true), 0);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(1, false), 73.25);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(14, false), 121.25);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(22, false), 169.25);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(23, false), 217.25);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(94, false), 643.25);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(95, false), 91.25);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(99, false), 115.25);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(100, false), 649.25);
    EXPECT_DOUBLE_EQ(ChannelFrequencyMHz(125, false), 799.25);
    EXPECT_EQ(ChannelFrequencyMHz(0, false), 0);
    EXPECT_EQ(ChannelFrequencyMHz(126, false), 0);
}

TEST_F(V4l2, TunerInItsUnits) {
    EXPECT_EQ(ApplyTunerOnNode(kNode, 3, true), TunerResult::kTuned);
    EXPECT_EQ(card.frequency, 980u);  // 61.25 MHz in 62.5 kHz units
    card.tuner_low = true;
    EXPECT_EQ(ApplyTunerOnNode(kNode, 1, false), TunerResult::kTuned);
    EXPECT_EQ(card.frequency, 1172000u);  // 73.25 MHz in 62.5 Hz units
    EXPECT_EQ(ApplyTunerOnNode(kNode, 0, false), TunerResult::kNoChannel);
    EXPECT_EQ(card.frequency_calls, 2);
}

TEST_F(V4l2, NoTunerIsSkippedSilently) {
    card.has_tuner = false;
    EXPECT_EQ(ApplyTunerOnNode(kNode, 3, true), TunerResult::kNoTuner);
    EXPECT_EQ(card.frequency_calls, 0);
    EXPECT_EQ(ApplyTunerOnNode("/dev/no-such-node", 3, true), TunerResult::kNoTuner);
}

TEST_F(V4l2, ControlsListedReadAndSet) {
    std::vector<DeviceControl> list = ListControls(kNode);
    // The class heading and the disabled control are not shown.
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].name, "Brightness");
    EXPECT_EQ(list[0].type, DeviceControl::kInteger);
    EXPECT_EQ(list[0].minimum, 0);
    EXPECT_EQ(list[0].maximum, 255);
    EXPECT_EQ(list[0].step, 1);
    EXPECT_EQ(list[0].default_value, 128);
    EXPECT_EQ(list[0].value, 100);
    EXPECT_EQ(list[1].type, DeviceControl::kBoolean);
    EXPECT_EQ(list[1].value, 1);
    const DeviceControl* gain = nullptr;
    const DeviceControl* power = nullptr;
    for (const auto& c : list) {
        if (c.id == V4L2_CID_GAIN) gain = &c;
        if (c.id == V4L2_CID_POWER_LINE_FREQUENCY) power = &c;
    }
    ASSERT_NE(gain, nullptr);
    EXPECT_TRUE(gain->inactive);
    EXPECT_EQ(gain->step, 5);
    ASSERT_NE(power, nullptr);
    EXPECT_EQ(power->type, DeviceControl::kMenu);
    EXPECT_EQ(power->value, 2);
    EXPECT_EQ(power->menu, (std::vector<std::pair<int32_t, std::string>>{{0, "Disabled"}, {2, "60 Hz"}, {3, "Auto"}}));

    EXPECT_TRUE(SetControl(kNode, V4L2_CID_BRIGHTNESS, 200));
    int32_t v = 0;
    EXPECT_TRUE(GetControl(kNode, V4L2_CID_BRIGHTNESS, &v));
    EXPECT_EQ(v, 200);
    EXPECT_FALSE(SetControl(kNode, V4L2_CID_BRIGHTNESS, 256));  // out of range: refused, not clamped
    EXPECT_TRUE(GetControl(kNode, V4L2_CID_BRIGHTNESS, &v));
    EXPECT_EQ(v, 200);
    EXPECT_FALSE(SetControl(kNode, V4L2_CID_HUE, 0));
    EXPECT_FALSE(GetControl(kNode, 0x12345678, &v));
    EXPECT_TRUE(ListControls("/dev/no-such-node").empty());
}

// The settings reach the card through the device lists: a test camera that
// carries the card's node in its properties.
TEST_F(V4l2, BuildAndSettingsPageRouteTheBoundDevice) {
    test::EnableTestDevices();
    setenv("VLX_TEST_CAMERA_NODE", kNode, 1);
    test::CaptureReporter reporter;
    auto ctx = test::NewContext(320, 240);
    DeviceLists lists = EnumerateDevices(*ctx);
    const std::string cam = test::EntryOf(lists.video, kTestCameraName);
    test::SetText(ctx->ap.dv_video, sizeof ctx->ap.dv_video, cam);
    EXPECT_EQ(DeviceNodeOf(cam.c_str()), kNode);
    EXPECT_EQ(DeviceNodeOf(test::EntryOf(lists.video, kTestDvCameraName).c_str()), "");

    ctx->ap.vpin = 1;
    ctx->ap.apin = 2;
    ctx->ap.tv_ch = 14;
    ctx->ap.tv_antenna = 0;
    SourceParts parts;
    ASSERT_TRUE(BuildSource(*ctx, &parts));
    EXPECT_EQ(parts.video_node, kNode);
    EXPECT_EQ(parts.inputs.video.size(), 4u);
    EXPECT_EQ(card.input, 1);
    EXPECT_EQ(card.audio, 0);                    // AP.dv_audio is "NULL"
    EXPECT_EQ(card.frequency, 121u * 16u + 4u);  // cable 14: 121.25 MHz

    // The input page changes AP.vpin, AP.apin and the channel afterwards.
    ctx->ap.vpin = 2;
    test::SetText(ctx->ap.dv_audio, sizeof ctx->ap.dv_audio, cam);
    InputLists inputs;
    EXPECT_TRUE(RouteInputs(*ctx, &inputs));
    EXPECT_EQ(card.input, 2);
    EXPECT_EQ(card.audio, 2);
    EXPECT_EQ(inputs.audio.size(), 3u);
    ctx->ap.tv_antenna = 1;
    ctx->ap.tv_ch = 7;
    EXPECT_EQ(ApplyTuner(*ctx), TunerResult::kTuned);
    EXPECT_EQ(card.frequency, 175u * 16u + 4u);
    EXPECT_TRUE(reporter.errors().empty());
    unsetenv("VLX_TEST_CAMERA_NODE");
}

}  // namespace
}  // namespace vlx::capture
