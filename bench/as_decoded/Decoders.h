#pragma once

// The two ways a stream is turned into pictures here: a careful decode with the FFmpeg
// libraries, and what the player's own reading with OpenCV hands over.
extern "C" {
#include <libavutil/pixfmt.h>
}

#include <opencv2/core.hpp>

#include <filesystem>
#include <functional>

struct ReferenceFrame {
    cv::Mat shown;  // BGR, as a careful decode shows it
    cv::Size stored;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
    AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
    bool interlaced = false;
    bool topFieldFirst = false;
};

struct ReferenceSummary {
    int frames = 0;
    int decodeErrors = 0;
    int rotationClockwise = 0;
};

// Decodes every frame it can, going on past damage, and converts each as the stream says:
// its colour matrix and range, its sample aspect ratio, its display rotation, its fields.
ReferenceSummary DecodeCarefully(const std::filesystem::path& path,
                                 const std::function<void(const ReferenceFrame&)>& onFrame);

struct OursSummary {
    bool opened = false;
    int framesBeforeFailure = 0;  // what the player shows: it stops at the first failed read
    int framesAfterFailure = 0;   // frames further reads would still have handed over
    double orientationAuto = 0;
    double orientationMeta = 0;
    double sampleAspectNum = 0;
    double sampleAspectDen = 0;
};

// Reads the file as the player does: cv::VideoCapture(path, cv::CAP_FFMPEG) and read().
OursSummary ReadAsOurs(const std::filesystem::path& path,
                       const std::function<void(const cv::Mat& frame, int index)>& onFrame);
