#include "Media.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

bool WriteBenchVideo(const std::string& path, int width, int height, int frames)
{
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('a', 'v', 'c', '1'), 30,
                           cv::Size(width, height));
    if (!writer.isOpened())
        return false;
    // A coarse pattern that drifts, under shapes that move: detail like a real scene's,
    // without the noise that no camera footage has.
    cv::Mat pattern(9, 16, CV_8UC3);
    cv::RNG(7).fill(pattern, cv::RNG::UNIFORM, 0, 255);
    cv::Mat background;
    cv::resize(pattern, background, cv::Size(width * 2, height), 0, 0, cv::INTER_CUBIC);
    cv::Mat frame;
    for (int i = 0; i < frames; ++i) {
        background(cv::Rect((i * 3) % width, 0, width, height)).copyTo(frame);
        const int x = (i * 7) % width;
        cv::circle(frame, {x, height / 2}, height / 4, cv::Scalar(40, 200, 240), cv::FILLED);
        cv::rectangle(frame, {width - x, height / 5}, {width - x + width / 6, height / 3},
                      cv::Scalar(220, 60, 30), cv::FILLED);
        cv::putText(frame, std::to_string(i), {width / 20, height - height / 10},
                    cv::FONT_HERSHEY_SIMPLEX, height / 200.0, cv::Scalar(255, 255, 255), 3);
        writer.write(frame);
    }
    return true;
}
