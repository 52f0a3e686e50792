#include "playback/FrameShape.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

FrameShaper::FrameShaper(const FrameShape& shape)
    : shape_(shape)
{
}

const cv::Mat& FrameShaper::Shaped(const cv::Mat& frame)
{
    if (shape_.AsStored())
        return frame;

    const cv::Mat* picture = &frame;
    if (shape_.aspectNumerator != shape_.aspectDenominator) {
        // The height stays: the lines are the picture's own, only the pixels' width differs.
        const double width = double(frame.cols) * shape_.aspectNumerator / shape_.aspectDenominator;
        const cv::Size size(std::max(1, int(std::lround(width))), frame.rows);
        // Area averages when narrowing, so fine detail does not alias; linear when widening.
        const int filter = size.width < frame.cols ? cv::INTER_AREA : cv::INTER_LINEAR;
        cv::resize(frame, scaled_, size, 0, 0, filter);
        picture = &scaled_;
    }
    switch (shape_.clockwiseDegrees) {
    case 90: cv::rotate(*picture, turned_, cv::ROTATE_90_CLOCKWISE); return turned_;
    case 180: cv::rotate(*picture, turned_, cv::ROTATE_180); return turned_;
    case 270: cv::rotate(*picture, turned_, cv::ROTATE_90_COUNTERCLOCKWISE); return turned_;
    default: return *picture;
    }
}
