#include "playback/ToneMapping.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

constexpr double referenceWhiteNits = 203;  // ITU-R BT.2408
constexpr double unknownPeakNits = 1000;

// Highlights are compressed from this much of reference white on. Below it every pixel is
// shown as mastered; reference white itself comes out at 98% of the screen's white (252 of 255).
constexpr double knee = 0.95;

// SMPTE ST 2084: nits from a PQ code value (0 to 1).
double PqNits(double code)
{
    constexpr double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
    constexpr double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
    const double p = std::pow(code, 1 / m2);
    return 10000 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1 / m1);
}

// ARIB STD-B67 (ITU-R BT.2100): scene light (0 to 1) from an HLG code value.
double HlgScene(double code)
{
    constexpr double a = 0.17883277, b = 1 - 4 * a;
    const double c = 0.5 - a * std::log(4 * a);
    return code <= 0.5 ? code * code / 3 : (std::exp((code - c) / a) + b) / 12;
}

// Linear RGB to CIE XYZ for primaries and white point given as xy chromaticities.
cv::Matx33d RgbToXyz(const double (&xy)[4][2])
{
    const auto column = [](const double* c) { return cv::Vec3d(c[0] / c[1], 1, (1 - c[0] - c[1]) / c[1]); };
    const cv::Vec3d r = column(xy[0]), g = column(xy[1]), b = column(xy[2]);
    const cv::Matx33d primaries(r[0], g[0], b[0], r[1], g[1], b[1], r[2], g[2], b[2]);
    const cv::Vec3d weight = primaries.inv() * column(xy[3]);
    return primaries * cv::Matx33d::diag(weight);
}

// Linear BT.2020 RGB to linear BT.709 RGB (ITU-R BT.2087).
cv::Matx33d Bt2020ToBt709()
{
    constexpr double bt709[4][2] = {{0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}, {0.3127, 0.3290}};
    constexpr double bt2020[4][2] = {{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}, {0.3127, 0.3290}};
    return RgbToXyz(bt709).inv() * RgbToXyz(bt2020);
}

// A value of 0 to 65504 as the bits of the nearest half-precision float: the float's exponent
// rebased, as hdr_rows' FromHalf undoes it.
std::uint32_t HalfBits(double value)
{
    const float rebased = float(value) * 0x1p-112f;
    std::uint32_t bits;
    std::memcpy(&bits, &rebased, sizeof bits);
    return (bits + (1 << 12)) >> 13;
}

// The middle of a step of values looked up by their float bits, 2^bits steps an octave from
// 2^-24 on (hdr_rows::OctaveStep).
double MiddleOfStep(int step, int bits)
{
    const std::int32_t floatBits = (step + ((127 - hdr_rows::octaves) << bits)) << (23 - bits) | 1 << (22 - bits);
    float value;
    std::memcpy(&value, &floatBits, sizeof value);
    return std::min(double(value), 1.0);
}

// Luma weights (red, blue) of a Y'CbCr matrix (an AVColorSpace); HDR's own, BT.2020's, unless
// the stream says another.
std::pair<double, double> LumaWeights(int matrix)
{
    switch (matrix) {
    case AVCOL_SPC_BT709:
        return {0.2126, 0.0722};
    case AVCOL_SPC_FCC:
        return {0.30, 0.11};
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return {0.299, 0.114};
    case AVCOL_SPC_SMPTE240M:
        return {0.212, 0.087};
    default:
        return {0.2627, 0.0593};
    }
}

// The processor's fastest build of the inner loop.
decltype(&hdr_rows::portable::MapRows) FastestRows()
{
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return hdr_rows::avx2::MapRows;
#endif
    return hdr_rows::portable::MapRows;
}

}  // namespace

ToneMapper::ToneMapper(const StreamLight& light)
    : transfer_(hdr_rows::transferSteps + 1)
    , encode_((hdr_rows::octaves << hdr_rows::encodeBits) + 2)
    , mapRows_(FastestRows())
{
    const bool hlg = light.transfer == AVCOL_TRC_ARIB_STD_B67;
    const double peakNits = light.peakNits > 0 ? light.peakNits : unknownPeakNits;
    // PQ's code is display light, here relative to reference white; HLG's is scene light, which
    // its system gamma turns into display light pixel by pixel.
    const auto lightOf = [&](int step) {
        const double code = double(std::min(step, hdr_rows::transferSteps)) / hdr_rows::transferSteps;
        return hlg ? HlgScene(code) : PqNits(code) / referenceWhiteNits;
    };
    for (int step = 0; step <= hdr_rows::transferSteps; ++step)
        transfer_[step] = HalfBits(lightOf(step)) | HalfBits(lightOf(step + 1) - lightOf(step)) << 16;
    if (hlg) {
        // ITU-R BT.2100's HLG OOTF: display light = peak x Ys^(gamma - 1) x scene light.
        const double gamma = 1.2 + 0.42 * std::log10(peakNits / 1000);
        systemGamma_.resize((hdr_rows::octaves << hdr_rows::systemGammaBits) + 1);
        for (int step = 0; step < int(systemGamma_.size()); ++step)
            systemGamma_[step] = float(peakNits / referenceWhiteNits
                                       * std::pow(MiddleOfStep(step, hdr_rows::systemGammaBits), gamma - 1));
    }
    if (light.primaries != AVCOL_PRI_BT709) {
        const cv::Matx33d m = Bt2020ToBt709();
        toBt709_.assign(m.val, m.val + 9);
    }
    // ITU-R BT.1886's inverse, black at 0: code = light^(1/2.4). Below 2^-24, black.
    for (int step = 1; step < int(encode_.size()) - 1; ++step)
        encode_[step] = std::uint16_t(
            std::lround(256 * 255 * std::pow(MiddleOfStep(step, hdr_rows::encodeBits), 1 / 2.4)));
    knee_ = float(knee);
    // The curve reaches the screen's white at the peak; a peak no brighter than the knee leaves
    // nothing to compress.
    curveWhite_ = float(std::max((peakNits / referenceWhiteNits - knee) / (1 - knee), 1.0));
}

// Above the knee, a highlight x (in reference whites) becomes knee + (1 - knee) g(u), where u is
// how far beyond the knee it is in units of (1 - knee), and g is the extended Reinhard curve,
// g(u) = u (1 + u / W^2) / (1 + u), with its white point W where the peak is: it rises with
// slope 1 from the knee, so the picture has no kink there, and reaches 1, the screen's white,
// exactly at the peak, so no highlight the stream holds is clipped. It acts on the largest of
// red, green and blue, and the others follow in proportion, which keeps hue and saturation: a
// bright red stays red instead of turning orange as clipped channels do.
void ToneMapper::Map(const YcbcrPlanes& frame, int box, cv::Mat& picture) const
{
    const cv::Mat& luma = frame.luma;
    picture.create(luma.rows / box, luma.cols / box, CV_8UC3);

    hdr_rows::Job job{};
    job.luma = luma.ptr<std::uint16_t>();
    job.blueDifference = frame.blueDifference.ptr<std::uint16_t>();
    job.redDifference = frame.redDifference.ptr<std::uint16_t>();
    job.lumaStep = std::ptrdiff_t(luma.step1());
    job.chromaStep = std::ptrdiff_t(frame.blueDifference.step1());
    job.lumaWidth = luma.cols, job.lumaHeight = luma.rows;
    job.chromaShiftX = frame.blueDifference.cols < luma.cols ? 1 : 0;
    job.chromaShiftY = frame.blueDifference.rows < luma.rows ? 1 : 0;
    job.box = box;
    job.picture = picture.data;
    job.pictureStep = std::ptrdiff_t(picture.step);
    job.width = picture.cols, job.height = picture.rows;

    // The samples' own range: limited, as video mostly is, 16 to 235 (240 for chroma) at 8 bits
    // and as many times more at more; or full.
    const double unit = std::ldexp(1.0, frame.depth - 8);
    const double lumaBlack = frame.colour.fullRange ? 0 : 16 * unit;
    const double lumaRange = frame.colour.fullRange ? std::ldexp(1.0, frame.depth) - 1 : 219 * unit;
    const double chromaRange = frame.colour.fullRange ? lumaRange : 224 * unit;
    job.lumaScale = float(1 / lumaRange), job.lumaOffset = float(-lumaBlack / lumaRange);
    job.chromaScale = float(1 / chromaRange), job.chromaOffset = float(-128 * unit / chromaRange);
    const auto [kr, kb] = LumaWeights(frame.colour.matrix);
    const double kg = 1 - kr - kb;
    job.crToRed = float(2 * (1 - kr)), job.cbToBlue = float(2 * (1 - kb));
    job.cbToGreen = float(-2 * kb * (1 - kb) / kg), job.crToGreen = float(-2 * kr * (1 - kr) / kg);

    job.transfer = transfer_.data();
    job.systemGamma = systemGamma_.empty() ? nullptr : systemGamma_.data();
    job.toBt709 = toBt709_.empty() ? nullptr : toBt709_.data();
    job.knee = knee_, job.curveWhite = curveWhite_;
    job.encode = encode_.data();

    // A stripe for each thread: smaller ones only add hand-overs.
    const auto mapRows = mapRows_;
    cv::parallel_for_(
        cv::Range(0, picture.rows), [&](const cv::Range& rows) { mapRows(job, rows.start, rows.end); },
        cv::getNumThreads());
}
