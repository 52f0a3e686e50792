// HDR streams (PQ and HLG) shown on an ordinary screen, against a careful reference conversion
// of the light each patch was made with; an SDR stream with the same patches stays as it is.
#include "playback/PlayVideo.h"

#include "support/TestVideo.h"
#include "support/VideoWindow.h"
#include "support/streams/TestStreams.h"

#include <QImage>

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

namespace {

// The patches, as linear BT.709 light in reference whites (203 nits): white, red and the
// BT.2020 green primary (outside BT.709) at reference white, and an orange three times as
// bright, above it.
const cv::Matx33d bt709To2020(0.6274, 0.3293, 0.0433, 0.0691, 0.9195, 0.0114, 0.0164, 0.0880, 0.8956);
const std::vector<cv::Vec3d> patches{
    {1, 1, 1}, {1, 0, 0}, bt709To2020.inv() * cv::Vec3d(0, 1, 0), {3, 1.5, 0.3}};

constexpr double referenceWhite = 203, peak = 1000, knee = 0.95;

double Bt709Code(double linear)
{
    return linear < 0.018 ? 4.5 * linear : 1.099 * std::pow(linear, 0.45) - 0.099;
}

double PqCode(double nits)
{
    const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
    const double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
    const double y = std::pow(std::max(nits, 0.0) / 10000, m1);
    return std::pow((c1 + c2 * y) / (1 + c3 * y), m2);
}

double HlgCode(double scene)
{
    const double a = 0.17883277, b = 1 - 4 * a, c = 0.5 - a * std::log(4 * a);
    return scene <= 1.0 / 12 ? std::sqrt(3 * scene) : a * std::log(12 * scene - b) + c;
}

enum class Transfer { Pq, Hlg, Sdr };

// The stream's R'G'B' code values (0 to 1) for a patch's light.
cv::Vec3d Coded(cv::Vec3d light, Transfer transfer)
{
    if (transfer == Transfer::Sdr)
        return {Bt709Code(std::clamp(light[0], 0.0, 1.0)), Bt709Code(std::clamp(light[1], 0.0, 1.0)),
                Bt709Code(std::clamp(light[2], 0.0, 1.0))};
    const cv::Vec3d nits = bt709To2020 * light * referenceWhite;
    cv::Vec3d code;
    if (transfer == Transfer::Pq) {
        for (int i = 0; i < 3; ++i)
            code[i] = PqCode(nits[i]);
        return code;
    }
    // HLG's inverse OOTF (ITU-R BT.2100) for a 1000-nit display: display light to scene light.
    const double gamma = 1.2, displayLuminance = 0.2627 * nits[0] + 0.6780 * nits[1] + 0.0593 * nits[2];
    const double sceneLuminance = std::pow(displayLuminance / peak, 1 / gamma);
    for (int i = 0; i < 3; ++i)
        code[i] = HlgCode(std::max(nits[i], 0.0) / peak * std::pow(sceneLuminance, 1 - gamma));
    return code;
}

// The reference: what the patch's light is to look like on an SDR screen, in double precision.
// Colours outside BT.709 are desaturated towards their luminance until they fit; above 95% of
// reference white the largest channel follows the extended Reinhard curve that reaches SDR
// white at the peak, the others in proportion; then BT.709's transfer.
cv::Vec3d Reference(cv::Vec3d light)
{
    const double lowest = std::min({light[0], light[1], light[2]});
    if (lowest < 0) {
        const double luminance = 0.2126 * light[0] + 0.7152 * light[1] + 0.0722 * light[2];
        light = cv::Vec3d::all(luminance) + luminance / (luminance - lowest) * (light - cv::Vec3d::all(luminance));
    }
    const double highest = std::max({light[0], light[1], light[2]});
    if (highest > knee) {
        const double u = (highest - knee) / (1 - knee), white = (peak / referenceWhite - knee) / (1 - knee);
        light *= (knee + (1 - knee) * u * (1 + u / (white * white)) / (1 + u)) / highest;
    }
    return {255 * Bt709Code(light[0]), 255 * Bt709Code(light[1]), 255 * Bt709Code(light[2])};
}

struct Stream {
    const char* name;
    Transfer transfer;
};

void PrintTo(const Stream& stream, std::ostream* out)
{
    *out << stream.name;
}

class HdrOnAnSdrScreen : public testing::TestWithParam<Stream> {
protected:
    TestVideoFolder folder;
};

TEST_P(HdrOnAnSdrScreen, EachPatchAsTheReferenceShowsIt)
{
    const Transfer transfer = GetParam().transfer;
    Encoding encoding;
    encoding.encoder = "libx265";
    encoding.pixelFormat = AV_PIX_FMT_YUV420P10LE;
    encoding.width = 1280, encoding.height = 720;
    encoding.encoderOptions = {{"preset", "veryfast"},
                               {"x265-params", "log-level=none:lossless=1:pools=1:frame-threads=1"}};
    if (transfer != Transfer::Sdr) {
        encoding.matrix = AVCOL_SPC_BT2020_NCL, encoding.primaries = AVCOL_PRI_BT2020;
        encoding.transfer = transfer == Transfer::Pq ? AVCOL_TRC_SMPTE2084 : AVCOL_TRC_ARIB_STD_B67;
    }
    const double kr = transfer == Transfer::Sdr ? bt709Kr : 0.2627, kb = transfer == Transfer::Sdr ? bt709Kb : 0.0593;
    const int bandWidth = encoding.width / int(patches.size());
    const std::string path = folder.PathOf("patches.mkv");
    WriteVideo(path, encoding, 2, [&](int x, int, int) {
        const cv::Vec3d code = Coded(patches[std::min<std::size_t>(x / bandWidth, patches.size() - 1)], transfer);
        return ToYCbCr({255 * code[0], 255 * code[1], 255 * code[2]}, kr, kb, false);
    });

    PlayVideo(path);

    const QImage shown = videowindow::ShownPicture();
    ASSERT_EQ(shown.size(), QSize(encoding.width, encoding.height));
    // 8-bit R'G'B' from OpenCV quantises PQ by up to 3% near reference white: 4 levels.
    constexpr double tolerance = 4;
    for (std::size_t i = 0; i < patches.size(); ++i) {
        const cv::Vec3d expected = transfer == Transfer::Sdr ? 255 * Coded(patches[i], transfer) : Reference(patches[i]);
        cv::Vec3d mean;
        const int centre = int(i) * bandWidth + bandWidth / 2;
        for (int dy = -4; dy < 4; ++dy)
            for (int dx = -4; dx < 4; ++dx) {
                const QRgb pixel = shown.pixel(centre + dx, encoding.height / 2 + dy);
                mean += cv::Vec3d(qRed(pixel), qGreen(pixel), qBlue(pixel)) / 64;
            }
        std::printf("%s patch %zu: reference %.0f,%.0f,%.0f shown %.0f,%.0f,%.0f\n", GetParam().name, i,
                    expected[0], expected[1], expected[2], mean[0], mean[1], mean[2]);
        EXPECT_LE(cv::norm(mean - expected, cv::NORM_INF), tolerance) << "patch " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Transfers, HdrOnAnSdrScreen,
                         testing::Values(Stream{"Pq", Transfer::Pq}, Stream{"Hlg", Transfer::Hlg},
                                         Stream{"Sdr", Transfer::Sdr}),
                         [](const testing::TestParamInfo<Stream>& info) { return std::string(info.param.name); });

}  // namespace
