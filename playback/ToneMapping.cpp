#include "playback/ToneMapping.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace {

// The transfer is looked up by 16-bit sample, as swscale's planar RGB gives it: near black, a
// saturated colour's weakest channel is the small difference of BT.2020 channels, which a
// coarser code would leave several screen levels off. swscale's 16-bit white is 255 x 256.
constexpr int samples = 65536;
constexpr double sampleWhite = 255 * 256;
// The screen's curve is looked up by the light's own floating-point bits, 512 steps an octave
// down to 2^-24: a step is a fifth of a percent of the light, a fifth of a screen level at most,
// the table stays in the first-level cache, and no power is taken per pixel.
constexpr int encodeShift = 14;                          // a float's bits below those
constexpr std::int32_t encodeOffset = (127 - 24) << 9;   // 2^-24, the first step
constexpr int encodeSteps = (127 << 9) - encodeOffset;   // 1.0, the last
// HLG's system gamma is looked up by scene luminance in these steps.
constexpr int luminanceSteps = 1 << 14;

constexpr double referenceWhiteNits = 203;  // ITU-R BT.2408
constexpr double unknownPeakNits = 1000;

// Highlights are compressed from this much of reference white on. Below it every pixel is
// shown as mastered; reference white itself comes out at 98% of the screen's white (252 of 255).
constexpr double knee = 0.95;

// An 8x8 ordered dither (Bayer's), in 256ths of a screen level: added before the fraction is
// dropped, it turns a fraction into that share of pixels one level up.
constexpr std::uint8_t dither[8][8] = {
    {2, 130, 34, 162, 10, 138, 42, 170},   {194, 66, 226, 98, 202, 74, 234, 106},
    {50, 178, 18, 146, 58, 186, 26, 154},  {242, 114, 210, 82, 250, 122, 218, 90},
    {14, 142, 46, 174, 6, 134, 38, 166},   {206, 78, 238, 110, 198, 70, 230, 102},
    {62, 190, 30, 158, 54, 182, 22, 150},  {254, 126, 222, 94, 246, 118, 214, 86}};

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

// A sample as a 16-bit one.
inline int Code(std::uint16_t sample)
{
    return sample;
}
inline int Code(std::uint8_t sample)
{
    return sample << 8;
}

}  // namespace

ToneMapper::ToneMapper(const StreamLight& light)
    : hlg_(light.transfer == AVCOL_TRC_ARIB_STD_B67)
    , bt2020_(light.primaries != AVCOL_PRI_BT709)
    , toBt709_(Bt2020ToBt709())
    , light_(samples)
    , encode_(encodeSteps + 1)
{
    const double peakNits = light.peakNits > 0 ? light.peakNits : unknownPeakNits;
    // PQ's code is display light, here relative to reference white; HLG's is scene light, which
    // its system gamma turns into display light pixel by pixel.
    for (int sample = 0; sample < samples; ++sample) {
        const double code = std::min(sample / sampleWhite, 1.0);
        light_[sample] = float(hlg_ ? HlgScene(code) : PqNits(code) / referenceWhiteNits);
    }
    if (hlg_) {
        // ITU-R BT.2100's HLG OOTF: display light = peak x Ys^(gamma - 1) x scene light.
        const double gamma = 1.2 + 0.42 * std::log10(peakNits / 1000);
        systemGamma_.resize(luminanceSteps + 1);
        for (int i = 0; i <= luminanceSteps; ++i)
            systemGamma_[i] = float(peakNits / referenceWhiteNits * std::pow(double(i) / luminanceSteps, gamma - 1));
    }
    // ITU-R BT.1886's inverse, black at 0: code = light^(1/2.4), at the middle of each step.
    for (int i = 1; i <= encodeSteps; ++i) {
        const std::int32_t bits = (i + encodeOffset) << encodeShift | 1 << (encodeShift - 1);
        float light;
        std::memcpy(&light, &bits, sizeof light);
        encode_[i] = std::uint16_t(std::lround(256 * 255 * std::pow(std::min(double(light), 1.0), 1 / 2.4)));
    }
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
//
// Four pixels at a time (OpenCV's universal intrinsics): the tables give each channel's light,
// and the rest is a few vector operations on all four, none where none is needed.
template <typename Sample>
void ToneMapper::MapRows(const Samples& samples, cv::Mat& picture, int first, int last) const
{
    using namespace cv;
    const v_float32x4 zero = v_setzero_f32(), unit = v_setall_f32(1), knee = v_setall_f32(knee_);
    const v_float32x4 kneeWidth = v_setall_f32(1 - knee_), perKneeWidth = v_setall_f32(1 / (1 - knee_));
    const v_float32x4 perWhiteSquared = v_setall_f32(1 / (curveWhite_ * curveWhite_));
    const v_float32x4 outsideAllowed = v_setall_f32(0.05f);
    const v_float32x4 blueWeight = v_setall_f32(0.0722f), greenWeight = v_setall_f32(0.7152f),
                      redWeight = v_setall_f32(0.2126f);
    const v_float32x4 sceneBlue = v_setall_f32(0.0593f), sceneGreen = v_setall_f32(0.6780f),
                      sceneRed = v_setall_f32(0.2627f);  // BT.2020's luminance, for HLG
    const v_float32x4 luminanceScale = v_setall_f32(luminanceSteps);
    const v_int32x4 firstStep = v_setall_s32(encodeOffset), lowestStep = v_setzero_s32();
    const Matx33f& m = toBt709_;
    const float* const light = light_.data();
    const float* const systemGamma = systemGamma_.data();
    const std::uint16_t* const encode = encode_.data();
    const bool hlg = hlg_, bt2020 = bt2020_;
    const int width = picture.cols, step = samples.step;
    for (int y = first; y < last; ++y) {
        const Sample* const row[3] = {samples.blue.ptr<Sample>(y), samples.green.ptr<Sample>(y),
                                      samples.red.ptr<Sample>(y)};
        std::uint8_t* out = picture.ptr<std::uint8_t>(y);
        // The dither of this row, for pixels at x % 8 from 0 and from 4.
        const std::uint8_t* const threshold = dither[y & 7];
        const v_int32x4 pattern[2] = {v_int32x4(threshold[0], threshold[1], threshold[2], threshold[3]),
                                      v_int32x4(threshold[4], threshold[5], threshold[6], threshold[7])};
        // Four pixels from x on, count of them (four but at the row's end, where the rest are
        // taken as copies of its last pixel, and not written).
        const auto mapFour = [&](int x, auto count) {
            const int at[4] = {step * x, step * (x + std::min(1, count - 1)), step * (x + std::min(2, count - 1)),
                               step * (x + count - 1)};
            const auto channel = [&](int c) {
                const Sample* const in = row[c];
                return v_float32x4(light[Code(in[at[0]])], light[Code(in[at[1]])], light[Code(in[at[2]])],
                                   light[Code(in[at[3]])]);
            };
            v_float32x4 b = channel(0), g = channel(1), r = channel(2);
            if (hlg) {
                alignas(16) std::int32_t luminance[4];
                v_store_aligned(luminance,
                                v_round(v_min(r * sceneRed + g * sceneGreen + b * sceneBlue, unit) * luminanceScale));
                const v_float32x4 gain(systemGamma[luminance[0]], systemGamma[luminance[1]],
                                       systemGamma[luminance[2]], systemGamma[luminance[3]]);
                b = b * gain, g = g * gain, r = r * gain;
            }
            if (bt2020) {
                const v_float32x4 red = v_setall_f32(m(0, 0)) * r + v_setall_f32(m(0, 1)) * g + v_setall_f32(m(0, 2)) * b;
                const v_float32x4 green = v_setall_f32(m(1, 0)) * r + v_setall_f32(m(1, 1)) * g + v_setall_f32(m(1, 2)) * b;
                b = v_setall_f32(m(2, 0)) * r + v_setall_f32(m(2, 1)) * g + v_setall_f32(m(2, 2)) * b;
                r = red, g = green;
            }
            // Outside BT.709: desaturated towards its own luminance until it is no further out
            // than a twentieth of that, which is then clipped. So BT.709's own primaries, which
            // the stream's quantisation leaves a little outside, stay pure. (Most pixels are
            // inside and below the knee: four such pixels skip both steps.)
            const v_float32x4 lowest = v_min(b, v_min(g, r));
            if (v_check_any(lowest < zero)) {
                const v_float32x4 luminance = b * blueWeight + g * greenWeight + r * redWeight;
                const v_float32x4 allowed = luminance * outsideAllowed;
                const v_float32x4 outside = lowest < zero - allowed;
                if (v_check_any(outside)) {
                    const v_float32x4 toward = v_select(
                        outside, v_select(luminance > zero, (luminance + allowed) / (luminance - lowest), zero), unit);
                    b = luminance + toward * (b - luminance);
                    g = luminance + toward * (g - luminance);
                    r = luminance + toward * (r - luminance);
                }
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
            // For the screen: the code of each channel's light, dithered to 8 bits.
            const auto step = [&](const v_float32x4& light) {
                const v_int32x4 bits = v_reinterpret_as_s32(v_min(v_max(light, zero), unit));
                return v_max(v_shr<encodeShift>(bits) - firstStep, lowestStep);
            };
            alignas(16) std::int32_t steps[3][4];
            v_store_aligned(steps[0], step(b));
            v_store_aligned(steps[1], step(g));
            v_store_aligned(steps[2], step(r));
            // Dithered, and a pixel's three bytes in one four-byte word; each word is stored whole,
            // its fourth byte overwritten by the next pixel's, but the row's last pixel's.
            const auto screen = [&](int c) {
                const v_int32x4 code(encode[steps[c][0]], encode[steps[c][1]], encode[steps[c][2]], encode[steps[c][3]]);
                return v_shr<8>(code + pattern[x & 4 ? 1 : 0]);
            };
            alignas(16) std::uint32_t words[4];
            v_store_aligned(words, v_reinterpret_as_u32(screen(0) | v_shl<8>(screen(1)) | v_shl<16>(screen(2))));
            for (int i = 0; i < count; ++i) {
                std::uint8_t* const pixel = out + 3 * (x + i);
                if (x + i + 1 < width)
                    std::memcpy(pixel, &words[i], 4);
                else
                    std::memcpy(pixel, &words[i], 3);
            }
        };
        int x = 0;
        for (; x + 4 < width; x += 4)  // the row's last pixel is written byte by byte
            mapFour(x, std::integral_constant<int, 4>());
        mapFour(x, width - x);
    }
}

template <typename Sample>
void ToneMapper::MapAll(const Samples& samples, cv::Mat& picture) const
{
    // A stripe for each thread: smaller ones only add hand-overs.
    cv::parallel_for_(
        cv::Range(0, picture.rows),
        [&](const cv::Range& rows) { MapRows<Sample>(samples, picture, rows.start, rows.end); },
        cv::getNumThreads());
}

void ToneMapper::Map(const cv::Mat& frame, cv::Mat& picture) const
{
    picture.create(frame.size(), CV_8UC3);
    // Each channel is the frame itself, from its own first sample on, three samples a pixel.
    const auto channel = [&frame](int c) {
        return cv::Mat(frame.rows, frame.cols * 3 - c, frame.depth(), const_cast<uchar*>(frame.data) + c * frame.elemSize1(),
                       frame.step);
    };
    if (frame.depth() == CV_16U)
        MapAll<std::uint16_t>({channel(0), channel(1), channel(2), 3}, picture);
    else
        MapAll<std::uint8_t>({channel(0), channel(1), channel(2), 3}, picture);
}

void ToneMapper::Map(const Planes& planes, cv::Mat& picture) const
{
    picture.create(planes[0].size(), CV_8UC3);
    MapAll<std::uint16_t>({planes[1], planes[0], planes[2], 1}, picture);
}
