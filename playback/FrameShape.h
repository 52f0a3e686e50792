#pragma once

#include <opencv2/core.hpp>

// How a file's stored frames are to be shown: scaled to square pixels (a DVD's 720x576 with
// 64:45 pixels is a 1024x576 picture), then turned upright (a phone records portrait video
// as landscape frames with a display matrix that turns them).
struct FrameShape {
    int aspectNumerator = 1;   // the width of a stored pixel against its height
    int aspectDenominator = 1;
    int clockwiseDegrees = 0;  // 0, 90, 180 or 270

    bool AsStored() const { return aspectNumerator == aspectDenominator && clockwiseDegrees == 0; }
};

// Makes frames look as their shape says.
class FrameShaper {
public:
    explicit FrameShaper(const FrameShape& shape = {});

    // The frame as it is to be shown: frame itself when it is shown as stored, at no cost;
    // otherwise a picture in this object's own buffers, valid until the next call.
    const cv::Mat& Shaped(const cv::Mat& frame);

private:
    FrameShape shape_;
    cv::Mat scaled_;  // kept from frame to frame, so their memory is allocated once
    cv::Mat turned_;
};
