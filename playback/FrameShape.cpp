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
    const cv::Size upright(std::max(1, int(std::lround(width))), std::max(1, int(std::lround(height))));
    scaledSize_ = sideways ? cv::Size(upright.height, upright.width) : upright;

    // Shrinking averages, so that fine detail (text, a fence) does not alias: by a whole
    // factor, blocks of pixels are averaged; what remains is interpolated after a light blur
    // along each axis that still shrinks. OpenCV's own averaging for other factors would cost
    // ten times as much: 30 ms a frame for 4K video on a 1080p screen.
    const int whole = std::min(stored.width / scaledSize_.width, stored.height / scaledSize_.height);
    blockSize_ = whole >= 2 && stored.width % whole == 0 && stored.height % whole == 0 ? whole : 1;
    blur_ = {stored.width / blockSize_ > scaledSize_.width ? 3 : 1,
             stored.height / blockSize_ > scaledSize_.height ? 3 : 1};
}

const cv::Mat& FrameShaper::Shaped(const cv::Mat& frame)
{
    if (frame.size() != plannedFor_)
        Plan(frame.size());

    const cv::Mat* picture = &frame;
    if (blockSize_ > 1) {
        cv::resize(*picture, averaged_, frame.size() / blockSize_, 0, 0, cv::INTER_AREA);
        picture = &averaged_;
    }
    if (blur_.area() > 1) {
        cv::GaussianBlur(*picture, blurred_, blur_, 0);
        picture = &blurred_;
    }
    if (picture->size() != scaledSize_) {
        cv::resize(*picture, scaled_, scaledSize_, 0, 0, cv::INTER_LINEAR);
        picture = &scaled_;
    }
    switch (shape_.clockwiseDegrees) {
    case 90: cv::rotate(*picture, turned_, cv::ROTATE_90_CLOCKWISE); return turned_;
    case 180: cv::rotate(*picture, turned_, cv::ROTATE_180); return turned_;
    case 270: cv::rotate(*picture, turned_, cv::ROTATE_90_COUNTERCLOCKWISE); return turned_;
    default: return *picture;
    }
}
