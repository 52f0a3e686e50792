// Pictures on high-DPI screens, each row on a virtual X screen of its own at the resolution it
// names (see CMakeLists.txt), played as the program plays them: through the module, with the
// program's view of its screens.
#include "shell/PlaybackModule.h"

#include "support/TestVideo.h"
#include "support/VideoWindow.h"
#include "support/streams/TestStreams.h"

#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct Screen {
    const char* name;
    double pixelRatio;  // the screen's, as Qt has it
    QSize clip;
    QSize shown;        // the picture as painted, in the screen's pixels
    bool pixelForPixel;
};

void PrintTo(const Screen& screen, std::ostream* out)
{
    *out << screen.name;
}

class HighDpi : public testing::TestWithParam<Screen> {
protected:
    TestVideoFolder folder;
};

// The mean difference between neighbouring pixels across one row of the picture's left half,
// where the clip has one-pixel columns, black and white: 255 shown as they are, 0 averaged flat.
double ColumnContrast(const QImage& picture)
{
    const int y = picture.height() / 2, from = picture.width() / 8;
    double sum = 0;
    for (int x = from; x < from + 64; ++x)
        sum += std::abs(qGray(picture.pixel(x + 1, y)) - qGray(picture.pixel(x, y)));
    return sum / 64;
}

TEST_P(HighDpi, EveryPixelTheScreenCanShow)
{
    const Screen screen = GetParam();
    ASSERT_EQ(QGuiApplication::primaryScreen()->devicePixelRatio(), screen.pixelRatio)
        << "the virtual screen is not the one this row is for";
    Encoding encoding;
    encoding.width = screen.clip.width(), encoding.height = screen.clip.height();
    encoding.encoderOptions = {{"preset", "ultrafast"}, {"qp", "0"}};  // lossless
    const std::string path = folder.PathOf("columns.mp4");
    WriteVideo(path, encoding, 2, [&](int x, int, int) {
        return YCbCr{x < encoding.width / 2 ? (x % 2 ? 235.0 : 16.0) : 126.0, 128, 128};
    });

    playback_module::PlayVideo(path);

    // An X window takes its new size once the server has answered.
    const QImage shown = videowindow::ShownPicture(screen.shown);
    const QRect window = videowindow::Find()->frameGeometry();
    EXPECT_EQ(shown.size(), screen.shown);
    EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(window))
        << "window at " << window.x() << "," << window.y() << " size " << window.width() << "x" << window.height();
    const double contrast = ColumnContrast(shown);
    RecordProperty("column_contrast", int(contrast));
    EXPECT_GE(contrast, screen.pixelForPixel ? 200 : 64) << "the columns are shown with a contrast of " << contrast;
}

INSTANTIATE_TEST_SUITE_P(
    Screens, HighDpi,
    testing::Values(Screen{"UhdOn3840x2400At200", 2, {3840, 2160}, {3840, 2160}, true},
                    Screen{"HdOn2560x1600At200", 2, {1920, 1080}, {2560, 1440}, false},
                    Screen{"HdOn1920x1200At100", 1, {1920, 1080}, {1920, 1080}, true}),
    [](const testing::TestParamInfo<Screen>& info) { return std::string(info.param.name); });

}  // namespace
