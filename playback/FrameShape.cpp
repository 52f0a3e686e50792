#include "playback/FrameShape.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <utility>

FrameShaper::FrameShaper(const FrameShape& shape, cv::Size room)
    : shape_(shape)
    , room_(room)
{
}

void FrameShaper::Plan(cv::Size stored)
{
    plannedFor_ = stored;
    // Square pixels keep the height: the lines are the picture's own, only the pixels' width
    // differs.
    double width = double(stored.width) * shape_.aspectNumerator / shape_.aspectDenominator;
    double height = stored.height;
    const bool sideways = shape_.clockwiseDegrees % 180 != 0;
    if (sideways)
        std::swap(width, height);
    // Larger than the screen: the largest picture that fits, its aspect kept.
    if (!room_.empty() && (width > room_.width || height > room_.height)) {
        const double scale = std::min(room_.width / width, room_.height / height);
        width *= scale;
        height *= scale;
    }
    cv::Size upright(std::max(1, int(std::lround(width))), std::max(1, int(std::lround(height))));
    if (!room_.empty())
        upright = {std::min(upright.width, room_.width), std::min(upright.height, room_.height)};
    scaledSize_ = sideways ? cv::Size(upright.height, upright.width) : upright;
    // Area averages when narrowing, so fine detail (text, a fence) does not alias; linear when
    // widening.
    filter_ = scaledSize_.width < stored.width || scaledSize_.height < stored.height ? cv::INTER_AREA
                                                                                     : cv::INTER_LINEAR;
}

const cv::Mat& FrameShaper::Shaped(const cv::Mat& frame)
{
    if (frame.size() != plannedFor_)
        Plan(frame.size());

    const cv::Mat* picture = &frame;
    if (scaledSize_ != frame.size()) {
        cv::resize(frame, scaled_, scaledSize_, 0, 0, filter_);
        picture = &scaled_;
    }
    switch (shape_.clockwiseDegrees) {
    case 90: cv::rotate(*picture, turned_, cv::ROTATE_90_CLOCKWISE); return turned_;
    case 180: cv::rotate(*picture, turned_, cv::ROTATE_180); return turned_;
    case 270: cv::rotate(*picture, turned_, cv::ROTATE_90_COUNTERCLOCKWISE); return turned_;
    default: return *picture;
    }
}
