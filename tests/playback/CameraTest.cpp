// Camera playback against the fake V4L2 camera preloaded into this program and so into its
// readers (tests/support/fake_camera): OpenCV's own V4L2 back end runs, only the device is fake.
#include "playback/PlayVideo.h"

#include "support/Colours.h"
#include "support/ModalWatcher.h"
#include "support/TestVideo.h"
#include "support/VideoWindow.h"
#include "support/fake_camera/FakeCamera.h"
#include "support/fake_camera/WhenPictureShown.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <linux/videodev2.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const QColor cameraColour(0xff, 0x80, 0x00);
using namespace testcolours;

milliseconds Between(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<milliseconds>(to - from);
}

// Each test runs in a process of its own (ctest), so the camera's settings, read when it is
// opened, are the test's own; no file name was ever accepted, so PlayVideo plays camera 0.
class CameraPlayback : public testing::Test {
protected:
    void SetUp() override { setenv("FAKE_CAMERA_COLOUR", "FF8000", 1); }

    static bool CameraOpen() { return fakecamera::OpenDescriptors() > 0; }

    TestVideoFolder videos;
};

TEST_F(CameraPlayback, LiveCameraPlaysUntilTheWindowIsClosedThenTheDeviceIsClosed)
{
    std::optional<QColor> shown;
    QImage picture;
    bool openWhilePlaying = false;
    Clock::time_point closedAt;
    WhenPictureShown closeWindow(cameraColour, [&](std::optional<QColor> colour) {
        shown = colour;
        picture = videowindow::ShownPicture();
        // Still playing a moment later: a live stream does not end by itself.
        QTimer::singleShot(500, [&] {
            openWhilePlaying = CameraOpen();
            closedAt = Clock::now();
            if (QWidget* window = videowindow::Find())
                window->close();
        });
    });

    PlayVideo(std::nullopt);

    ASSERT_TRUE(shown) << "the camera's picture never showed";
    EXPECT_TRUE(IsNear(*shown, cameraColour)) << "shows " << shown->name().toStdString();
    // As the camera sends it: neither scaled nor turned, its white quarter top left.
    EXPECT_EQ(picture.size(), QSize(160, 120));
    EXPECT_TRUE(IsNear(picture.pixel(10, 10), white));
    EXPECT_TRUE(IsNear(picture.pixel(150, 110), cameraColour));
    EXPECT_TRUE(openWhilePlaying) << "playback ended before the window was closed";
    EXPECT_LT(Between(closedAt, Clock::now()), milliseconds(1000)) << "closing the window did not end playback";
    EXPECT_FALSE(videowindow::IsShown());
    EXPECT_EQ(fakecamera::OpenDescriptorsOnceReleased(), 0) << "the camera was left open";
}

TEST_F(CameraPlayback, FileOpenedDuringCameraPlaybackReplacesItAndClosesTheCamera)
{
    const std::string clip = videos.WriteLong("long.avi", 3000, red, blue);
    bool cameraWasOpen = false;
    std::optional<QColor> shownAfterOpen;
    int cameraDescriptorsAfterOpen = -1;
    std::unique_ptr<WhenPictureShown> fileShown;
    WhenPictureShown openFile(cameraColour, [&](std::optional<QColor>) {
        cameraWasOpen = CameraOpen();
        PlayVideo(clip);  // returns at once: the running command plays it instead
        // Checked while the file plays, not after: the camera must go when the file takes over.
        fileShown = std::make_unique<WhenPictureShown>(red, [&](std::optional<QColor> colour) {
            shownAfterOpen = colour;
            cameraDescriptorsAfterOpen = fakecamera::OpenDescriptorsOnceReleased();
            if (QWidget* window = videowindow::Find())
                window->close();
        });
    });

    PlayVideo(std::nullopt);

    EXPECT_TRUE(cameraWasOpen);
    EXPECT_EQ(SourceName(), clip);
    ASSERT_TRUE(shownAfterOpen) << "the file's picture never showed";
    EXPECT_TRUE(IsNear(*shownAfterOpen, red)) << "shows " << shownAfterOpen->name().toStdString();
    EXPECT_EQ(cameraDescriptorsAfterOpen, 0) << "the camera stayed open behind the file";
    EXPECT_EQ(videowindow::Count(), 1);
}

TEST_F(CameraPlayback, VanishingCameraEndsPlaybackSilently)
{
    constexpr milliseconds vanishAfter(800);
    setenv("FAKE_CAMERA_VANISH_AFTER_MS", "800", 1);
    QStringList messages;
    ModalWatcher user(ModalWatcher::AcknowledgeMessages(messages));
    std::optional<QColor> shown;
    std::optional<fakecamera::Stream> stream;  // read while the camera's reader is there
    WhenPictureShown readPicture(cameraColour, [&](std::optional<QColor> colour) {
        shown = colour;
        stream = fakecamera::LastStream();
    });

    PlayVideo(std::nullopt);

    const auto returnedAt = Clock::now();
    ASSERT_TRUE(stream) << "the camera never streamed";
    const auto vanishedAt = stream->start + vanishAfter;
    ASSERT_TRUE(returnedAt >= vanishedAt) << "playback ended before the camera vanished";
    // Far less than OpenCV's 10 s wait for a frame: the unplugging itself ended playback.
    EXPECT_LT(Between(vanishedAt, returnedAt), milliseconds(2000));
    EXPECT_EQ(user.Answered(), 0) << messages.join('\n').toStdString();
    ASSERT_TRUE(shown) << "the camera's picture never showed";
    EXPECT_TRUE(IsNear(*shown, cameraColour)) << "shows " << shown->name().toStdString();
    EXPECT_EQ(fakecamera::OpenDescriptorsOnceReleased(), 0) << "the unplugged camera's descriptor was kept";
}

// A camera that stops sending must not freeze the program: playback gives up within about a
// second and events keep being serviced while it waits.
TEST_F(CameraPlayback, StalledCameraEndsPlaybackPromptlyAndEventsKeepFlowing)
{
    constexpr milliseconds stallAfter(1500);
    setenv("FAKE_CAMERA_STALL_AFTER_MS", "1500", 1);
    std::optional<QColor> shown;
    std::optional<fakecamera::Stream> stream;
    WhenPictureShown readPicture(cameraColour, [&](std::optional<QColor> colour) {
        shown = colour;
        stream = fakecamera::LastStream();
    });
    std::vector<Clock::time_point> ticks;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] { ticks.push_back(Clock::now()); });
    ticker.start(20);

    PlayVideo(std::nullopt);

    const auto returnedAt = Clock::now();
    ASSERT_TRUE(stream) << "the camera never streamed";
    const auto stalledAt = stream->start + stallAfter;
    ticks.push_back(returnedAt);
    milliseconds longestGap(0);
    for (std::size_t i = 1; i < ticks.size(); ++i)
        if (ticks[i] > stalledAt)
            longestGap = std::max(longestGap, Between(std::max(ticks[i - 1], stalledAt), ticks[i]));
    RecordProperty("ms_from_stall_to_return", int(Between(stalledAt, returnedAt).count()));
    RecordProperty("longest_timer_gap_ms", int(longestGap.count()));
    ASSERT_TRUE(shown) << "the camera's picture never showed";
    EXPECT_TRUE(IsNear(*shown, cameraColour));
    ASSERT_TRUE(returnedAt > stalledAt) << "playback ended before the camera stalled";
    EXPECT_LE(Between(stalledAt, returnedAt), milliseconds(2500))
        << "playback ended " << Between(stalledAt, returnedAt).count() << " ms after the camera stalled";
    // Frozen windows would leave a gap of the whole wait (a second); a busy machine delays a
    // timer by tens of milliseconds at times, never by half a second.
    EXPECT_LE(longestGap, milliseconds(500))
        << "a 20 ms timer went " << longestGap.count() << " ms without firing while the camera was stalled";
    EXPECT_EQ(fakecamera::OpenDescriptorsOnceReleased(), 0) << "the stalled camera was left open";
}

// Cameras as people have them, each listing its modes as a USB camera does: shown in the mode
// with the best picture, in the format that gives it, at the camera's rate.
struct Camera {
    const char* name;
    const char* modes;  // FAKE_CAMERA_MODES
    QSize shown;
    std::uint32_t format;
    std::pair<const char*, const char*> setting{};  // another of the fake's variables, and its value
};

void PrintTo(const Camera& camera, std::ostream* out)
{
    *out << camera.name;
}

class CameraModes : public CameraPlayback, public testing::WithParamInterface<Camera> {};

TEST_P(CameraModes, ShownInItsBestModeAtItsRate)
{
    const Camera camera = GetParam();
    setenv("FAKE_CAMERA_MODES", camera.modes, 1);
    if (camera.setting.first)
        setenv(camera.setting.first, camera.setting.second, 1);
    QImage picture;
    unsigned long firstTaken = 0;
    Clock::time_point firstAt;
    double framesPerSecond = 0;
    bool openAtTheEnd = false;
    std::optional<fakecamera::Stream> stream;
    QTimer end;
    end.setSingleShot(true);
    QObject::connect(&end, &QTimer::timeout, [&] {
        framesPerSecond = (fakecamera::FramesTaken() - firstTaken) * 1000.0 / Between(firstAt, Clock::now()).count();
        stream = fakecamera::LastStream();
        openAtTheEnd = CameraOpen();
        if (QWidget* window = videowindow::Find())
            window->close();
    });
    WhenPictureShown measure(cameraColour, [&](std::optional<QColor>) {
        picture = videowindow::ShownPicture();
        firstTaken = fakecamera::FramesTaken();
        firstAt = Clock::now();
        end.start(3000);  // past the first empty frame, where there is one
    });

    PlayVideo(std::nullopt);

    ASSERT_TRUE(stream) << "the camera never streamed";
    EXPECT_EQ(picture.size(), camera.shown);
    EXPECT_EQ(stream->format, camera.format);
    EXPECT_EQ(stream->rate, 30u);
    // 30 a second, less what a busy machine may cost.
    EXPECT_GE(framesPerSecond, 25);
    EXPECT_TRUE(openAtTheEnd) << "the camera stopped playing";
    EXPECT_EQ(fakecamera::OpenDescriptorsOnceReleased(), 0) << "the camera was left open";
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, CameraModes,
    testing::Values(
        Camera{"Webcam1080p",
               "YUYV:640x480@30,YUYV:1280x720@10,YUYV:1920x1080@5,"
               "MJPG:640x480@30,MJPG:1280x720@30,MJPG:1920x1080@30",
               {1920, 1080}, V4L2_PIX_FMT_MJPEG},
        Camera{"LaptopCamera", "YUYV:640x480@30,YUYV:1280x720@10,MJPG:640x480@30,MJPG:1280x720@30",
               {1280, 720}, V4L2_PIX_FMT_MJPEG},
        // A larger picture at 5 or 10 frames a second is not the better one.
        Camera{"RawOnly", "YUYV:640x480@30,YUYV:1280x720@10,YUYV:1920x1080@5", {640, 480}, V4L2_PIX_FMT_YUYV},
        // Raw where Motion-JPEG is no faster; the highest rate a size has.
        Camera{"RawAsFast", "MJPG:800x600@30,YUYV:800x600@15/30", {800, 600}, V4L2_PIX_FMT_YUYV},
        Camera{"OneMode", "BGR3:320x240@30", {320, 240}, V4L2_PIX_FMT_BGR24},
        // A mode its camera won't be set up in: the camera as OpenCV opens it by itself.
        Camera{"RefusesTheBestMode", "YUYV:640x480@30,MJPG:640x480@30,MJPG:1280x720@30", {640, 480},
               V4L2_PIX_FMT_YUYV, {"FAKE_CAMERA_REFUSE", "MJPG:1280x720"}},
        // A new format and size reset the rate to the size's first, and slower, one (as OpenCV,
        // setting the camera up again, asks for the slow rate of the mode it opened it in).
        Camera{"SlowerRateListedFirst", "YUYV:640x480@15,MJPG:640x480@15,MJPG:1280x720@15/30", {1280, 720},
               V4L2_PIX_FMT_MJPEG},
        Camera{"MjpegWithAnEmptyFrameEvery60", "MJPG:640x480@30", {640, 480}, V4L2_PIX_FMT_MJPEG,
               {"FAKE_CAMERA_EMPTY_EVERY", "60"}},
        Camera{"MjpegWithAFrameCutShortEvery30", "MJPG:640x480@30", {640, 480}, V4L2_PIX_FMT_MJPEG,
               {"FAKE_CAMERA_CUT_EVERY", "30"}}),
    [](const testing::TestParamInfo<Camera>& info) { return std::string(info.param.name); });

}  // namespace
