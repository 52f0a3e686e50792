#pragma once

#include <optional>

// How a stream's Y'CbCr samples are to be turned into RGB: the matrix they were made with
// (an AVColorSpace: BT.709, BT.601, BT.2020, FCC, SMPTE 240M) and their range.
struct StreamColour {
    int matrix;
    bool fullRange;
};

// The stream's own description where the file gives one; where it does not, the common
// convention: BT.709 from 1280 wide or more than 576 lines, BT.601 below, limited range.
StreamColour DescribedColour(int matrix, int range, int width, int height);

// From now on OpenCV converts the frames this thread reads to BGR as the colour says; without
// one, with swscale's default (BT.601), as OpenCV does by itself.
//
// OpenCV makes its converter with swscale's defaults and no way to change them. It makes it
// through sws_getCachedContext, once per stream and size; this library defines that function,
// which makes the context with swscale's own and then gives it the stream's matrix and range,
// so the right colour costs nothing per frame. It reaches OpenCV's calls when this library
// comes before libswscale in the order symbols are looked up in: always in the program, which
// loads playback with OpenCV behind it; a process that links playback must link it first.
void ConvertFramesAs(std::optional<StreamColour> colour);
