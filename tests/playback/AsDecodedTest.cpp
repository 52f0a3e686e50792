// What the "video" window shows against a careful decode of the same stream (libavcodec and
// libswscale, as the stream describes itself), on lossless streams made here.
#include "playback/PlayVideo.h"

#include "support/TestVideo.h"
#include "support/VideoWindow.h"
#include "support/streams/CarefulDecode.h"
#include "support/streams/TestStreams.h"

#include <QImage>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Case {
    const char* name;
    std::function<void(Encoding&)> describe;  // what the stream is and says of itself
    double kr, kb;                            // the luma weights its colours are made with
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

// Saturated primaries, a skin tone and a grey scale, in bands across the picture.
const std::vector<Rgb> bands{{255, 0, 0},    {0, 255, 0},    {0, 0, 255},    {224, 172, 140}, {0, 0, 0},
                             {64, 64, 64},   {128, 128, 128}, {192, 192, 192}, {255, 255, 255}};

// The mean red, green and blue of the 8x8 block at (x, y).
std::array<double, 3> MeanAround(const QImage& image, int x, int y)
{
    std::array<double, 3> sum{};
    for (int dy = -4; dy < 4; ++dy)
        for (int dx = -4; dx < 4; ++dx) {
            const QRgb pixel = image.pixel(x + dx, y + dy);
            sum[0] += qRed(pixel), sum[1] += qGreen(pixel), sum[2] += qBlue(pixel);
        }
    return {sum[0] / 64, sum[1] / 64, sum[2] / 64};
}

std::array<double, 3> MeanAround(const cv::Mat& bgr, int x, int y)
{
    const cv::Scalar mean = cv::mean(bgr(cv::Rect(x - 4, y - 4, 8, 8)));
    return {mean[2], mean[1], mean[0]};
}

std::string Rgb(const std::array<double, 3>& rgb)
{
    char text[32];
    std::snprintf(text, sizeof text, " %.0f,%.0f,%.0f", rgb[0], rgb[1], rgb[2]);
    return text;
}

class AsDecoded : public testing::TestWithParam<Case> {
protected:
    TestVideoFolder folder;
};

TEST_P(AsDecoded, ColoursAsACarefulDecodeShowsThem)
{
    const Case& c = GetParam();
    Encoding encoding;
    encoding.encoderOptions = {{"preset", "veryfast"}, {"qp", "0"}};  // lossless: only the conversion differs
    c.describe(encoding);
    const bool fullRange = encoding.range == AVCOL_RANGE_JPEG;
    const int bandWidth = encoding.width / int(bands.size());
    const std::string path = folder.PathOf(std::string(c.name) + (encoding.encoder == "libx265" ? ".mkv" : ".mp4"));
    WriteVideo(path, encoding, 3, [&](int x, int, int) {
        return ToYCbCr(bands[std::min<std::size_t>(x / bandWidth, bands.size() - 1)], c.kr, c.kb, fullRange);
    });
    cv::Mat reference;
    DecodeCarefully(path, [&](const ReferenceFrame& frame) { reference = frame.shown; });

    PlayVideo(path);

    const QImage shown = videowindow::ShownPicture();
    ASSERT_EQ(shown.size(), QSize(reference.cols, reference.rows));
    std::string oursText, referenceText;
    double worst = 0;
    for (std::size_t band = 0; band < bands.size(); ++band) {
        const int x = int(band) * bandWidth + bandWidth / 2, y = encoding.height / 2;
        const auto ours = MeanAround(shown, x, y), theirs = MeanAround(reference, x, y);
        for (int channel = 0; channel < 3; ++channel) {
            EXPECT_NEAR(ours[channel], theirs[channel], 3) << "band " << band << ", channel " << "RGB"[channel];
            worst = std::max(worst, std::abs(ours[channel] - theirs[channel]));
        }
        oursText += Rgb(ours), referenceText += Rgb(theirs);
    }
    // The row of docs/as-decoded.md.
    std::printf("%s |%s |%s | largest difference %.0f\n", c.name, referenceText.c_str(), oursText.c_str(), worst);
}

void Sd601(Encoding& e)
{
    e.width = 720, e.height = 576;
    e.matrix = AVCOL_SPC_SMPTE170M, e.primaries = AVCOL_PRI_SMPTE170M, e.transfer = AVCOL_TRC_SMPTE170M;
}

void FullRange601(Encoding& e)
{
    e.width = 640, e.height = 360;
    e.matrix = AVCOL_SPC_SMPTE170M, e.primaries = AVCOL_PRI_SMPTE170M, e.transfer = AVCOL_TRC_SMPTE170M;
    e.range = AVCOL_RANGE_JPEG;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, AsDecoded,
    testing::Values(
        Case{"Bt709Hd", [](Encoding& e) { e.width = 1280, e.height = 720; }, bt709Kr, bt709Kb},
        Case{"Bt601Sd", Sd601, bt601Kr, bt601Kb},
        Case{"FullRange8Bit", FullRange601, bt601Kr, bt601Kb},
        Case{"FullRange10Bit",
             [](Encoding& e) {
                 FullRange601(e);
                 e.pixelFormat = AV_PIX_FMT_YUV420P10LE;
             },
             bt601Kr, bt601Kb},
        Case{"FullRangeHevc",
             [](Encoding& e) {
                 FullRange601(e);
                 e.encoder = "libx265";
                 e.encoderOptions = {{"preset", "veryfast"},
                                     {"x265-params", "log-level=none:lossless=1:pools=1:frame-threads=1"}};
             },
             bt601Kr, bt601Kb},
        Case{"UnflaggedHd",
             [](Encoding& e) {
                 e.width = 1280, e.height = 720;
                 e.matrix = AVCOL_SPC_UNSPECIFIED, e.primaries = AVCOL_PRI_UNSPECIFIED;
                 e.transfer = AVCOL_TRC_UNSPECIFIED;
             },
             bt709Kr, bt709Kb},
        Case{"Bt2020",
             [](Encoding& e) {
                 e.width = 1280, e.height = 720;
                 e.pixelFormat = AV_PIX_FMT_YUV420P10LE;
                 e.matrix = AVCOL_SPC_BT2020_NCL, e.primaries = AVCOL_PRI_BT2020;
                 e.transfer = AVCOL_TRC_BT2020_10;
             },
             0.2627, 0.0593}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
