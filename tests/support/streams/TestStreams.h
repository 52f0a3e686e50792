#pragma once

// Writes small test streams whose pictures and stream metadata are known exactly, so what a
// decoder shows can be compared with what was meant.
extern "C" {
#include <libavcodec/codec_par.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct AVPacket;

// One sample in 8-bit code values (Y', Cb, Cr); deeper formats scale it up.
struct YCbCr {
    double luma;
    double blueDifference;
    double redDifference;
};

struct Rgb {
    double red;
    double green;
    double blue;
};

// Y'CbCr of an RGB colour (0..255) under the matrix with luma weights kr and kb.
YCbCr ToYCbCr(const Rgb& rgb, double kr, double kb, bool fullRange);
constexpr double bt709Kr = 0.2126, bt709Kb = 0.0722;
constexpr double bt601Kr = 0.299, bt601Kb = 0.114;

// The picture at (x, y) of frame frameIndex; chroma is sampled at each block's top-left pixel.
using Pattern = std::function<YCbCr(int x, int y, int frameIndex)>;

// Sees every encoded packet before it is written; returning false leaves it out.
using PacketEdit = std::function<bool(AVPacket& packet, int packetIndex)>;

struct Encoding {
    std::string encoder = "libx264";
    int width = 640;
    int height = 360;
    AVPixelFormat pixelFormat = AV_PIX_FMT_YUV420P;
    AVColorSpace matrix = AVCOL_SPC_BT709;
    AVColorPrimaries primaries = AVCOL_PRI_BT709;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_BT709;
    AVColorRange range = AVCOL_RANGE_MPEG;
    AVRational sampleAspect{1, 1};
    // Interlaced, top field first (TT) or bottom field first (BB); the pattern gives each
    // field's lines at its own time.
    AVFieldOrder fieldOrder = AV_FIELD_PROGRESSIVE;
    // What the container says of the matrix, where it is to differ from the codec's headers.
    AVColorSpace containerMatrix = AVCOL_SPC_UNSPECIFIED;
    // Degrees the picture is to be turned clockwise for display (a display matrix).
    std::optional<double> displayRotationClockwise;
    int keyframeInterval = 250;
    std::vector<std::pair<std::string, std::string>> encoderOptions;
};

// Encodes frameCount frames of the pattern into path; the container follows the extension.
void WriteVideo(const std::filesystem::path& path, const Encoding& encoding, int frameCount,
                const Pattern& pattern, const PacketEdit& edit = {});

// Part of a stream encoded on its own, as a recording whose picture changes size mid-stream
// is: the container describes the first part; the frame index runs on across parts.
struct Segment {
    Encoding encoding;
    int frameCount;
};
void WriteVideo(const std::filesystem::path& path, const std::vector<Segment>& segments,
                const Pattern& pattern, const PacketEdit& edit = {});

// Appends the bytes of each part to path: elementary streams concatenate into one stream.
void Concatenate(const std::filesystem::path& path,
                 const std::vector<std::filesystem::path>& parts);
