#pragma once

#include "playback/ToneMapping.h"

#include <opencv2/core.hpp>

#include <optional>

// How a file's stored frames are to be shown: scaled to square pixels (a DVD's 720x576 with
// 64:45 pixels is a 1024x576 picture), then turned upright (a phone records portrait video
// as landscape frames with a display matrix that turns them).
struct FrameShape {
    int aspectNumerator = 1;   // the width of a stored pixel against its height
    int aspectDenominator = 1;
    int clockwiseDegrees = 0;  // 0, 90, 180 or 270
};

// Makes frames look as their shape says, and no larger than the room the screen has for them.
class FrameShaper {
public:
    // room: the largest picture the screen can show whole, in window units; empty for no limit.
    // pixelRatio: how many of the screen's pixels make one window unit. Pictures are made at
    // the screen's own resolution: the size the window has, times that.
    FrameShaper(const FrameShape& shape, cv::Size room, double pixelRatio = 1);

    // How the frames' light is meant, as the decoder reports it: HDR frames (HdrPicture) are
    // mapped for the screen.
    void UseLight(const StreamLight& light);

    // Whether frames of the stored size are shown otherwise than stored, and the size they are
    // shown at.
    bool Reshapes(cv::Size stored);
    cv::Size ShapedSize(cv::Size stored);

    // Makes picture the frame as it is to be shown. A frame shown as stored costs nothing: the
    // two swap their buffers. Otherwise frame is left as it was.
    void Shape(cv::Mat& frame, cv::Mat& picture);
    // The same for an HDR frame's samples: its light is mapped first, where the picture is to be
    // smaller, at half the frame's size as the mapping averages 4:2:0 frames' pixels 2x2, so a 4K
    // film on a 1080p screen pays for 1080p; any other scaling and turning follow in 8 bits.
    void Shape(const YcbcrPlanes& frame, cv::Mat& picture);

private:
    // Decides, for frames of the stored size, what size to scale them to before turning.
    void Plan(cv::Size stored);
    // Averages blocks of block x block pixels, blurs, scales and turns from into picture, as
    // planned for a frame block times larger than from.
    void Reshape(const cv::Mat& from, int block, cv::Mat& picture);

    FrameShape shape_;
    cv::Size room_;
    double pixelRatio_;
    cv::Size plannedFor_;  // the stored size of the frames the plan is for
    cv::Size scaledSize_;  // still in the stored orientation
    int blockSize_ = 1;    // pixels averaged into one, across and down, first
    cv::Size blur_;        // the blur before interpolating: 3 along an axis that shrinks, else 1
    StreamLight light_;
    std::optional<ToneMapper> toneMapper_;  // for HDR light
    // Between the steps, kept from frame to frame so that their memory is allocated once.
    cv::Mat mapped_, averaged_, blurred_, scaled_, turned_;
};
