// Writes a test video for the black-box test: red frames, then a last blue one; with --bars,
// colour bars for a screenshot; with --bt709, saturated red in a lossless HD stream that says
// it is BT.709.
//   write_test_video PATH FRAMES [--bars | --bt709]
#include "support/streams/TestStreams.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    const std::string mode = argc == 4 ? argv[3] : "";
    const bool bars = mode == "--bars";
    if (argc != 3 && !bars && mode != "--bt709") {
        std::fprintf(stderr, "usage: write_test_video PATH FRAMES [--bars | --bt709]\n");
        return 2;
    }
    const int frames = std::atoi(argv[2]);
    if (mode == "--bt709") {
        Encoding encoding;
        encoding.width = 1280;
        encoding.height = 720;
        encoding.encoderOptions = {{"preset", "ultrafast"}, {"qp", "0"}};
        const YCbCr red = ToYCbCr({255, 0, 0}, bt709Kr, bt709Kb, false);
        WriteVideo(argv[1], encoding, frames, [&](int, int, int) { return red; });
        return 0;
    }
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
