// Measures where the frames the player shows (those OpenCV's FFmpeg back end hands over)
// differ from a careful decode of the same stream. It makes its own streams in a temporary
// folder, removes them again, and prints one table row per case; the same rows every run.
//   as_decoded
#include "Decoders.h"
#include "support/streams/TestStreams.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TemporaryFolder {
public:
    TemporaryFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "as_decoded-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("making a temporary folder");
        path_ = pattern;
    }
    ~TemporaryFolder()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

struct Row {
    std::string name;
    std::string reference;
    std::string ours;
    std::string difference;
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

std::string SizeText(const cv::Size& size)
{
    return Format("%dx%d", size.width, size.height);
}

// Mean BGR of a small block: one pixel would also measure the encoder's rounding noise.
cv::Vec3d MeanAround(const cv::Mat& bgr, cv::Point centre, int half = 8)
{
    const cv::Rect block(centre.x - half, centre.y - half, 2 * half, 2 * half);
    const cv::Scalar mean = cv::mean(bgr(block & cv::Rect(0, 0, bgr.cols, bgr.rows)));
    return {mean[0], mean[1], mean[2]};
}

std::string RgbText(const cv::Vec3d& bgr)
{
    return Format("%ld,%ld,%ld", std::lround(bgr[2]), std::lround(bgr[1]), std::lround(bgr[0]));
}

double GreyOf(const cv::Vec3d& bgr)
{
    return (bgr[0] + bgr[1] + bgr[2]) / 3;
}

// Which corner holds the bright marker that was drawn at the stored picture's top left.
std::string MarkerCorner(const cv::Mat& bgr)
{
    const int inset = 16;
    const std::vector<std::pair<const char*, cv::Point>> corners{
        {"top-left", {inset, inset}},
        {"top-right", {bgr.cols - inset, inset}},
        {"bottom-left", {inset, bgr.rows - inset}},
        {"bottom-right", {bgr.cols - inset, bgr.rows - inset}}};
    for (const auto& [name, point] : corners)
        if (GreyOf(MeanAround(bgr, point)) > 128)
            return name;
    return "none";
}

std::string SizeCounts(const std::vector<cv::Size>& sizes)
{
    // Runs of equal sizes, in order: "10x 640x360, 10x 1280x720".
    std::string text;
    for (std::size_t start = 0; start < sizes.size();) {
        std::size_t end = start;
        while (end < sizes.size() && sizes[end] == sizes[start])
            ++end;
        text += Format("%s%zux %s", text.empty() ? "" : ", ", end - start,
                       SizeText(sizes[start]).c_str());
        start = end;
    }
    return text.empty() ? "no frames" : text;
}

constexpr int damagedStreamFrames = 50;

const std::vector<std::pair<std::string, std::string>> losslessX264{
    {"preset", "veryfast"}, {"qp", "0"}};

// 1. Solid colours in an HD stream flagged BT.709 throughout.
Row ColourMatrix(const TemporaryFolder& folder)
{
    const std::vector<std::pair<const char*, Rgb>> colours{
        {"red", {255, 0, 0}}, {"green", {0, 255, 0}}, {"skin", {224, 172, 140}}, {"grey", {128, 128, 128}}};
    Encoding encoding;
    encoding.width = 1280;
    encoding.height = 720;
    encoding.encoderOptions = losslessX264;
    const int bandWidth = encoding.width / static_cast<int>(colours.size());
    const fs::path path = folder / "bt709.mp4";
    WriteVideo(path, encoding, 3, [&](int x, int, int) {
        return ToYCbCr(colours[x / bandWidth].second, bt709Kr, bt709Kb, false);
    });

    auto sample = [&](const cv::Mat& bgr, std::vector<cv::Vec3d>& out) {
        out.clear();
        for (std::size_t band = 0; band < colours.size(); ++band)
            out.push_back(MeanAround(bgr, {static_cast<int>(band) * bandWidth + bandWidth / 2, 360}));
    };
    std::vector<cv::Vec3d> reference, ours;
    DecodeCarefully(path, [&](const ReferenceFrame& frame) { sample(frame.shown, reference); });
    ReadAsOurs(path, [&](const cv::Mat& frame, int) { sample(frame, ours); });

    Row row{"1 BT.709 colours, 1280x720 H.264", "", "", ""};
    double worst = 0;
    std::string worstAt;
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const std::string separator = i ? ", " : "";
        row.reference += separator + colours[i].first + " " + RgbText(reference.at(i));
        row.ours += separator + colours[i].first + " " + RgbText(ours.at(i));
        for (int channel = 0; channel < 3; ++channel) {
            const double off = ours[i][channel] - reference[i][channel];
            if (std::abs(off) > std::abs(worst)) {
                worst = off;
                const char* const channelNames[] = {"blue", "green", "red"};
                worstAt = Format("%s, %s channel", colours[i].first, channelNames[channel]);
            }
        }
    }
    row.difference = Format("up to %+ld levels (%s); ours converts as BT.601", std::lround(worst),
                            worstAt.c_str());
    return row;
}

// 2. Full-range streams: grey levels whose codes use the whole 0..255 (0..1023) scale.
Row FullRange(const TemporaryFolder& folder, const char* name, const char* file, Encoding encoding)
{
    const std::vector<double> levels{0, 64, 128, 192, 255};
    encoding.range = AVCOL_RANGE_JPEG;
    // BT.601 throughout, so the range is the only thing measured here.
    encoding.matrix = AVCOL_SPC_SMPTE170M;
    encoding.primaries = AVCOL_PRI_SMPTE170M;
    encoding.transfer = AVCOL_TRC_SMPTE170M;
    const int bandWidth = encoding.width / static_cast<int>(levels.size());
    const fs::path path = folder / file;
    WriteVideo(path, encoding, 3, [&](int x, int, int) {
        return YCbCr{levels[std::min<std::size_t>(x / bandWidth, levels.size() - 1)], 128, 128};
    });

    auto sample = [&](const cv::Mat& bgr, std::vector<double>& out) {
        out.clear();
        for (std::size_t band = 0; band < levels.size(); ++band)
            out.push_back(GreyOf(MeanAround(bgr, {static_cast<int>(band) * bandWidth + bandWidth / 2,
                                                  encoding.height / 2})));
    };
    std::vector<double> reference, ours;
    std::string decodedAs;
    DecodeCarefully(path, [&](const ReferenceFrame& frame) {
        sample(frame.shown, reference);
        decodedAs = Format("%s, %s", av_get_pix_fmt_name(frame.format),
                           av_color_range_name(frame.range));
    });
    ReadAsOurs(path, [&](const cv::Mat& frame, int) { sample(frame, ours); });

    auto list = [](const std::vector<double>& values) {
        std::string text = "grey";
        for (std::size_t i = 0; i < values.size(); ++i)
            text += Format("%s%ld", i ? "/" : " ", std::lround(values[i]));
        return text;
    };
    double worst = 0;
    for (std::size_t i = 0; i < levels.size(); ++i)
        if (std::abs(ours.at(i) - reference.at(i)) > std::abs(worst))
            worst = ours[i] - reference[i];
    return {Format("%s (decoded as %s)", name, decodedAs.c_str()), list(reference), list(ours),
            std::lround(worst) == 0 ? std::string("none")
                                    : Format("up to %+ld levels: range read as limited",
                                             std::lround(worst))};
}

// 3. Anamorphic PAL 16:9: 720x576 stored, pixels 64:45 wide.
Row SampleAspect(const TemporaryFolder& folder)
{
    Encoding encoding;
    encoding.width = 720;
    encoding.height = 576;
    encoding.sampleAspect = {64, 45};
    encoding.matrix = AVCOL_SPC_SMPTE170M;
    encoding.primaries = AVCOL_PRI_BT470BG;
    encoding.transfer = AVCOL_TRC_SMPTE170M;
    encoding.encoderOptions = {{"preset", "veryfast"}};
    const fs::path path = folder / "anamorphic.mp4";
    WriteVideo(path, encoding, 3, [](int, int, int) { return YCbCr{128, 128, 128}; });

    cv::Size reference, ours;
    DecodeCarefully(path, [&](const ReferenceFrame& frame) { reference = frame.shown.size(); });
    const OursSummary summary = ReadAsOurs(path, [&](const cv::Mat& frame, int) { ours = frame.size(); });
    const double referenceAspect = static_cast<double>(reference.width) / reference.height;
    const double oursAspect = static_cast<double>(ours.width) / ours.height;
    return {"3 anamorphic 16:9, 720x576 SAR 64:45 H.264",
            Format("%s (%.3f:1)", SizeText(reference).c_str(), referenceAspect),
            Format("%s (%.3f:1); CAP_PROP_SAR reads %g:%g", SizeText(ours).c_str(), oursAspect,
                   summary.sampleAspectNum, summary.sampleAspectDen),
            Format("picture %.1f%% too narrow; a circle shows %.2f times as tall as wide",
                   100 * (1 - oursAspect / referenceAspect), referenceAspect / oursAspect)};
}

// 4. A stream stored landscape whose display matrix turns it 90 degrees clockwise.
Row Rotation(const TemporaryFolder& folder)
{
    Encoding encoding;
    encoding.displayRotationClockwise = 90;
    encoding.encoderOptions = {{"preset", "veryfast"}};
    const fs::path path = folder / "rotated.mp4";
    WriteVideo(path, encoding, 3, [](int x, int y, int) {
        return YCbCr{x < 64 && y < 64 ? 235.0 : 40.0, 128, 128};
    });

    std::string reference, ours;
    DecodeCarefully(path, [&](const ReferenceFrame& frame) {
        reference = Format("%s, marker %s", SizeText(frame.shown.size()).c_str(),
                           MarkerCorner(frame.shown).c_str());
    });
    const OursSummary summary = ReadAsOurs(path, [&](const cv::Mat& frame, int) {
        ours = Format("%s, marker %s", SizeText(frame.size()).c_str(), MarkerCorner(frame).c_str());
    });
    ours += Format("; ORIENTATION_AUTO %g, ORIENTATION_META %g", summary.orientationAuto,
                   summary.orientationMeta);
    std::string difference = "none: turned upright";
    if (reference != ours.substr(0, reference.size()))
        difference = ours.compare(0, reference.find(','), reference, 0, reference.find(',')) == 0
                         ? "turned the other way: upside down against the reference"
                         : "not turned";
    return {"4 display matrix 90 deg clockwise, 640x360 stored, marker top-left", reference, ours,
            difference};
}

// 5. Interlaced: each field sampled at its own moment while a square moves.
Row Interlaced(const TemporaryFolder& folder)
{
    Encoding encoding;
    encoding.encoder = "mpeg2video";
    encoding.width = 720;
    encoding.height = 576;
    encoding.matrix = AVCOL_SPC_SMPTE170M;
    encoding.primaries = AVCOL_PRI_BT470BG;
    encoding.transfer = AVCOL_TRC_SMPTE170M;
    encoding.interlacedTopFieldFirst = true;
    encoding.keyframeInterval = 12;
    encoding.encoderOptions = {{"b", "15M"}, {"maxrate", "15M"}, {"bufsize", "1835008"}};
    const int top = 208, bottom = 368, side = 160;
    // The top field is the earlier one; each field moves the square 24 pixels on.
    auto left = [](int y, int frameIndex) { return 100 + 24 * (2 * frameIndex + (y % 2)); };
    const fs::path path = folder / "interlaced.ts";
    constexpr int frameCount = 10;
    WriteVideo(path, encoding, frameCount, [&](int x, int y, int frameIndex) {
        const int start = left(y, frameIndex);
        const bool inside = y >= top && y < bottom && x >= start && x < start + side;
        return YCbCr{inside ? 235.0 : 16.0, 128, 128};
    });

    // Comb: per column, the mean difference between each line and the next across the
    // square's rows; the worst column, averaged over frames. Progressive motion gives ~0.
    auto comb = [&](const cv::Mat& bgr) {
        cv::Mat grey;
        cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
        grey.convertTo(grey, CV_32F);
        cv::Mat columnSum = cv::Mat::zeros(1, grey.cols, CV_32F);
        for (int y = top; y < bottom; y += 2)
            columnSum += cv::abs(grey.row(y) - grey.row(y + 1));
        double worst = 0;
        cv::minMaxLoc(columnSum, nullptr, &worst);
        return worst / ((bottom - top) / 2);
    };
    double referenceComb = 0, oursComb = 0;
    std::string flags = "not flagged";
    DecodeCarefully(path, [&](const ReferenceFrame& frame) {
        referenceComb += comb(frame.shown) / frameCount;
        if (frame.interlaced)
            flags = frame.topFieldFirst ? "flagged interlaced TFF" : "flagged interlaced BFF";
    });
    ReadAsOurs(path, [&](const cv::Mat& frame, int) { oursComb += comb(frame) / frameCount; });
    return {"5 interlaced TFF, 720x576 MPEG-2, square moving 24 px per field",
            Format("%s; shown field by field: comb %.0f", flags.c_str(), referenceComb),
            Format("fields woven: comb %.0f", oursComb),
            Format("comb %+.0f grey levels between adjacent lines at the square's edges",
                   oursComb - referenceComb)};
}

// 6. A raw H.264 stream whose size changes from 640x360 to 1280x720 at an IDR frame.
Row ResolutionChange(const TemporaryFolder& folder)
{
    constexpr int framesPerPart = 10;
    Encoding small;
    small.encoderOptions = losslessX264;
    Encoding large = small;
    large.width = 1280;
    large.height = 720;
    const fs::path first = folder / "first.h264", second = folder / "second.h264";
    WriteVideo(first, small, framesPerPart, [](int, int, int) { return YCbCr{60, 128, 128}; });
    // Left half bright, right half mid: tells a scaled picture from a cropped or stale one.
    WriteVideo(second, large, framesPerPart,
               [](int x, int, int) { return YCbCr{x < 640 ? 200.0 : 120.0, 128, 128}; });
    const fs::path path = folder / "size-change.h264";
    Concatenate(path, {first, second});

    auto halves = [](const cv::Mat& bgr) {
        return Format("left/right grey %ld/%ld",
                      std::lround(GreyOf(MeanAround(bgr, {bgr.cols / 4, bgr.rows / 2}))),
                      std::lround(GreyOf(MeanAround(bgr, {3 * bgr.cols / 4, bgr.rows / 2}))));
    };
    std::vector<cv::Size> referenceSizes, oursSizes;
    std::string referenceLast, oursLast;
    cv::Mat lastSmall;
    int repeats = 0;
    DecodeCarefully(path, [&](const ReferenceFrame& frame) {
        referenceSizes.push_back(frame.shown.size());
        referenceLast = halves(frame.shown);
    });
    ReadAsOurs(path, [&](const cv::Mat& frame, int index) {
        oursSizes.push_back(frame.size());
        oursLast = halves(frame);
        if (index == framesPerPart - 1)
            lastSmall = frame.clone();
        else if (index >= framesPerPart && frame.size() == lastSmall.size() &&
                 cv::norm(frame, lastSmall, cv::NORM_INF) == 0)
            ++repeats;
    });
    std::string difference = "none";
    if (referenceSizes != oursSizes)
        difference = Format("%d of the %d later frames repeat the last 640x360 picture (sws_scale "
                            "rejects the larger ones)", repeats, framesPerPart);
    return {"6 size change mid-stream, H.264 Annex B 640x360 then 1280x720",
            SizeCounts(referenceSizes) + "; last frame " + referenceLast,
            SizeCounts(oursSizes) + "; last frame " + oursLast, difference};
}

// 7. One damaged packet in the middle of a stream with moving texture.
Row Damage(const TemporaryFolder& folder, const char* name, const char* file,
           const PacketEdit& damage, Encoding encoding)
{
    const Pattern texture = [](int x, int y, int frameIndex) {
        const double wave =
            std::sin((x + 6.0 * frameIndex) / 11) * std::cos((y - 4.0 * frameIndex) / 17);
        return YCbCr{128 + 80 * wave, 128 + 30 * wave, 128 - 20 * wave};
    };
    const fs::path clean = folder / ("clean-" + std::string(file)), path = folder / file;
    WriteVideo(clean, encoding, damagedStreamFrames, texture);
    WriteVideo(path, encoding, damagedStreamFrames, texture, damage);

    const int cleanFrames = DecodeCarefully(clean, [](const ReferenceFrame&) {}).frames;
    const ReferenceSummary reference = DecodeCarefully(path, [](const ReferenceFrame&) {});
    const OursSummary ours = ReadAsOurs(path, [](const cv::Mat&, int) {});
    std::string difference = "none";
    if (ours.framesBeforeFailure < reference.frames)
        difference = Format("playback ends %d frames early, at the damage",
                            reference.frames - ours.framesBeforeFailure);
    return {name,
            Format("%d frames (undamaged: %d), %d packet%s rejected", reference.frames,
                   cleanFrames, reference.decodeErrors, reference.decodeErrors == 1 ? "" : "s"),
            Format("%d frames before read() fails; %d more on reading on", ours.framesBeforeFailure,
                   ours.framesAfterFailure),
            difference};
}

}  // namespace

int main()
{
    try {
        TemporaryFolder folder;
        // The libraries' messages (encoder chatter, the damaged streams' complaints) would bury
        // the table; OpenCV raises the log level on every open, so the messages are dropped here.
        av_log_set_callback([](void*, int, const char*, va_list) {});
        std::vector<Row> rows;
        rows.push_back(ColourMatrix(folder));

        Encoding eightBit;
        eightBit.encoderOptions = losslessX264;
        rows.push_back(FullRange(folder, "2a full range, 8-bit H.264", "full8.mp4", eightBit));
        Encoding tenBit = eightBit;
        tenBit.pixelFormat = AV_PIX_FMT_YUV420P10LE;
        rows.push_back(FullRange(folder, "2b full range, 10-bit H.264", "full10.mp4", tenBit));
        Encoding hevc = eightBit;
        hevc.encoder = "libx265";
        hevc.encoderOptions = {{"preset", "veryfast"}, {"x265-params", "log-level=none:lossless=1:pools=1:frame-threads=1"}};
        rows.push_back(FullRange(folder, "2c full range, 8-bit HEVC", "full8.mkv", hevc));

        rows.push_back(SampleAspect(folder));
        rows.push_back(Rotation(folder));
        rows.push_back(Interlaced(folder));
        rows.push_back(ResolutionChange(folder));

        const int middle = damagedStreamFrames / 2;
        Encoding h264;
        h264.encoderOptions = {{"preset", "veryfast"}, {"crf", "23"}};
        Encoding mpeg4;
        mpeg4.encoder = "mpeg4";
        mpeg4.matrix = AVCOL_SPC_SMPTE170M;
        mpeg4.primaries = AVCOL_PRI_SMPTE170M;
        mpeg4.transfer = AVCOL_TRC_SMPTE170M;
        mpeg4.encoderOptions = {{"b", "1M"}};
        rows.push_back(Damage(folder, "7a H.264 in MP4, one packet's second half overwritten",
                              "overwritten.mp4", [&](AVPacket& packet, int index) {
                                  if (index == middle && av_packet_make_writable(&packet) >= 0)
                                      for (int i = packet.size / 2; i < packet.size; ++i)
                                          packet.data[i] ^= 0xA5;
                                  return true;
                              }, h264));
        rows.push_back(Damage(folder, "7b H.264 in MP4, one packet left out", "missing.mp4",
                              [&](AVPacket&, int index) { return index != middle; }, h264));
        rows.push_back(Damage(folder, "7c MPEG-4 Visual in MP4, one picture header damaged",
                              "bad-header.mp4", [&](AVPacket& packet, int index) {
                                  // Past the start code, into the picture's coding type and
                                  // time stamp: the decoder rejects the whole packet.
                                  if (index == middle && av_packet_make_writable(&packet) >= 0)
                                      for (int i = 5; i < std::min(packet.size, 9); ++i)
                                          packet.data[i] ^= 0xFF;
                                  return true;
                              }, mpeg4));

        std::printf("case | reference | ours | difference\n");
        for (const Row& row : rows)
            std::printf("%s | %s | %s | %s\n", row.name.c_str(), row.reference.c_str(),
                        row.ours.c_str(), row.difference.c_str());
        std::fflush(stdout);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "as_decoded: %s\n", error.what());
        return 1;
    }
    return 0;
}
