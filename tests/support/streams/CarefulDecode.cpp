#include "support/streams/CarefulDecode.h"

#include "support/streams/Libav.h"

extern "C" {
#include <libavutil/display.h>
}

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

int DisplayRotationClockwise(const AVStream& stream)
{
    const auto* matrix = reinterpret_cast<const int32_t*>(
        av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (!matrix)
        return 0;
    // The matrix gives an anticlockwise angle; round it to the quarter turns video uses.
    const double clockwise = -av_display_rotation_get(matrix);
    const int quarterTurns = static_cast<int>(std::lround(clockwise / 90));
    return ((quarterTurns % 4) + 4) % 4 * 90;
}

// The deprecated full-range formats carry their range in their name; swscale wants the plain
// format and the range stated, like every other full-range stream.
AVPixelFormat PlainFormat(AVPixelFormat format, bool& fullRange)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: fullRange = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: fullRange = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: fullRange = true; return AV_PIX_FMT_YUV444P;
    default: return format;
    }
}

// Streams that don't name their matrix get the usual guess: HD sizes are BT.709.
AVColorSpace MatrixOf(const AVFrame& frame)
{
    if (frame.colorspace != AVCOL_SPC_UNSPECIFIED)
        return frame.colorspace;
    return frame.width >= 1280 || frame.height > 576 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
}

// Keeps the field that comes first in time and interpolates the other's lines, so motion
// between the fields shows no comb.
cv::Mat ShowFirstField(const cv::Mat& woven, bool topFieldFirst)
{
    cv::Mat shown = woven.clone();
    for (int y = topFieldFirst ? 1 : 0; y < shown.rows; y += 2) {
        const int above = y > 0 ? y - 1 : y + 1;
        const int below = y + 1 < shown.rows ? y + 1 : y - 1;
        cv::addWeighted(woven.row(above), 0.5, woven.row(below), 0.5, 0, shown.row(y));
    }
    return shown;
}

cv::Mat ShowCarefully(const AVFrame& frame, AVRational sampleAspect, int rotationClockwise)
{
    int displayWidth = frame.width;
    if (sampleAspect.num > 0 && sampleAspect.den > 0)
        displayWidth = static_cast<int>(std::lround(frame.width * av_q2d(sampleAspect)));
    bool fullRange = frame.color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat source = PlainFormat(static_cast<AVPixelFormat>(frame.format), fullRange);

    Scaler scaler(Require(sws_getContext(frame.width, frame.height, source, displayWidth,
                                         frame.height, AV_PIX_FMT_BGR24,
                                         SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                         nullptr, nullptr, nullptr),
                          "scaler"));
    Check(sws_setColorspaceDetails(scaler.get(), sws_getCoefficients(MatrixOf(frame)),
                                   fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0,
                                   1 << 16, 1 << 16),
          "colour details");
    cv::Mat picture(frame.height, displayWidth, CV_8UC3);
    uint8_t* const destination[4] = {picture.data, nullptr, nullptr, nullptr};
    const int destinationStride[4] = {static_cast<int>(picture.step), 0, 0, 0};
    sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height, destination,
              destinationStride);

    if (frame.interlaced_frame)
        picture = ShowFirstField(picture, frame.top_field_first != 0);
    cv::Mat turned;
    switch (rotationClockwise) {
    case 90: cv::rotate(picture, turned, cv::ROTATE_90_CLOCKWISE); return turned;
    case 180: cv::rotate(picture, turned, cv::ROTATE_180); return turned;
    case 270: cv::rotate(picture, turned, cv::ROTATE_90_COUNTERCLOCKWISE); return turned;
    default: return picture;
    }
}

}  // namespace

ReferenceSummary DecodeCarefully(const std::filesystem::path& path,
                                 const std::function<void(const ReferenceFrame&)>& onFrame)
{
    // Damage is counted, not printed; OpenCV raises the level again when it opens a file.
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext* rawInput = nullptr;
    Check(avformat_open_input(&rawInput, path.c_str(), nullptr, nullptr), "opening " + path.string());
    InputContext input(rawInput);
    Check(avformat_find_stream_info(input.get(), nullptr), "reading stream info");
    const AVCodec* codec = nullptr;
    const int streamIndex =
        Check(av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0), "video stream");
    AVStream* stream = input->streams[streamIndex];
    CodecContext decoder(Require(avcodec_alloc_context3(codec), "decoder context"));
    Check(avcodec_parameters_to_context(decoder.get(), stream->codecpar), "decoder parameters");
    decoder->thread_count = 1;  // errors surface at the packet that caused them
    Check(avcodec_open2(decoder.get(), codec, nullptr), "opening decoder");

    ReferenceSummary summary;
    summary.rotationClockwise = DisplayRotationClockwise(*stream);
    Frame frame(Require(av_frame_alloc(), "frame"));
    auto receive = [&] {
        for (;;) {
            const int received = avcodec_receive_frame(decoder.get(), frame.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
                return;
            if (received < 0) {
                ++summary.decodeErrors;
                return;
            }
            ReferenceFrame shown;
            shown.decoded = frame.get();
            const AVRational sampleAspect =
                av_guess_sample_aspect_ratio(input.get(), stream, frame.get());
            shown.shown = ShowCarefully(*frame, sampleAspect, summary.rotationClockwise);
            shown.stored = {frame->width, frame->height};
            shown.format = static_cast<AVPixelFormat>(frame->format);
            shown.matrix = frame->colorspace;
            shown.range = frame->color_range;
            shown.interlaced = frame->interlaced_frame != 0;
            shown.topFieldFirst = frame->top_field_first != 0;
            ++summary.frames;
            onFrame(shown);
            av_frame_unref(frame.get());
        }
    };

    Packet packet(Require(av_packet_alloc(), "packet"));
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == streamIndex) {
            // A packet the decoder rejects is skipped; the frames after it still count.
            if (avcodec_send_packet(decoder.get(), packet.get()) < 0)
                ++summary.decodeErrors;
            receive();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    receive();
    return summary;
}
