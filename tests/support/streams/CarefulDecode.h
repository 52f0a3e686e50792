#pragma once

// A careful decode of a stream with the FFmpeg libraries: the reference that what the player
// shows is measured against.
extern "C" {
#include <libavutil/pixfmt.h>
}

#include <opencv2/core.hpp>

#include <filesystem>
#include <functional>

struct AVFrame;

struct ReferenceFrame {
    const AVFrame* decoded = nullptr;  // as the decoder made it; valid while it is handed over
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
// its colour matrix and range (unflagged: BT.709 from 1280 wide or more than 576 lines,
// BT.601 below), its sample aspect ratio, its display rotation, its fields.
ReferenceSummary DecodeCarefully(const std::filesystem::path& path,
                                 const std::function<void(const ReferenceFrame&)>& onFrame);
