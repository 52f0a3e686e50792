// Writes a test video for the black-box test: red frames, then a last blue one; or, with
// --bars, colour bars for a screenshot.
//   write_test_video PATH FRAMES [--bars]
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    const bool bars = argc == 4 && std::string(argv[3]) == "--bars";
    if (argc != 3 && !bars) {
        std::fprintf(stderr, "usage: write_test_video PATH FRAMES [--bars]\n");
        return 2;
    }
    const int frames = std::atoi(argv[2]);
    const cv::Size size(160, 120);
    if (bars) {
        cv::VideoWriter writer(argv[1], cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, size);
        if (!writer.isOpened() || frames < 1)
            return 1;
        const cv::Scalar colours[] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                      {255, 0, 255}, {0, 0, 255}, {255, 0, 0}, {40, 40, 40}};
        for (int i = 0; i < frames; ++i) {
            cv::Mat frame(size, CV_8UC3);
            for (int bar = 0; bar < 8; ++bar)
                frame(cv::Rect(bar * 20, 0, 20, 120)).setTo(colours[bar]);
            cv::circle(frame, {20 + (i * 4) % 120, 60}, 18, cv::Scalar(30, 30, 30), cv::FILLED);
            writer.write(frame);
        }
        return 0;
    }
    cv::VideoWriter writer(argv[1], cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, size);
    if (!writer.isOpened() || frames < 1)
        return 1;
    for (int i = 1; i < frames; ++i)
        writer.write(cv::Mat(size, CV_8UC3, cv::Scalar(0, 0, 255)));
    writer.write(cv::Mat(size, CV_8UC3, cv::Scalar(255, 0, 0)));
    return 0;
}
