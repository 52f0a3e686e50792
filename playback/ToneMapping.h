#pragma once

#include "playback/DecoderTap.h"
#include "playback/HdrRows.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

// Shows HDR video, whose transfer is PQ (SMPTE ST 2084) or HLG (ARIB STD-B67), as meant on an
// ordinary screen. Each pixel is taken to display light with HDR reference white (203 nits,
// ITU-R BT.2408) at the screen's white: PQ's code is display light already, HLG's goes through
// its system gamma for the stream's peak (the OOTF of ITU-R BT.2100, on the scene's luminance, so
// that colours keep their hue and saturation). BT.2020 primaries are mapped into BT.709, a
// colour outside it desaturated towards its own luminance until it fits; highlights are
// compressed (see the .cpp); and the light is encoded for the screen with the inverse of the
// screen's own curve, BT.1886's 2.4 power with black at 0. Not with BT.709's camera curve: that
// would add a second system gamma to what is display light already, crushing the shadows and
// dimming the mid-greys.
//
// It reads the decoder's Y'CbCr samples at their own depth, and makes the 8-bit picture from them
// in one pass (HdrRows.h), averaging 2x2 pixels on the way where the picture is to be half the
// frame's size: the decoder's 10 or 12 bits are kept, where an 8-bit picture would band them,
// and nothing is converted or copied twice. The result is dithered to 8 bits (an ordered 8x8
// pattern, the same in every frame), so smooth gradients don't band.
class ToneMapper {
public:
    explicit ToneMapper(const StreamLight& light);

    // Makes picture, 8-bit BGR for the screen, from the frame's planes, the frame's size or, with
    // box 2 and 4:2:0 planes, half of it. Spread over the cores.
    void Map(const YcbcrPlanes& frame, int box, cv::Mat& picture) const;

private:
    std::vector<std::uint32_t> transfer_;  // see hdr_rows::Job
    std::vector<float> systemGamma_;       // HLG only
    std::vector<float> toBt709_;           // BT.2020 primaries only
    std::vector<std::uint16_t> encode_;
    float knee_;        // where highlights start to be compressed, and
    float curveWhite_;  // the extended Reinhard curve's white point, beyond it
    void (*mapRows_)(const hdr_rows::Job&, int, int);  // the fastest the processor runs
};
