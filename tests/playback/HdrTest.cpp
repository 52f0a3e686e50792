// HDR streams (PQ and HLG) shown on an ordinary screen, against a display-referred conversion
// made apart from the player (libavfilter's zscale, tests/support/streams/ScreenReference.h)
// from the same decoded samples; an SDR stream stays as it is.
#include "playback/DecoderTap.h"
#include "playback/PlayVideo.h"
#include "playback/ToneMapping.h"

#include "support/TestVideo.h"
#include "support/VideoWindow.h"
#include "support/streams/ScreenReference.h"
#include "support/streams/TestStreams.h"

#include <QImage>

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

enum class Transfer { Pq, Hlg, Sdr };

// A stream's R'G'B' code values (0 to 1) of linear light in its primaries, given in reference
// whites (203 nits); HLG's for a 1000-nit display.
cv::Vec3d Coded(cv::Vec3d light, Transfer transfer)
{
    cv::Vec3d code;
    if (transfer == Transfer::Hlg) {
        // Scene light, through the inverse of HLG's system gamma (1.2 at 1000 nits), ITU-R BT.2100.
        light *= 203.0 / 1000;
        const double displayLuminance = std::max(0.2627 * light[0] + 0.6780 * light[1] + 0.0593 * light[2], 1e-9);
        light *= std::pow(displayLuminance, (1 - 1.2) / 1.2);
    }
    for (int i = 0; i < 3; ++i) {
        const double l = std::max(light[i], 0.0);
        if (transfer == Transfer::Pq) {
            const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
            const double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
            const double y = std::pow(l * 203 / 10000, m1);
            code[i] = std::pow((c1 + c2 * y) / (1 + c3 * y), m2);
        } else if (transfer == Transfer::Hlg) {
            const double a = 0.17883277, b = 1 - 4 * a, c = 0.5 - a * std::log(4 * a);
            code[i] = l <= 1.0 / 12 ? std::sqrt(3 * l) : a * std::log(12 * l - b) + c;
        } else {
            code[i] = l < 0.018 ? 4.5 * l : 1.099 * std::pow(l, 0.45) - 0.099;
        }
    }
    return code;
}

// Writes a 10-bit lossless stream of the picture, given as R'G'B' code values (0 to 1), in
// BT.2020 with the transfer's flags, or BT.709 for SDR; content light level as given.
std::string Write(TestVideoFolder& folder, Transfer transfer, int width, int height,
                  const std::function<cv::Vec3d(int x, int y)>& codes, int contentLightNits = 0,
                  AVRational sampleAspect = {1, 1})
{
    Encoding encoding;
    encoding.sampleAspect = sampleAspect;
    encoding.encoder = "libx265";
    encoding.pixelFormat = AV_PIX_FMT_YUV420P10LE;
    encoding.width = width, encoding.height = height;
    std::string x265 = "log-level=none:lossless=1:pools=1:frame-threads=1:bframes=0";
    if (contentLightNits > 0)
        x265 += ":max-cll=" + std::to_string(contentLightNits) + ",400";
    encoding.encoderOptions = {{"preset", "veryfast"}, {"x265-params", x265}};
    if (transfer != Transfer::Sdr) {
        encoding.matrix = AVCOL_SPC_BT2020_NCL, encoding.primaries = AVCOL_PRI_BT2020;
        encoding.transfer = transfer == Transfer::Pq ? AVCOL_TRC_SMPTE2084 : AVCOL_TRC_ARIB_STD_B67;
    }
    const double kr = transfer == Transfer::Sdr ? bt709Kr : 0.2627, kb = transfer == Transfer::Sdr ? bt709Kb : 0.0593;
    const std::string path = folder.PathOf("stream" + std::to_string(contentLightNits) + ".mkv");
    WriteVideo(path, encoding, 2, [&](int x, int y, int) {
        const cv::Vec3d code = codes(x, y) * 255;
        return ToYCbCr({code[0], code[1], code[2]}, kr, kb, false);
    });
    return path;
}

// The picture "video" shows, as BGR floats.
cv::Mat Shown()
{
    const QImage image = videowindow::ShownPicture().convertToFormat(QImage::Format_RGB888);
    cv::Mat rgb(image.height(), image.width(), CV_8UC3, const_cast<uchar*>(image.constBits()), std::size_t(image.bytesPerLine()));
    cv::Mat shown;
    cv::cvtColor(rgb, shown, cv::COLOR_RGB2BGR);
    shown.convertTo(shown, CV_32FC3);
    return shown;
}

// The stream's first frame mapped in this process, as a reader maps it, as BGR floats: what the
// processor this runs on makes of it (the HDR rows run again on one without AVX2).
cv::Mat MappedHere(const std::string& path)
{
    TapFile(StreamColour{AVCOL_SPC_BT2020_NCL, false});
    cv::VideoCapture capture(path, cv::CAP_FFMPEG);
    cv::Mat mapped;
    if (capture.grab())
        if (const YcbcrPlanes* frame = HdrPicture())
            ToneMapper(DecodedLight()).Map(*frame, 1, mapped);
    TapFile(std::nullopt);
    mapped.convertTo(mapped, CV_32FC3);
    return mapped;
}

// A grey ramp across the picture, from black to reference white, in equal steps of the stream's
// code; each column of what is shown against the reference's, averaged down the column (the
// dither's pattern averages out).
struct Ramp {
    const char* name;
    Transfer transfer;
    double meanOff, mostOff;  // levels from the reference, on average and in any column
    double largestStep;       // between neighbouring columns
    int stepsOf3;             // steps of 3 levels or more
    bool mappedHere = false;  // not played but mapped in this process (MappedHere)
};

void PrintTo(const Ramp& ramp, std::ostream* out)
{
    *out << ramp.name;
}

class HdrRamps : public testing::TestWithParam<Ramp> {
protected:
    TestVideoFolder folder;
};

TEST_P(HdrRamps, EachColumnAsTheReference)
{
    const Ramp ramp = GetParam();
    constexpr int width = 1920, height = 64;
    const double white = Coded(cv::Vec3d::all(1), ramp.transfer)[0];
    const std::string path = Write(folder, ramp.transfer, width, height, [&](int x, int) {
        return cv::Vec3d::all(white * x / (width - 1));
    });

    if (!ramp.mappedHere)
        PlayVideo(path);

    const cv::Mat shown = ramp.mappedHere ? MappedHere(path) : Shown(), reference = ScreenReference(path);
    ASSERT_EQ(shown.size(), reference.size());
    cv::Mat shownColumns, referenceColumns;
    cv::reduce(shown, shownColumns, 0, cv::REDUCE_AVG);
    cv::reduce(cv::max(cv::min(reference, 255.0), 0.0), referenceColumns, 0, cv::REDUCE_AVG);
    double totalOff = 0, mostOff = 0, largestStep = 0;
    int stepsOf3 = 0;
    for (int x = 0; x < width; ++x) {
        const double level = shownColumns.at<cv::Vec3f>(0, x)[1], expected = referenceColumns.at<cv::Vec3f>(0, x)[1];
        totalOff += std::abs(level - expected);
        mostOff = std::max(mostOff, std::abs(level - expected));
        if (x > 0) {
            const double step = std::abs(level - shownColumns.at<cv::Vec3f>(0, x - 1)[1]);
            largestStep = std::max(largestStep, step);
            stepsOf3 += step >= 3;
        }
    }
    std::printf("%s: %.2f levels off on average, %.2f at most; largest step %.2f, %d of 3 or more\n", ramp.name,
                totalOff / width, mostOff, largestStep, stepsOf3);
    EXPECT_LE(totalOff / width, ramp.meanOff);
    EXPECT_LE(mostOff, ramp.mostOff);
    EXPECT_LE(largestStep, ramp.largestStep);
    EXPECT_LE(stepsOf3, ramp.stepsOf3);
}

INSTANTIATE_TEST_SUITE_P(Transfers, HdrRamps,
                         testing::Values(Ramp{"Pq", Transfer::Pq, 4, 10, 3, 5}, Ramp{"Hlg", Transfer::Hlg, 4, 10, 3, 5},
                                         Ramp{"Sdr", Transfer::Sdr, 1, 1, 1, 0},
                                         Ramp{"PqMappedHere", Transfer::Pq, 4, 10, 3, 5, true},
                                         Ramp{"HlgMappedHere", Transfer::Hlg, 4, 10, 3, 5, true}),
                         [](const testing::TestParamInfo<Ramp>& info) { return std::string(info.param.name); });

// Bands of colour: white at reference white, greys, and BT.709's primaries at half and at full
// reference white and its yellow, each against the reference; and BT.2020's green primary, which
// lies outside BT.709. Pixels twice as wide as high are widened before they are mapped. (HLG's
// system gamma acts on luminance: taken channel by channel, as zscale's approximate curves take it,
// the saturated colours at reference white come out faded or overblown.)
struct Patches {
    const char* name;
    Transfer transfer;
    int pixelWidth;  // against its height
};

void PrintTo(const Patches& patches, std::ostream* out)
{
    *out << patches.name;
}

class HdrPatches : public testing::TestWithParam<Patches> {
protected:
    TestVideoFolder folder;
};

TEST_P(HdrPatches, AsTheReferenceAndOutsideBt709NotClipped)
{
    const Transfer transfer = GetParam().transfer;
    const int widened = GetParam().pixelWidth;
    // Linear BT.709 light, in reference whites.
    const cv::Matx33d bt709To2020(0.6274, 0.3293, 0.0433, 0.0691, 0.9195, 0.0114, 0.0164, 0.0880, 0.8956);
    const std::vector<cv::Vec3d> patches{{1, 1, 1},       {0.5, 0.5, 0.5}, {0.2, 0.2, 0.2}, {0.05, 0.05, 0.05},
                                         {0.5, 0, 0},     {0, 0.5, 0},     {0, 0, 0.5},     {1, 0, 0},
                                         {0, 1, 0},       {0, 0, 1},       {1, 1, 0},
                                         bt709To2020.inv() * cv::Vec3d(0, 0.5, 0)};
    constexpr int width = 1280, height = 64;
    const int band = width / int(patches.size());
    const std::string path = Write(
        folder, transfer, width, height,
        [&](int x, int) {
            return Coded(bt709To2020 * patches[std::size_t(std::min<int>(x / band, int(patches.size()) - 1))], transfer);
        },
        0, {widened, 1});

    PlayVideo(path);

    const cv::Mat shown = Shown(), reference = cv::max(cv::min(ScreenReference(path), 255.0), 0.0);
    ASSERT_EQ(shown.size(), cv::Size(reference.cols * widened, reference.rows));
    for (std::size_t i = 0; i < patches.size(); ++i) {
        const cv::Rect middle(int(i) * band + band / 2 - 8, height / 2 - 8, 16, 16);
        const cv::Rect widenedMiddle(middle.x * widened, middle.y, middle.width * widened, middle.height);
        const cv::Scalar seen = cv::mean(shown(widenedMiddle)), expected = cv::mean(reference(middle));
        std::printf("patch %zu: reference %.0f,%.0f,%.0f shown %.0f,%.0f,%.0f\n", i, expected[2], expected[1],
                    expected[0], seen[2], seen[1], seen[0]);
        if (i + 1 < patches.size()) {
            EXPECT_LE(cv::norm(seen - expected, cv::NORM_INF), 4) << "patch " << i;
            continue;
        }
        // Desaturated towards its own luminance, not clipped to BT.709's green as the reference is.
        EXPECT_GT(seen[1], 150) << "green";
        EXPECT_GT(seen[0], 50) << "blue";
        EXPECT_LT(seen[2], 10) << "red";
    }
}

INSTANTIATE_TEST_SUITE_P(Transfers, HdrPatches,
                         testing::Values(Patches{"Pq", Transfer::Pq, 1}, Patches{"Hlg", Transfer::Hlg, 1},
                                         Patches{"PqWidePixels", Transfer::Pq, 2}),
                         [](const testing::TestParamInfo<Patches>& info) { return std::string(info.param.name); });

// A highlight of 1000 nits: below the screen's white where the stream says its brightest is
// 4000 nits, at white where it says 1000; the roll-off follows the stream's own peak.
TEST(HdrHighlight, RollsOffToTheStreamsOwnPeak)
{
    TestVideoFolder folder;
    for (const int peak : {4000, 1000}) {
        const std::string path = Write(
            folder, Transfer::Pq, 640, 64, [](int, int) { return Coded(cv::Vec3d::all(1000.0 / 203), Transfer::Pq); },
            peak);

        PlayVideo(path);

        const cv::Mat shown = Shown();
        double lowest = 0, highest = 0;
        cv::minMaxLoc(shown.reshape(1), &lowest, &highest);
        const double mean = cv::mean(shown.reshape(1))[0];
        std::printf("1000 nits in a stream of %d: mean %.2f, lowest %.0f\n", peak, mean, lowest);
        if (peak == 1000)
            EXPECT_EQ(lowest, 255) << "a highlight at the stream's peak is the screen's white";
        else
            EXPECT_LT(mean, 255) << "a highlight below the stream's peak is below the screen's white";
    }
}

}  // namespace
