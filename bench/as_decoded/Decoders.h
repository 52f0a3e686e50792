#pragma once

// The two ways a stream is turned into pictures here: a careful decode with the FFmpeg
// libraries, and what the player's own reading with OpenCV hands over.
#include "support/streams/CarefulDecode.h"

#include <opencv2/core.hpp>

#include <filesystem>
#include <functional>

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
