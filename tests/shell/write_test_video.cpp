// Writes a test video for the black-box test: red frames, then a last blue one.
//   write_test_video PATH FRAMES
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: write_test_video PATH FRAMES\n");
        return 2;
    }
    const int frames = std::atoi(argv[2]);
    const cv::Size size(160, 120);
    cv::VideoWriter writer(argv[1], cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, size);
    if (!writer.isOpened() || frames < 1)
        return 1;
    for (int i = 1; i < frames; ++i)
        writer.write(cv::Mat(size, CV_8UC3, cv::Scalar(0, 0, 255)));
    writer.write(cv::Mat(size, CV_8UC3, cv::Scalar(255, 0, 0)));
    return 0;
}
