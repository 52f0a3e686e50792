#pragma once

#include "playback/DecoderTap.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

// Shows HDR video, whose transfer is PQ (SMPTE ST 2084) or HLG (ARIB STD-B67), as meant on an
// ordinary screen. Each pixel is taken to display light with HDR reference white (203 nits,
// ITU-R BT.2408) at the screen's white: PQ's code is display light already, HLG's goes through
// its system gamma for the stream's peak (the OOTF of ITU-R BT.2100). BT.2020 primaries are
// mapped into BT.709, a colour outside it desaturated towards its own luminance until it fits;
// highlights are compressed (see MapRows in the .cpp); and the light is encoded for the screen
// with the inverse of the screen's own curve, BT.1886's 2.4 power with black at 0. Not with
// BT.709's camera curve: that would add a second system gamma to what is display light already,
// crushing the shadows and dimming the mid-greys.
//
// Frames come at the decoder's depth (HdrPicture: 16 bits a sample) or at 8 bits, their R'G'B'
// still in the stream's transfer and primaries. The transfer is a table over 16-bit samples
// made once per stream; the screen's curve is a table over the light's floating-point bits, as
// fine near black as near white; and the result is dithered to 8 bits (an ordered 8x8 pattern,
// the same in every frame), so smooth gradients don't band.
class ToneMapper {
public:
    explicit ToneMapper(const StreamLight& light);

    // Makes picture, 8-bit BGR for the screen, from frame, 16-bit (as HdrPicture's planes
    // merged) or 8-bit BGR as decoded; or from a frame's planes as HdrPicture gives them.
    // Spread over the cores.
    void Map(const cv::Mat& frame, cv::Mat& picture) const;
    void Map(const Planes& planes, cv::Mat& picture) const;

private:
    // Where each channel's samples are, and how many samples apart a pixel's are.
    struct Samples {
        cv::Mat blue, green, red;
        int step;
    };

    template <typename Sample>
    void MapAll(const Samples& samples, cv::Mat& picture) const;
    template <typename Sample>
    void MapRows(const Samples& samples, cv::Mat& picture, int first, int last) const;

    bool hlg_;
    bool bt2020_;
    cv::Matx33f toBt709_;           // linear BT.2020 red, green, blue to BT.709's
    std::vector<float> light_;      // of each 16-bit sample, in reference whites; HLG's scene light
    std::vector<float> systemGamma_;  // HLG: display light per scene light, by scene luminance
    std::vector<std::uint16_t> encode_;  // the screen's code, times 256, of each step of the light
    float knee_;                    // where highlights start to be compressed, and
    float curveWhite_;              // the extended Reinhard curve's white point, beyond it
};
