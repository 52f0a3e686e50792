// What the player shows against a careful decode of the same stream (libavcodec and libswscale,
// as the stream describes itself), on streams made here. Each row prints itself as a row of
// docs/as-decoded.md:
//   playback_tests --gtest_filter='*AsDecoded*'
#include "playback/FrameReader.h"
#include "playback/PlayVideo.h"

#include "support/TestVideo.h"
#include "support/VideoWindow.h"
#include "support/streams/CarefulDecode.h"
#include "support/streams/TestStreams.h"

extern "C" {
#include <libavcodec/packet.h>
}

#include <QImage>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// What a careful decode shows, what the player shows, and how far apart they are.
struct Row {
    std::string reference, ours;
    double difference;
};

struct Case {
    const char* name;
    std::function<Row(const TestVideoFolder&)> measure;
    double tolerance;
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

// Saturated primaries, a skin tone and a grey scale, in bands across the picture.
const std::vector<Rgb> bands{{255, 0, 0},    {0, 255, 0},     {0, 0, 255},     {224, 172, 140}, {0, 0, 0},
                             {64, 64, 64},   {128, 128, 128}, {192, 192, 192}, {255, 255, 255}};

// The mean red, green and blue of the 8x8 block at (x, y).
std::array<double, 3> MeanAround(const QImage& image, int x, int y)
{
    std::array<double, 3> sum{};
    for (int dy = -4; dy < 4; ++dy)
        for (int dx = -4; dx < 4; ++dx) {
            const QRgb pixel = image.pixel(x + dx, y + dy);
            sum[0] += qRed(pixel), sum[1] += qGreen(pixel), sum[2] += qBlue(pixel);
        }
    return {sum[0] / 64, sum[1] / 64, sum[2] / 64};
}

std::array<double, 3> MeanAround(const cv::Mat& bgr, int x, int y)
{
    const cv::Scalar mean = cv::mean(bgr(cv::Rect(x - 4, y - 4, 8, 8)));
    return {mean[2], mean[1], mean[0]};
}

std::string Text(const std::array<double, 3>& rgb)
{
    char text[32];
    std::snprintf(text, sizeof text, " %.0f,%.0f,%.0f", rgb[0], rgb[1], rgb[2]);
    return text;
}

// The bands, written losslessly with the luma weights kr and kb into a stream described as
// describe says, played: the colours "video" shows, band by band.
// A container may be given; MPEG-TS carries no colour of its own.
std::function<Row(const TestVideoFolder&)> Colours(std::function<void(Encoding&)> describe, double kr, double kb,
                                                   std::string container = "")
{
    return [=](const TestVideoFolder& folder) {
        Encoding encoding;
        encoding.encoderOptions = {{"preset", "veryfast"}, {"qp", "0"}};
        describe(encoding);
        const int bandWidth = encoding.width / int(bands.size());
        const std::string path =
            folder.PathOf("bands." + (!container.empty() ? container : encoding.encoder == "libx265" ? "mkv" : "mp4"));
        WriteVideo(path, encoding, 3, [&](int x, int, int) {
            const Rgb& colour = bands[std::min<std::size_t>(x / bandWidth, bands.size() - 1)];
            return ToYCbCr(colour, kr, kb, encoding.range == AVCOL_RANGE_JPEG);
        });
        cv::Mat reference;
        DecodeCarefully(path, [&](const ReferenceFrame& frame) { reference = frame.shown; });

        PlayVideo(path);

        const QImage shown = videowindow::ShownPicture();
        if (shown.size() != QSize(reference.cols, reference.rows))
            return Row{"", "a picture of another size", 255};
        Row row{"", "", 0};
        for (std::size_t band = 0; band < bands.size(); ++band) {
            const int x = int(band) * bandWidth + bandWidth / 2, y = encoding.height / 2;
            const auto ours = MeanAround(shown, x, y), theirs = MeanAround(reference, x, y);
            for (int channel = 0; channel < 3; ++channel)
                row.difference = std::max(row.difference, std::abs(ours[channel] - theirs[channel]));
            row.reference += Text(theirs), row.ours += Text(ours);
        }
        return row;
    };
}

// Moving texture.
YCbCr Texture(int x, int y, int frame)
{
    const double wave = std::sin((x + 6.0 * frame) / 11) * std::cos((y - 4.0 * frame) / 17);
    return YCbCr{128 + 80 * wave, 128 + 30 * wave, 128 - 20 * wave};
}

// Frames of moving texture, coded as the encoder and container given, with one packet
// damaged: the frames the player shows, against those a careful decode gets past the damage.
std::function<Row(const TestVideoFolder&)> FramesAfterDamage(PacketEdit damage, int frames = 50,
                                                             std::string encoder = "libx264",
                                                             std::string container = "mp4")
{
    return [=](const TestVideoFolder& folder) {
        Encoding encoding;
        encoding.encoder = encoder;
        encoding.encoderOptions = {{"preset", "veryfast"}, {"crf", "23"}};
        if (encoder == "libx265")
            encoding.encoderOptions.emplace_back("x265-params", "log-level=none:pools=1:frame-threads=1");
        if (encoder == "mpeg4")
            encoding.encoderOptions = {{"qscale", "4"}};
        const std::string path = folder.PathOf("damaged." + container);
        WriteVideo(path, encoding, frames, Texture, damage);
        const int reference = DecodeCarefully(path, [](const ReferenceFrame&) {}).frames;
        // Read as the player reads it.
        FrameReader reader(VideoSource::File(path), {});
        cv::Mat frame;
        int ours = 0;
        const auto patience = std::chrono::seconds(10);
        while (reader.Take(frame, FrameReader::Clock::now() + patience) == FrameReader::Next::Frame)
            ++ours;
        return Row{" " + std::to_string(reference) + " frames", " " + std::to_string(ours) + " frames",
                   double(std::abs(reference - ours))};
    };
}

// The first four bytes of the packet overwritten, as a bad sector or an interrupted copy
// leaves them: the decoder rejects the packet.
bool FirstBytesOverwritten(AVPacket& packet, int index)
{
    if (index == 35 && av_packet_make_writable(&packet) >= 0)
        std::fill_n(packet.data, std::min(packet.size, 4), 0xA5);
    return true;
}

// 20 frames at 640x360, dark, then 20 at 1280x720, bright on the left and mid-grey on the
// right, as a screen recording whose shared window was resized: the last picture shown.
std::function<Row(const TestVideoFolder&)> SizeChange(std::string encoder, std::string container)
{
    return [=](const TestVideoFolder& folder) {
        Encoding small;
        small.encoder = encoder;
        small.width = 640, small.height = 360;
        small.encoderOptions = encoder == "libx264"
            ? std::vector<std::pair<std::string, std::string>>{{"preset", "veryfast"}, {"crf", "18"}}
            : std::vector<std::pair<std::string, std::string>>{{"deadline", "realtime"}, {"cpu-used", "8"}};
        Encoding large = small;
        large.width = 1280, large.height = 720;
        const std::string path = folder.PathOf("resized." + container);
        WriteVideo(path, {{small, 20}, {large, 20}}, [](int x, int, int frame) {
            return YCbCr{frame < 20 ? 51.0 : x < 640 ? 214.0 : 121.0, 128, 128};
        });
        cv::Mat reference;
        DecodeCarefully(path, [&](const ReferenceFrame& frame) { reference = frame.shown; });

        PlayVideo(path);

        const QImage shown = videowindow::ShownPicture(QSize(reference.cols, reference.rows));
        const std::string size = " " + std::to_string(reference.cols) + "x" + std::to_string(reference.rows);
        if (shown.size() != QSize(reference.cols, reference.rows))
            return Row{size, " " + std::to_string(shown.width()) + "x" + std::to_string(shown.height()), 255};
        Row row{size + ", left/right", size + ", left/right", 0};
        for (const int x : {reference.cols / 4, reference.cols * 3 / 4}) {
            const auto ours = MeanAround(shown, x, reference.rows / 2);
            const auto theirs = MeanAround(reference, x, reference.rows / 2);
            row.difference = std::max(row.difference, std::abs(ours[1] - theirs[1]));
            row.reference += Text(theirs), row.ours += Text(ours);
        }
        return row;
    };
}

class AsDecoded : public testing::TestWithParam<Case> {
protected:
    TestVideoFolder folder;
};

TEST_P(AsDecoded, ShowsWhatACarefulDecodeShows)
{
    const Case& c = GetParam();
    const Row row = c.measure(folder);
    std::printf("%s |%s |%s | difference %.0f\n", c.name, row.reference.c_str(), row.ours.c_str(), row.difference);
    EXPECT_LE(row.difference, c.tolerance) << "careful decode:" << row.reference << "\nshown:" << row.ours;
}

// Two readers at once, each reading a file of other colours (BT.601 and BT.709): each frame of
// each is in its own file's, however their reads and conversions interleave.
TEST(AsDecodedTwice, TwoReadersEachInTheirOwnFilesColours)
{
    TestVideoFolder folder;
    const Rgb red{255, 0, 0};
    struct File {
        std::string path;
        cv::Vec3d expected;  // BGR, as a careful decode shows the red
    };
    std::vector<File> files;
    for (const auto& [matrix, kr, kb] : {std::tuple{AVCOL_SPC_SMPTE170M, bt601Kr, bt601Kb},
                                         std::tuple{AVCOL_SPC_BT709, bt709Kr, bt709Kb}}) {
        Encoding encoding;
        encoding.width = 640, encoding.height = 360;
        encoding.matrix = matrix;
        encoding.encoderOptions = {{"preset", "veryfast"}, {"qp", "0"}};
        const std::string path = folder.PathOf(std::to_string(matrix) + ".mp4");
        WriteVideo(path, encoding, 30, [&, kr = kr, kb = kb](int, int, int) { return ToYCbCr(red, kr, kb, false); });
        cv::Mat reference;
        DecodeCarefully(path, [&](const ReferenceFrame& frame) { reference = frame.shown; });
        files.push_back({path, cv::Vec3d(reference.at<cv::Vec3b>(180, 320))});
    }
    // The convention would take both for BT.601: only each file's own description tells them apart.
    FrameReader first(VideoSource::File(files[0].path), {}), second(VideoSource::File(files[1].path), {});
    cv::Mat frame;
    int frames = 0;
    for (bool more = true; more;) {
        more = false;
        for (auto& [reader, file] : {std::pair<FrameReader&, File&>{first, files[0]}, {second, files[1]}}) {
            if (reader.Take(frame, FrameReader::Clock::now() + std::chrono::seconds(10)) != FrameReader::Next::Frame)
                continue;
            more = true, ++frames;
            EXPECT_LE(cv::norm(cv::Vec3d(frame.at<cv::Vec3b>(180, 320)), file.expected, cv::NORM_INF), 3)
                << file.path << " frame " << frames;
        }
    }
    EXPECT_EQ(frames, 60);
}

// A stream of the size given that says it is made as the matrix, primaries and transfer say.
std::function<void(Encoding&)> Stream(int width, int height, AVColorSpace matrix, AVColorPrimaries primaries,
                                      AVColorTransferCharacteristic transfer)
{
    return [=](Encoding& e) {
        e.width = width, e.height = height;
        e.matrix = matrix, e.primaries = primaries, e.transfer = transfer;
    };
}

// Full range, in the formats given: x264's 8 or 10 bits, or x265.
std::function<void(Encoding&)> FullRange(AVPixelFormat format, const std::string& encoder = "libx264")
{
    return [=](Encoding& e) {
        Stream(640, 360, AVCOL_SPC_SMPTE170M, AVCOL_PRI_SMPTE170M, AVCOL_TRC_SMPTE170M)(e);
        e.range = AVCOL_RANGE_JPEG;
        e.pixelFormat = format;
        if (encoder == "libx265")
            e.encoderOptions = {{"preset", "veryfast"},
                                {"x265-params", "log-level=none:lossless=1:pools=1:frame-threads=1"}};
        e.encoder = encoder;
    };
}

constexpr int damagedPacket = 25;

INSTANTIATE_TEST_SUITE_P(
    Streams, AsDecoded,
    testing::Values(
        Case{"Bt709Hd", Colours(Stream(1280, 720, AVCOL_SPC_BT709, AVCOL_PRI_BT709, AVCOL_TRC_BT709), bt709Kr, bt709Kb), 3},
        Case{"Bt601Sd",
             Colours(Stream(720, 576, AVCOL_SPC_SMPTE170M, AVCOL_PRI_SMPTE170M, AVCOL_TRC_SMPTE170M), bt601Kr,
                     bt601Kb),
             3},
        Case{"FullRange8Bit", Colours(FullRange(AV_PIX_FMT_YUV420P), bt601Kr, bt601Kb), 3},
        Case{"FullRange10Bit", Colours(FullRange(AV_PIX_FMT_YUV420P10LE), bt601Kr, bt601Kb), 3},
        Case{"FullRangeHevc", Colours(FullRange(AV_PIX_FMT_YUV420P, "libx265"), bt601Kr, bt601Kb), 3},
        Case{"UnflaggedHd",
             Colours(Stream(1280, 720, AVCOL_SPC_UNSPECIFIED, AVCOL_PRI_UNSPECIFIED, AVCOL_TRC_UNSPECIFIED), bt709Kr,
                     bt709Kb),
             3},
        Case{"Bt2020",
             Colours(
                 [](Encoding& e) {
                     Stream(1280, 720, AVCOL_SPC_BT2020_NCL, AVCOL_PRI_BT2020, AVCOL_TRC_BT2020_10)(e);
                     e.pixelFormat = AV_PIX_FMT_YUV420P10LE;
                 },
                 0.2627, 0.0593),
             3},
        Case{"Bt601OnlyInTheCodecTs",
             Colours(Stream(1280, 720, AVCOL_SPC_SMPTE170M, AVCOL_PRI_SMPTE170M, AVCOL_TRC_SMPTE170M), bt601Kr,
                     bt601Kb, "ts"),
             3},
        // Remuxed SD material: the container says BT.709, the codec's own headers BT.601.
        Case{"Bt601InTheCodecBt709InTheMkv",
             Colours(
                 [](Encoding& e) {
                     Stream(1280, 720, AVCOL_SPC_SMPTE170M, AVCOL_PRI_SMPTE170M, AVCOL_TRC_SMPTE170M)(e);
                     e.containerMatrix = AVCOL_SPC_BT709;
                 },
                 bt601Kr, bt601Kb, "mkv"),
             3},
        Case{"SizeChangeVp9Webm", SizeChange("libvpx-vp9", "webm"), 3},
        Case{"SizeChangeH264Mp4", SizeChange("libx264", "mp4"), 3},
        // A packet the decoder rejects is skipped, and the frames after it are shown.
        Case{"H264FirstBytesOverwritten", FramesAfterDamage(FirstBytesOverwritten, 70, "libx264", "avi"), 1},
        Case{"HevcFirstBytesOverwritten", FramesAfterDamage(FirstBytesOverwritten, 70, "libx265"), 1},
        Case{"Mpeg4FirstBytesOverwritten", FramesAfterDamage(FirstBytesOverwritten, 70, "mpeg4", "avi"), 1},
        // H.264 conceals the damage: no frame is lost.
        Case{"H264PacketOverwritten", FramesAfterDamage([](AVPacket& packet, int index) {
                 if (index == damagedPacket && av_packet_make_writable(&packet) >= 0)
                     for (int i = packet.size / 2; i < packet.size; ++i)
                         packet.data[i] ^= 0xA5;
                 return true;
             }),
             0},
        Case{"H264PacketLeftOut", FramesAfterDamage([](AVPacket&, int index) { return index != damagedPacket; }),
             0}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
