#pragma once

#include <cstddef>
#include <cstdint>

// The HDR mapping's inner loop, from a frame's Y'CbCr samples to the screen's 8-bit BGR, row by
// row. It is built twice from one source (HdrRows.ipp): for any x86-64 processor, and with AVX2
// and FMA, twice as many pixels an instruction; ToneMapper picks the one the processor runs.
// What it does, and why, is told in ToneMapping.h; the tables and factors come from there.
namespace hdr_rows {

struct Job {
    // Samples (16-bit words): luma at box times the picture's size across and down; chroma at
    // the luma's size, or half of it across (chromaShiftX 1), and down (chromaShiftY 1). A box of
    // 2 averages 2x2 luma samples and takes 4:2:0 chroma as it lies.
    const std::uint16_t* luma;
    const std::uint16_t* blueDifference;
    const std::uint16_t* redDifference;
    std::ptrdiff_t lumaStep, chromaStep;  // in samples
    int lumaWidth, lumaHeight;
    int chromaShiftX, chromaShiftY;
    int box;

    std::uint8_t* picture;  // BGR
    std::ptrdiff_t pictureStep;
    int width, height;

    // R'G'B' (0 to 1) from samples: y' = luma * lumaScale + lumaOffset, cb and cr alike with the
    // chroma's, then red = y' + crToRed cr, green = y' + cbToGreen cb + crToGreen cr, blue =
    // y' + cbToBlue cb.
    float lumaScale, lumaOffset, chromaScale, chromaOffset;
    float crToRed, cbToGreen, crToGreen, cbToBlue;

    // Light of R'G'B' at transferSteps + 1 points from 0 to 1, each word two half-precision
    // floats: the light (low half), and the rise to the next point (high half).
    const std::uint32_t* transfer;
    // HLG: display light per scene light, by the scene luminance's float bits (see .ipp).
    const float* systemGamma;
    // Linear BT.2020 to BT.709, row by row; null for BT.709 primaries.
    const float* toBt709;
    float knee, curveWhite;
    // The screen's code times 256, by the light's float bits, and one entry more.
    const std::uint16_t* encode;
};

inline constexpr int transferSteps = 1024;
// HLG's system gamma and the screen's curve are looked up by the float bits of the luminance
// and of the light: 2^systemGammaBits and 2^encodeBits steps an octave, from 2^-24 to 1.
inline constexpr int systemGammaBits = 6, encodeBits = 8;
inline constexpr int octaves = 24;

namespace portable {
void MapRows(const Job& job, int first, int last);
}
namespace avx2 {
void MapRows(const Job& job, int first, int last);
}

}  // namespace hdr_rows
