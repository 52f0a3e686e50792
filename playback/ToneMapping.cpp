#include "playback/ToneMapping.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Linear light in fixed point: reference white is this.
constexpr int one = 1 << 14;
// The BT.709 codes are looked up at a quarter of that resolution, which keeps the table in the
// first-level cache: a step is at most a third of a code.
constexpr int encodeSteps = one / 4;
constexpr double referenceWhiteNits = 203;  // ITU-R BT.2408
constexpr double unknownPeakNits = 1000;

// Highlights are compressed from this much of reference white on. Below it every pixel is
// shown as mastered; reference white itself comes out at 98% of SDR white (code 252 of 255).
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

// ITU-R BT.709's transfer: the code value (0 to 1) of linear light (0 to 1).
double Bt709Code(double linear)
{
    return linear < 0.018 ? 4.5 * linear : 1.099 * std::pow(linear, 0.45) - 0.099;
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

// Linear BT.2020 RGB to linear BT.709 RGB (ITU-R BT.2087); identity for BT.709 primaries.
cv::Matx33d ToBt709(int primaries)
{
    constexpr double bt709[4][2] = {{0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}, {0.3127, 0.3290}};
    constexpr double bt2020[4][2] = {{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}, {0.3127, 0.3290}};
    if (primaries == AVCOL_PRI_BT709)
        return cv::Matx33d::eye();
    return RgbToXyz(bt709).inv() * RgbToXyz(bt2020);
}

}  // namespace

bool ToneMapper::Needed(const StreamLight& light)
{
    return light.transfer == AVCOL_TRC_SMPTE2084 || light.transfer == AVCOL_TRC_ARIB_STD_B67;
}

ToneMapper::ToneMapper(const StreamLight& light)
    : hlg_(light.transfer == AVCOL_TRC_ARIB_STD_B67)
    , encode_(encodeSteps + 1)
{
    const double peakNits = light.peakNits > 0 ? light.peakNits : unknownPeakNits;
    // Each channel's linear light from its code: PQ's in nits, relative to reference white;
    // HLG's as scene light, which its system gamma turns into display light pixel by pixel.
    const cv::Matx33d mix = ToBt709(light.primaries);
    constexpr double bt2020Luminance[3] = {0.2627, 0.6780, 0.0593};  // red, green, blue
    for (int code = 0; code < 256; ++code) {
        const double linear = hlg_ ? HlgScene(code / 255.0) : PqNits(code / 255.0) / referenceWhiteNits;
        for (int input = 0; input < 3; ++input) {       // blue, green, red as OpenCV orders them
            const int column = 2 - input;                // in the matrix, red, green, blue
            for (int output = 0; output < 3; ++output)  // blue, green, red
                shares_[input][code][output] = std::int32_t(std::lround(mix(2 - output, column) * linear * one));
            shares_[input][code][3] = hlg_ ? std::int32_t(std::lround(bt2020Luminance[column] * linear * one)) : 0;
        }
    }
    if (hlg_) {
        // ITU-R BT.2100's HLG OOTF: display light = peak x Ys^(gamma - 1) x scene light.
        const double gamma = 1.2 + 0.42 * std::log10(peakNits / 1000);
        systemGamma_.resize(one + 1);
        for (int i = 0; i <= one; ++i)
            systemGamma_[i] = float(peakNits / referenceWhiteNits * std::pow(double(i) / one, gamma - 1));
    }
    for (int i = 0; i <= encodeSteps; ++i)
        encode_[i] = std::uint8_t(std::lround(255 * Bt709Code(double(i) / encodeSteps)));
    knee_ = float(knee * one);
    // The curve reaches SDR white at the peak; a peak no brighter than the knee leaves nothing
    // to compress.
    curveWhite_ = float(std::max((peakNits / referenceWhiteNits - knee) / (1 - knee), 1.0));
}

// Above the knee, a highlight x (in reference whites) becomes knee + (1 - knee) g(u), where u is
// how far beyond the knee it is in units of (1 - knee), and g is the extended Reinhard curve,
// g(u) = u (1 + u / W^2) / (1 + u), with its white point W where the peak is: it rises with
// slope 1 from the knee, so the picture has no kink there, and reaches 1, SDR white, exactly at
// the peak, so no highlight the stream holds is clipped. It acts on the largest of red, green
// and blue, and the others follow in proportion, which keeps hue and saturation: a bright red
// stays red instead of turning orange as clipped channels do.
//
namespace {

// Writes the BT.709 codes of the first count of four pixels given as linear light in fixed
// point (blue, green, red and one lane unused each).
inline void Encode(const cv::v_int32x4 (&pixels)[4], int count, const std::uint8_t* encode, std::uint8_t* out)
{
    std::uint8_t encoded[12];
    for (int i = 0; i < 4; ++i) {
        alignas(16) std::int32_t light[4];
        cv::v_store_aligned(light, pixels[i]);
        encoded[3 * i] = encode[light[0]], encoded[3 * i + 1] = encode[light[1]];
        encoded[3 * i + 2] = encode[light[2]];
    }
    if (count == 4)
        std::memcpy(out, encoded, sizeof encoded);
    else
        std::copy_n(encoded, 3 * count, out);
}

}  // namespace

// Four pixels at a time (OpenCV's universal intrinsics): the tables give each pixel's mix in
// fixed point, and the rest is a few vector operations on all four, none where none is needed.
void ToneMapper::MapRows(const cv::Mat& frame, cv::Mat& picture, int first, int last) const
{
    using namespace cv;
    const v_float32x4 zero = v_setzero_f32(), unit = v_setall_f32(1), knee = v_setall_f32(knee_);
    const v_float32x4 kneeWidth = v_setall_f32(one - knee_), perKneeWidth = v_setall_f32(1 / (one - knee_));
    const v_float32x4 perWhiteSquared = v_setall_f32(1 / (curveWhite_ * curveWhite_));
    const v_float32x4 blueWeight = v_setall_f32(0.0722f), greenWeight = v_setall_f32(0.7152f),
                      redWeight = v_setall_f32(0.2126f);
    const v_float32x4 white = v_setall_f32(encodeSteps), toSteps = v_setall_f32(float(encodeSteps) / one);
    const v_int32x4 lowestCode = v_setzero_s32(), highestCode = v_setall_s32(one);
    // Local: the byte stores below could otherwise be taken to change the members.
    const auto& blueShares = shares_[0];
    const auto& greenShares = shares_[1];
    const auto& redShares = shares_[2];
    const std::uint8_t* const encode = encode_.data();
    const float* const systemGamma = systemGamma_.data();
    const bool hlg = hlg_;
    for (int y = first; y < last; ++y) {
        const std::uint8_t* in = frame.ptr<std::uint8_t>(y);
        std::uint8_t* out = picture.ptr<std::uint8_t>(y);
        for (int x = 0; x < frame.cols; x += 4) {
            // The row's last pixels, if fewer than four, are taken with black ones.
            const int count = std::min(4, frame.cols - x);
            std::uint8_t padded[12];
            const std::uint8_t* pixels = in + 3 * x;
            if (count < 4) {
                std::fill(std::copy_n(pixels, 3 * count, padded), std::end(padded), 0);
                pixels = padded;
            }
            v_int32x4 mixed[4];
            for (int i = 0; i < 4; ++i)
                mixed[i] = v_load(blueShares[pixels[3 * i]].data()) + v_load(greenShares[pixels[3 * i + 1]].data())
                    + v_load(redShares[pixels[3 * i + 2]].data());
            v_int32x4 blue, green, red, sceneLuminance;
            v_transpose4x4(mixed[0], mixed[1], mixed[2], mixed[3], blue, green, red, sceneLuminance);
            v_float32x4 b = v_cvt_f32(blue), g = v_cvt_f32(green), r = v_cvt_f32(red);
            if (hlg) {
                alignas(16) std::int32_t luminance[4];
                v_store_aligned(luminance, v_min(v_max(sceneLuminance, lowestCode), highestCode));
                const v_float32x4 light(systemGamma[luminance[0]], systemGamma[luminance[1]],
                                        systemGamma[luminance[2]], systemGamma[luminance[3]]);
                b = b * light, g = g * light, r = r * light;
            }
            // Outside BT.709: desaturated towards its own luminance until it fits. (Most pixels
            // are inside and below the knee: four such pixels skip both steps.)
            const v_float32x4 lowest = v_min(b, v_min(g, r));
            if (v_check_any(lowest < zero)) {
                const v_float32x4 luminance = b * blueWeight + g * greenWeight + r * redWeight;
                const v_float32x4 toward =
                    v_select(lowest < zero, v_select(luminance > zero, luminance / (luminance - lowest), zero), unit);
                b = luminance + toward * (b - luminance);
                g = luminance + toward * (g - luminance);
                r = luminance + toward * (r - luminance);
            }
            // Highlights compressed.
            const v_float32x4 highest = v_max(b, v_max(g, r));
            if (v_check_any(highest > knee)) {
                const v_float32x4 u = v_max(highest - knee, zero) * perKneeWidth;
                const v_float32x4 scale = v_select(
                    highest > knee,
                    (knee * (unit + u) + kneeWidth * u * (unit + u * perWhiteSquared)) / ((unit + u) * highest),
                    unit);
                b = b * scale, g = g * scale, r = r * scale;
            }
            // Back to pixels, each channel's light in steps of the code table.
            v_int32x4 codes[4];
            v_transpose4x4(v_round(v_min(v_max(b * toSteps, zero), white)),
                           v_round(v_min(v_max(g * toSteps, zero), white)),
                           v_round(v_min(v_max(r * toSteps, zero), white)), lowestCode, codes[0], codes[1], codes[2],
                           codes[3]);
            Encode(codes, count, encode, out + 3 * x);
        }
    }
}

void ToneMapper::Map(const cv::Mat& frame, cv::Mat& picture) const
{
    picture.create(frame.size(), CV_8UC3);
    // A stripe for each thread: smaller ones only add hand-overs.
    cv::parallel_for_(cv::Range(0, frame.rows),
                      [&](const cv::Range& rows) { MapRows(frame, picture, rows.start, rows.end); },
                      cv::getNumThreads());
}
