#include "playback/FrameShape.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <utility>

FrameShaper::FrameShaper(const FrameShape& shape, cv::Size room, double pixelRatio)
    : shape_(shape)
    , room_(room)
    , pixelRatio_(pixelRatio)
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
    // The window takes that size; its picture has as many pixels as the screen gives it. A
    // picture smaller than that is enlarged smoothly (the interpolation below), never left to
    // the window, which would repeat pixels.
    const cv::Size window(std::max(1, int(std::lround(width))), std::max(1, int(std::lround(height))));
    const cv::Size upright(int(std::lround(window.width * pixelRatio_)), int(std::lround(window.height * pixelRatio_)));
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

void FrameShaper::UseLight(const StreamLight& light)
{
    if (light == light_)
        return;
    light_ = light;
    if (light.Hdr())
        toneMapper_.emplace(light);
    else
        toneMapper_.reset();
}

void FrameShaper::Shape(const YcbcrPlanes& frame, cv::Mat& picture)
{
    const cv::Size stored = frame.luma.size();
    if (stored != plannedFor_)
        Plan(stored);
    const bool halvedChroma = frame.blueDifference.cols < stored.width && frame.blueDifference.rows < stored.height;
    const int box = blockSize_ % 2 == 0 && halvedChroma ? 2 : 1;
    if (blockSize_ == box && blur_.area() == 1 && stored / box == scaledSize_ && shape_.clockwiseDegrees == 0) {
        toneMapper_->Map(frame, box, picture);
        return;
    }
    toneMapper_->Map(frame, box, mapped_);
    Reshape(mapped_, blockSize_ / box, picture);
}

bool FrameShaper::Reshapes(cv::Size stored)
{
    if (stored != plannedFor_)
        Plan(stored);
    return blockSize_ > 1 || blur_.area() > 1 || stored != scaledSize_ || shape_.clockwiseDegrees != 0;
}

cv::Size FrameShaper::ShapedSize(cv::Size stored)
{
    if (stored != plannedFor_)
        Plan(stored);
    return shape_.clockwiseDegrees % 180 != 0 ? cv::Size(scaledSize_.height, scaledSize_.width) : scaledSize_;
}

void FrameShaper::Shape(cv::Mat& frame, cv::Mat& picture)
{
    if (!Reshapes(frame.size())) {
        cv::swap(frame, picture);
        return;
    }
    Reshape(frame, blockSize_, picture);
}

void FrameShaper::Reshape(const cv::Mat& frame, int block, cv::Mat& picture)
{
    const bool average = block > 1, blur = blur_.area() > 1;
    const bool scale = (average ? frame.size() / block : frame.size()) != scaledSize_;
    const int turn = shape_.clockwiseDegrees;
    int steps = int(average) + int(blur) + int(scale) + int(turn != 0);
    // Each step reads the last one's result; the last step writes the picture itself.
    const cv::Mat* from = &frame;
    const auto into = [&](cv::Mat& between) -> cv::Mat& { return --steps == 0 ? picture : between; };
    if (average) {
        cv::Mat& to = into(averaged_);
        cv::resize(*from, to, frame.size() / block, 0, 0, cv::INTER_AREA);
        from = &to;
    }
    if (blur) {
        cv::Mat& to = into(blurred_);
        cv::GaussianBlur(*from, to, blur_, 0);
        from = &to;
    }
    if (scale) {
        cv::Mat& to = into(scaled_);
        cv::resize(*from, to, scaledSize_, 0, 0, cv::INTER_LINEAR);
        from = &to;
    }
    if (turn != 0) {
        cv::Mat& to = into(turned_);
        cv::rotate(*from, to,
                   turn == 90    ? cv::ROTATE_90_CLOCKWISE
                   : turn == 180 ? cv::ROTATE_180
                                 : cv::ROTATE_90_COUNTERCLOCKWISE);
    }
}
