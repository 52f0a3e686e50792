#include "playback/ToneMapping.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <algorithm>
#include <cmath>

namespace {

// Linear light in fixed point: reference white is this.
constexpr int one = 1 << 14;
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
    , encode_(one + 1)
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
    for (int i = 0; i <= one; ++i)
        encode_[i] = std::uint8_t(std::lround(255 * Bt709Code(double(i) / one)));
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
void ToneMapper::MapRows(const cv::Mat& frame, cv::Mat& picture, int first, int last) const
{
    const float kneeWidth = one - knee_;
    const float whiteSquared = curveWhite_ * curveWhite_;
    const auto encode = [this](float value) { return encode_[std::clamp(int(value + 0.5f), 0, one)]; };
    for (int y = first; y < last; ++y) {
        const std::uint8_t* in = frame.ptr<std::uint8_t>(y);
        std::uint8_t* out = picture.ptr<std::uint8_t>(y);
        for (int x = 0; x < frame.cols; ++x, in += 3, out += 3) {
            const auto &b = shares_[0][in[0]], &g = shares_[1][in[1]], &r = shares_[2][in[2]];
            const std::int32_t mixed[3] = {b[0] + g[0] + r[0], b[1] + g[1] + r[1], b[2] + g[2] + r[2]};
            if (!hlg_ && std::min({mixed[0], mixed[1], mixed[2]}) >= 0
                && std::max({mixed[0], mixed[1], mixed[2]}) <= knee_) {
                out[0] = encode_[mixed[0]], out[1] = encode_[mixed[1]], out[2] = encode_[mixed[2]];
                continue;
            }
            const float light = hlg_ ? systemGamma_[std::clamp(b[3] + g[3] + r[3], 0, one)] : 1.0f;
            float c[3] = {mixed[0] * light, mixed[1] * light, mixed[2] * light};
            // Outside BT.709: desaturated towards its own luminance until it fits.
            const float lowest = std::min({c[0], c[1], c[2]});
            if (lowest < 0) {
                const float luminance = 0.0722f * c[0] + 0.7152f * c[1] + 0.2126f * c[2];
                const float toward = luminance > 0 ? luminance / (luminance - lowest) : 0.0f;
                for (float& channel : c)
                    channel = luminance + toward * (channel - luminance);
            }
            const float highest = std::max({c[0], c[1], c[2]});
            if (highest > knee_) {
                const float u = (highest - knee_) / kneeWidth;
                const float compressed = knee_ + kneeWidth * u * (1 + u / whiteSquared) / (1 + u);
                for (float& channel : c)
                    channel *= compressed / highest;
            }
            out[0] = encode(c[0]), out[1] = encode(c[1]), out[2] = encode(c[2]);
        }
    }
}

void ToneMapper::Map(const cv::Mat& frame, cv::Mat& picture) const
{
    picture.create(frame.size(), CV_8UC3);
    cv::parallel_for_(cv::Range(0, frame.rows),
                      [&](const cv::Range& rows) { MapRows(frame, picture, rows.start, rows.end); });
}
