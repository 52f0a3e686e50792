#pragma once

#include "playback/DecoderTap.h"

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <vector>

// Shows HDR video, whose transfer is PQ (SMPTE ST 2084) or HLG (ARIB STD-B67), as meant on an
// ordinary screen. Each pixel is taken to linear light with HDR reference white (203 nits,
// ITU-R BT.2408) at SDR white, HLG through its system gamma for the stream's peak; BT.2020
// primaries are mapped into BT.709, a colour outside it desaturated towards its own luminance
// until it fits; then highlights are compressed (see ToneCurve in the .cpp) and the result is
// encoded with the BT.709 transfer.
//
// Frames come as OpenCV converts them: 8-bit BGR, still in the stream's transfer and primaries.
// With 256 codes a channel, everything up to the mix of the channels is tables made once per
// stream; a pixel then costs three table lookups and adds, in fixed point, and only highlights
// and colours outside BT.709 take a few floating-point operations more.
class ToneMapper {
public:
    // Whether frames of this light need mapping: PQ and HLG.
    static bool Needed(const StreamLight& light);

    explicit ToneMapper(const StreamLight& light);

    // Makes picture, 8-bit BGR for the screen, from frame, 8-bit BGR as decoded. Spread over
    // the cores.
    void Map(const cv::Mat& frame, cv::Mat& picture) const;

private:
    void MapRows(const cv::Mat& frame, cv::Mat& picture, int first, int last) const;

    bool hlg_;
    // For each of blue, green and red and each 8-bit code: its share of the pixel's linear blue,
    // green and red in BT.709, and for HLG of its scene luminance, in units of one/reference white.
    std::array<std::array<std::array<std::int32_t, 4>, 256>, 3> shares_{};
    std::vector<float> systemGamma_;    // HLG: display light per scene light, by scene luminance
    std::vector<std::uint8_t> encode_;  // BT.709 code of each linear value up to reference white
    float knee_;                        // where highlights start to be compressed, and
    float curveWhite_;                  // the extended Reinhard curve's white point, beyond it
};
