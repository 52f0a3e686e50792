#include "playback/PlayVideo.h"

#include "support/TestVideo.h"
#include "support/VideoWindow.h"
#include "support/streams/TestStreams.h"

#include <QImage>

#include <gtest/gtest.h>

#include <string>

namespace {

// A portrait picture, as a phone records it: dark, with a bright block in its top-left third.
constexpr int uprightWidth = 96;
constexpr int uprightHeight = 160;

YCbCr Grey(bool bright)
{
    return {bright ? 235.0 : 16.0, 128, 128};
}

// Which corner of the picture is brightest.
std::string BrightestCorner(const QImage& picture)
{
    const int w = picture.width(), h = picture.height();
    const struct {
        const char* name;
        int x, y;
    } corners[] = {{"top left", w / 6, h / 6}, {"top right", w - w / 6, h / 6},
                   {"bottom left", w / 6, h - h / 6}, {"bottom right", w - w / 6, h - h / 6}};
    std::string brightest;
    int most = -1;
    for (const auto& corner : corners)
        if (qGray(picture.pixel(corner.x, corner.y)) > most) {
            most = qGray(picture.pixel(corner.x, corner.y));
            brightest = corner.name;
        }
    return brightest;
}

// How the file's display matrix says its frames are to be turned, clockwise.
class TurnedVideo : public testing::TestWithParam<int> {
protected:
    TestVideoFolder folder;
};

TEST_P(TurnedVideo, ShowsThePictureUpright)
{
    const int clockwise = GetParam();
    Encoding encoding;
    // Stored as the camera saw it: the upright picture turned back.
    const bool sideways = clockwise % 180 != 0;
    encoding.width = sideways ? uprightHeight : uprightWidth;
    encoding.height = sideways ? uprightWidth : uprightHeight;
    encoding.displayRotationClockwise = clockwise;
    const std::string path = folder.PathOf("turned.mp4");
    WriteVideo(path, encoding, 3, [&](int x, int y, int) {
        // Where this stored pixel lands in the upright picture.
        const int w = encoding.width, h = encoding.height;
        int uprightX = x, uprightY = y;
        if (clockwise == 90)
            uprightX = h - 1 - y, uprightY = x;
        else if (clockwise == 180)
            uprightX = w - 1 - x, uprightY = h - 1 - y;
        else if (clockwise == 270)
            uprightX = y, uprightY = w - 1 - x;
        return Grey(uprightX < uprightWidth / 3 && uprightY < uprightHeight / 3);
    });

    PlayVideo(path);

    const QImage shown = videowindow::ShownPicture();
    ASSERT_FALSE(shown.isNull());
    EXPECT_EQ(shown.width(), uprightWidth);
    EXPECT_EQ(shown.height(), uprightHeight);
    EXPECT_EQ(BrightestCorner(shown), "top left");
}

INSTANTIATE_TEST_SUITE_P(Degrees, TurnedVideo, testing::Values(0, 90, 180, 270));

// Pixels that are not square: the window shows the picture at its display size, the height kept.
struct Aspect {
    int numerator, denominator;
    int shownWidth;
};

class PixelAspect : public testing::TestWithParam<Aspect> {
protected:
    TestVideoFolder folder;
};

TEST_P(PixelAspect, WindowTakesTheDisplaySize)
{
    const Aspect aspect = GetParam();
    Encoding encoding;
    encoding.width = 720;
    encoding.height = 576;
    encoding.sampleAspect = {aspect.numerator, aspect.denominator};
    const std::string path = folder.PathOf("pixels.mp4");
    // A bright left half: scaling must keep it a half.
    WriteVideo(path, encoding, 2, [](int x, int, int) { return Grey(x < 360); });

    PlayVideo(path);

    const QImage shown = videowindow::ShownPicture();
    ASSERT_FALSE(shown.isNull());
    EXPECT_NEAR(shown.width(), aspect.shownWidth, 2);
    EXPECT_EQ(shown.height(), 576);
    EXPECT_GT(qGray(shown.pixel(shown.width() / 2 - 8, 288)), 128);
    EXPECT_LT(qGray(shown.pixel(shown.width() / 2 + 8, 288)), 128);
}

std::string PrintAspect(const testing::TestParamInfo<Aspect>& info)
{
    return std::to_string(info.param.numerator) + "to" + std::to_string(info.param.denominator);
}

INSTANTIATE_TEST_SUITE_P(Ratios, PixelAspect,
                         testing::Values(Aspect{64, 45, 1024},  // 16:9 broadcast and DVD
                                         Aspect{16, 15, 768},   // 4:3 broadcast and DVD
                                         Aspect{8, 9, 640},     // pixels taller than wide
                                         Aspect{1, 1, 720},     // square: kept as stored
                                         Aspect{100, 1, 720}),  // a damaged header's: ignored
                         PrintAspect);

}  // namespace
