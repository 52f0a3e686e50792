// Pictures against the screen, on a 1920x1200 virtual X screen of each test's own (see
// CMakeLists.txt), played as the program plays them: through the module, with the program's
// view of its screens.
#include "shell/PlaybackModule.h"

#include "support/TestVideo.h"
#include "support/VideoWindow.h"
#include "support/fake_camera/FakeCamera.h"
#include "support/fake_camera/WhenPictureShown.h"
#include "support/streams/TestStreams.h"

#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace {

struct Fit {
    const char* name;
    QSize picture;  // a camera's: the mode it is to stream in
    QSize shown;
    const char* cameraModes = nullptr;  // camera 0's, FAKE_CAMERA_MODES; null for a file
    QPoint windowAt{-1, -1};  // where a window already on screen lies, if one does
};

void PrintTo(const Fit& fit, std::ostream* out)
{
    *out << fit.name;
}

const QColor cameraColour(0xff, 0x80, 0x00);

// Coloured corners on grey, and in the middle a patch of one-pixel columns, black and white.
YCbCr Pattern(int x, int y, QSize size)
{
    const auto colour = [](double r, double g, double b) { return ToYCbCr({r, g, b}, bt601Kr, bt601Kb, false); };
    const int w = size.width(), h = size.height();
    const bool left = x < w / 8, right = x >= w - w / 8, top = y < h / 8, bottom = y >= h - h / 8;
    if (top && left)
        return colour(255, 0, 0);
    if (top && right)
        return colour(0, 255, 0);
    if (bottom && left)
        return colour(0, 0, 255);
    if (bottom && right)
        return colour(255, 255, 255);
    if (std::abs(x - w / 2) < w / 8 && std::abs(y - h / 2) < h / 8)
        return colour(x % 2 ? 255 : 0, x % 2 ? 255 : 0, x % 2 ? 255 : 0);
    return colour(128, 128, 128);
}

class ScreenFit : public testing::TestWithParam<Fit> {
protected:
    std::string Write(QSize size)
    {
        Encoding encoding;
        encoding.width = size.width();
        encoding.height = size.height();
        encoding.matrix = AVCOL_SPC_SMPTE170M;
        encoding.encoderOptions = {{"preset", "ultrafast"}, {"qp", "0"}};  // lossless
        const std::string path = folder.PathOf(std::to_string(size.width()) + ".mp4");
        WriteVideo(path, encoding, 2, [size](int x, int y, int) { return Pattern(x, y, size); });
        return path;
    }

    TestVideoFolder folder;
};

TEST_P(ScreenFit, WholePictureOnTheScreen)
{
    const Fit fit = GetParam();
    if (fit.windowAt.x() >= 0) {
        playback_module::PlayVideo(Write({320, 240}));
        videowindow::Find()->move(fit.windowAt);
    }
    QImage shown;
    QRect window;
    std::optional<fakecamera::Stream> stream;  // read while the camera's reader is there
    const auto look = [&] {
        // An X window takes its new size once the server has answered: wait for that (what
        // if it never does is checked below).
        shown = videowindow::ShownPicture(fit.shown);
        window = videowindow::Find()->frameGeometry();
    };
    if (fit.cameraModes) {
        setenv("FAKE_CAMERA_MODES", fit.cameraModes, 1);
        setenv("FAKE_CAMERA_COLOUR", "FF8000", 1);
        WhenPictureShown close(cameraColour, [&](std::optional<QColor>) {
            look();
            stream = fakecamera::LastStream();
            videowindow::Find()->close();
        });
        playback_module::PlayVideo(std::nullopt);
    } else {
        playback_module::PlayVideo(Write(fit.picture));
        look();
    }

    ASSERT_FALSE(shown.isNull());
    EXPECT_EQ(shown.size(), fit.shown);
    EXPECT_TRUE(QGuiApplication::primaryScreen()->geometry().contains(window)) << "window at " << window.x()
        << "," << window.y() << " size " << window.width() << "x" << window.height();
    const int w = shown.width(), h = shown.height();
    const auto at = [&](double x, double y) { return QColor(shown.pixel(int(x * w), int(y * h))); };
    if (fit.cameraModes) {
        ASSERT_TRUE(stream) << "the camera never streamed";
        EXPECT_EQ(QSize(int(stream->width), int(stream->height)), fit.picture) << "the camera's mode";
        EXPECT_TRUE(IsNear(at(0.1, 0.1), Qt::white));
        for (const auto& [x, y] : {std::pair{0.9, 0.1}, {0.1, 0.9}, {0.9, 0.9}})
            EXPECT_TRUE(IsNear(at(x, y), cameraColour));
        return;
    }
    EXPECT_TRUE(IsNear(at(0.02, 0.02), Qt::red));
    EXPECT_TRUE(IsNear(at(0.98, 0.02), Qt::green));
    EXPECT_TRUE(IsNear(at(0.02, 0.98), Qt::blue));
    EXPECT_TRUE(IsNear(at(0.98, 0.98), Qt::white));
    // The columns: each its own when shown as they are; averaged to grey, not aliased into
    // stripes or a solid colour, when scaled down.
    const int x = w / 2, y = h / 2;
    if (fit.shown == fit.picture) {
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(qGray(shown.pixel(x + i, y)) > 128, (x + i) % 2 == 1) << "column " << x + i;
        return;
    }
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(qGray(shown.pixel(x + i, y)), 128, 40) << "column " << x + i;
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, ScreenFit,
    testing::Values(Fit{"PhonePortrait", {1080, 1920}, {675, 1200}},
                    Fit{"Uhd", {3840, 2160}, {1920, 1080}},
                    Fit{"UhdInWindowNearTheEdge", {3840, 2160}, {1920, 1080}, nullptr, {1500, 900}},
                    Fit{"CameraLargerThanTheScreen", {2560, 1600}, {1920, 1200}, "BGR3:2560x1600@30"},
                    // Its 1080p mode fills the screen: 4K would only be scaled down to it.
                    Fit{"UhdWebcam", {1920, 1080}, {1920, 1080},
                        "MJPG:1280x720@30,MJPG:1920x1080@30,MJPG:3840x2160@30,YUYV:640x480@30"},
                    Fit{"Small", {320, 240}, {320, 240}},
                    Fit{"ScreenSized", {1920, 1200}, {1920, 1200}}),
    [](const testing::TestParamInfo<Fit>& info) { return std::string(info.param.name); });

}  // namespace
