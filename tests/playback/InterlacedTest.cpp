// Interlaced video as people have it (a camcorder's AVCHD clip, a DVD, a stream that switches),
// played: no combs on what "video" shows, progressive frames exactly as OpenCV decodes them,
// and as many frames as a careful decode has.
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
#include <QTimer>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

// A white bar crossing a dark picture, 24 pixels a field: each line shows its own field's
// moment, the first field's lines (even ones when the top field comes first) the earlier.
YCbCr Bar(int x, int y, int frame, int width, AVFieldOrder order)
{
    const bool second = order == AV_FIELD_TT ? y % 2 == 1 : order == AV_FIELD_BB && y % 2 == 0;
    const int left = (24 * (2 * frame + second)) % (width - width / 8);
    return {x >= left && x < left + width / 8 ? 235.0 : 40.0, 128, 128};
}

// The share of pixels that are comb teeth: a pixel whose neighbour below differs by more than
// 64 levels while the one two rows down is within 16 of it, as woven fields taken apart in time
// leave them.
double CombShare(const QImage& picture)
{
    const QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);
    long teeth = 0;
    for (int y = 0; y + 2 < grey.height(); ++y) {
        const uchar *row = grey.constScanLine(y), *below = grey.constScanLine(y + 1), *twoDown = grey.constScanLine(y + 2);
        for (int x = 0; x < grey.width(); ++x)
            teeth += std::abs(row[x] - below[x]) > 64 && std::abs(row[x] - twoDown[x]) <= 16;
    }
    return double(teeth) / (double(grey.width()) * grey.height());
}

struct Stream {
    const char* name;
    std::string container;
    std::vector<Segment> segments;
    QSize shown;  // empty: as it may be
    bool lastProgressive = false;  // its last frame is compared with OpenCV's own decode
    PacketEdit damage = {};
    bool firstField = false;  // its last picture's first field is compared with a careful decode
};

void PrintTo(const Stream& stream, std::ostream* out)
{
    *out << stream.name;
}

Encoding Interlaced(const char* encoder, int width, int height, AVFieldOrder order)
{
    Encoding encoding;
    encoding.encoder = encoder;
    encoding.width = width, encoding.height = height;
    encoding.fieldOrder = order;
    // Standard definition is BT.601, as such files are, and as OpenCV converts by itself.
    if (height <= 576)
        encoding.matrix = AVCOL_SPC_SMPTE170M, encoding.primaries = AVCOL_PRI_SMPTE170M,
        encoding.transfer = AVCOL_TRC_SMPTE170M;
    if (std::string(encoder) == "libx264")
        encoding.encoderOptions = {{"preset", "veryfast"}, {"crf", "16"}};
    else if (std::string(encoder) == "mpeg2video")
        encoding.encoderOptions = {{"b", "9000000"}};
    return encoding;
}

class Interlacing : public testing::TestWithParam<Stream> {
protected:
    TestVideoFolder folder;
};

TEST_P(Interlacing, ShownAsPicturesFrameForFrame)
{
    const Stream& stream = GetParam();
    const std::string path = folder.PathOf("clip." + stream.container);
    std::vector<int> ends;  // where each segment's frames end
    for (const Segment& segment : stream.segments)
        ends.push_back((ends.empty() ? 0 : ends.back()) + segment.frameCount);
    WriteVideo(
        path, stream.segments,
        [&](int x, int y, int frame) {
            const auto segment = std::size_t(std::upper_bound(ends.begin(), ends.end(), frame) - ends.begin());
            const Encoding& encoding = stream.segments[std::min(segment, ends.size() - 1)].encoding;
            return Bar(x, y, frame, encoding.width, encoding.fieldOrder);
        },
        stream.damage);

    // Every picture shown, looked at as events are serviced while it plays.
    double worstComb = 0;
    int looks = 0;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        const QImage shown = videowindow::ShownPicture();
        if (!shown.isNull())
            worstComb = std::max(worstComb, CombShare(shown)), ++looks;
    });
    look.start(5);
    PlayVideo(path);
    look.stop();
    const QImage last = stream.shown.isEmpty() ? videowindow::ShownPicture() : videowindow::ShownPicture(stream.shown);

    ASSERT_FALSE(last.isNull());
    if (!stream.shown.isEmpty()) {
        EXPECT_EQ(last.size(), stream.shown);
    }
    worstComb = std::max(worstComb, CombShare(last));
    RecordProperty("worst_comb_share", std::to_string(worstComb));
    EXPECT_LT(worstComb, 0.001) << "combs on " << worstComb * 100 << "% of the pixels, in " << looks + 1 << " looks";
    const QImage rgb = last.convertToFormat(QImage::Format_RGB888);
    const cv::Mat shownRgb(rgb.height(), rgb.width(), CV_8UC3, const_cast<uchar*>(rgb.constBits()),
                           std::size_t(rgb.bytesPerLine()));
    if (stream.lastProgressive) {
        cv::VideoCapture bare(path, cv::CAP_FFMPEG);
        cv::Mat frame, decoded;
        while (bare.read(frame))
            frame.copyTo(decoded);
        cv::Mat expected;
        cv::cvtColor(decoded, expected, cv::COLOR_BGR2RGB);
        ASSERT_EQ(expected.size(), shownRgb.size());
        EXPECT_EQ(cv::norm(expected, shownRgb, cv::NORM_INF), 0) << "the progressive frame is not as decoded";
    }

    // As many frames as the careful decode has, which keeps the field its stream says comes
    // first: a picture made from the other field has its lines half a frame late.
    cv::Mat careful;
    bool topFirst = true;
    const int decoded = DecodeCarefully(path, [&](const ReferenceFrame& frame) {
                            cv::cvtColor(frame.shown, careful, cv::COLOR_BGR2RGB);
                            topFirst = frame.topFieldFirst;
                        }).frames;
    if (stream.firstField) {
        ASSERT_EQ(careful.size(), shownRgb.size());
        double off = 0;
        for (int y = topFirst ? 0 : 1; y < careful.rows; y += 2)
            off += cv::norm(careful.row(y), shownRgb.row(y), cv::NORM_L1);
        off /= double(careful.total() / 2 * 3);
        EXPECT_LT(off, 2) << "levels off on average on the first field's lines";
    }
    FrameReader reader(VideoSource::File(path), {});
    cv::Mat frame;
    int read = 0;
    while (reader.Take(frame, FrameReader::Clock::now() + std::chrono::seconds(10)) == FrameReader::Next::Frame)
        ++read;
    EXPECT_EQ(read, decoded);
}

// The first bytes of packet 10 overwritten: the decoder rejects it.
bool TenthDamaged(AVPacket& packet, int index)
{
    if (index == 10 && av_packet_make_writable(&packet) >= 0)
        std::fill_n(packet.data, std::min(packet.size, 4), 0xA5);
    return true;
}

Encoding Wide(Encoding encoding, AVRational aspect)
{
    encoding.sampleAspect = aspect;
    return encoding;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Interlacing,
    testing::Values(
        // A camcorder's AVCHD clip.
        Stream{"H264_1080i_TopFirst_M2ts", "m2ts", {{Interlaced("libx264", 1920, 1080, AV_FIELD_TT), 12}}, {1920, 1080}},
        // A DVD's picture, 4:3.
        Stream{"Mpeg2_576i_TopFirst_Vob",
               "vob",
               {{Wide(Interlaced("mpeg2video", 720, 576, AV_FIELD_TT), {16, 15}), 20}},
               {768, 576}},
        Stream{"Mpeg2_576i_BottomFirst_Vob",
               "vob",
               {{Wide(Interlaced("mpeg2video", 720, 576, AV_FIELD_BB), {16, 15}), 20}},
               {768, 576}},
        Stream{"H264_576i_BottomFirst_Ts", "ts", {{Interlaced("libx264", 720, 576, AV_FIELD_BB), 12}}, {720, 576},
               false, {}, true},
        // A TV recording that switches: interlaced, then progressive.
        Stream{"H264_Switching_Ts",
               "ts",
               {{Interlaced("libx264", 720, 576, AV_FIELD_TT), 10}, {Interlaced("libx264", 720, 576, AV_FIELD_PROGRESSIVE), 10}},
               {720, 576},
               true},
        Stream{"H264_Progressive_Control", "mp4", {{Interlaced("libx264", 720, 576, AV_FIELD_PROGRESSIVE), 20}}, {720, 576}, true},
        // What goes wrong: none of it may end playback early or stop it showing pictures.
        Stream{"FieldOrderFlips_Ts",
               "ts",
               {{Interlaced("libx264", 720, 576, AV_FIELD_TT), 8}, {Interlaced("libx264", 720, 576, AV_FIELD_BB), 8}},
               {720, 576}},
        Stream{"SizeChange_Ts",
               "ts",
               {{Interlaced("libx264", 720, 576, AV_FIELD_TT), 8}, {Interlaced("libx264", 1280, 720, AV_FIELD_TT), 8}},
               {1280, 720}},
        Stream{"DamagedBetween_Avi", "avi", {{Interlaced("libx264", 720, 576, AV_FIELD_TT), 20}}, {720, 576}, false,
               TenthDamaged},
        Stream{"OddHeight_Mkv", "mkv", {{Interlaced("rawvideo", 64, 33, AV_FIELD_TT), 6}}, {}},
        Stream{"TooSmall_Mkv", "mkv", {{Interlaced("rawvideo", 64, 2, AV_FIELD_TT), 6}}, {}}),
    [](const testing::TestParamInfo<Stream>& info) { return std::string(info.param.name); });

}  // namespace
