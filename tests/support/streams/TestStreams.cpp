#include "support/streams/TestStreams.h"

#include "support/streams/Libav.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>

namespace {

void Store(AVFrame& frame, int plane, int x, int y, double eightBitValue, int bitDepth)
{
    const long maxCode = (1L << bitDepth) - 1;
    const long code = std::clamp(std::lround(eightBitValue * (1 << (bitDepth - 8))), 0L, maxCode);
    uint8_t* row = frame.data[plane] + static_cast<std::ptrdiff_t>(y) * frame.linesize[plane];
    if (bitDepth > 8)
        reinterpret_cast<uint16_t*>(row)[x] = static_cast<uint16_t>(code);
    else
        row[x] = static_cast<uint8_t>(code);
}

void Paint(AVFrame& frame, int frameIndex, const Pattern& pattern)
{
    const AVPixFmtDescriptor* layout =
        Require(av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format)), "pixel format");
    const int bitDepth = layout->comp[0].depth;
    for (int y = 0; y < frame.height; ++y)
        for (int x = 0; x < frame.width; ++x)
            Store(frame, 0, x, y, pattern(x, y, frameIndex).luma, bitDepth);
    const int chromaWidth = AV_CEIL_RSHIFT(frame.width, layout->log2_chroma_w);
    const int chromaHeight = AV_CEIL_RSHIFT(frame.height, layout->log2_chroma_h);
    for (int y = 0; y < chromaHeight; ++y)
        for (int x = 0; x < chromaWidth; ++x) {
            const YCbCr sample =
                pattern(x << layout->log2_chroma_w, y << layout->log2_chroma_h, frameIndex);
            Store(frame, 1, x, y, sample.blueDifference, bitDepth);
            Store(frame, 2, x, y, sample.redDifference, bitDepth);
        }
}

// What the encoding says of its pictures, told to an encoder or a frame alike.
template <typename Described>
void Describe(Described& described, const Encoding& encoding)
{
    described.sample_aspect_ratio = encoding.sampleAspect;
    described.colorspace = encoding.matrix;
    described.color_primaries = encoding.primaries;
    described.color_trc = encoding.transfer;
    described.color_range = encoding.range;
}

CodecContext OpenEncoder(const Encoding& encoding, bool globalHeader)
{
    const AVCodec* codec = Require(avcodec_find_encoder_by_name(encoding.encoder.c_str()),
                                   "finding encoder " + encoding.encoder);
    CodecContext context(Require(avcodec_alloc_context3(codec), "encoder context"));
    context->width = encoding.width;
    context->height = encoding.height;
    context->pix_fmt = encoding.pixelFormat;
    context->time_base = {1, 25};
    context->framerate = {25, 1};
    context->gop_size = encoding.keyframeInterval;
    Describe(*context, encoding);
    // One thread: the encoders' decisions, and so every figure, are the same on any machine.
    context->thread_count = 1;
    if (encoding.fieldOrder != AV_FIELD_PROGRESSIVE) {
        context->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
        context->field_order = encoding.fieldOrder;
    }
    if (globalHeader)
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    for (const auto& [name, value] : encoding.encoderOptions)
        av_dict_set(&options, name.c_str(), value.c_str(), 0);
    const int opened = avcodec_open2(context.get(), codec, &options);
    av_dict_free(&options);
    Check(opened, "opening encoder " + encoding.encoder);
    return context;
}

}  // namespace

YCbCr ToYCbCr(const Rgb& rgb, double kr, double kb, bool fullRange)
{
    const double r = rgb.red / 255, g = rgb.green / 255, b = rgb.blue / 255;
    const double luma = kr * r + (1 - kr - kb) * g + kb * b;
    const double blue = (b - luma) / (2 * (1 - kb));
    const double red = (r - luma) / (2 * (1 - kr));
    if (fullRange)
        return {255 * luma, 128 + 255 * blue, 128 + 255 * red};
    return {16 + 219 * luma, 128 + 224 * blue, 128 + 224 * red};
}

void WriteVideo(const std::filesystem::path& path, const Encoding& encoding, int frameCount,
                const Pattern& pattern, const PacketEdit& edit)
{
    WriteVideo(path, std::vector<Segment>{{encoding, frameCount}}, pattern, edit);
}

void WriteVideo(const std::filesystem::path& path, const std::vector<Segment>& segments,
                const Pattern& pattern, const PacketEdit& edit)
{
    AVFormatContext* rawOutput = nullptr;
    Check(avformat_alloc_output_context2(&rawOutput, nullptr, nullptr, path.c_str()),
          "choosing a container for " + path.string());
    OutputContext output(rawOutput);
    const bool globalHeader = (output->oformat->flags & AVFMT_GLOBALHEADER) != 0;
    const Encoding& first = segments.at(0).encoding;
    CodecContext encoder = OpenEncoder(first, globalHeader);

    AVStream* stream = Require(avformat_new_stream(output.get(), nullptr), "new stream");
    Check(avcodec_parameters_from_context(stream->codecpar, encoder.get()), "stream parameters");
    stream->time_base = encoder->time_base;
    stream->sample_aspect_ratio = first.sampleAspect;
    if (first.containerMatrix != AVCOL_SPC_UNSPECIFIED)
        stream->codecpar->color_space = first.containerMatrix;
    if (first.displayRotationClockwise) {
        auto* matrix = reinterpret_cast<int32_t*>(Require(
            av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)),
            "display matrix"));
        // Set takes the clockwise angle; av_display_rotation_get answers anticlockwise.
        av_display_rotation_set(matrix, *first.displayRotationClockwise);
    }
    Check(avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE), "creating " + path.string());
    Check(avformat_write_header(output.get(), nullptr), "writing header");

    Packet packet(Require(av_packet_alloc(), "packet"));
    int packetIndex = 0;
    auto drain = [&](const AVFrame* frame) {
        Check(avcodec_send_frame(encoder.get(), frame), "encoding");
        for (;;) {
            const int received = avcodec_receive_packet(encoder.get(), packet.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
                return;
            Check(received, "encoding");
            packet->stream_index = stream->index;
            // Without a duration MP4 ends its edit list at the last frame's start, and a
            // demuxer then drops that frame.
            if (packet->duration == 0)
                packet->duration = 1;
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
            if (!edit || edit(*packet, packetIndex))
                Check(av_interleaved_write_frame(output.get(), packet.get()), "writing");
            av_packet_unref(packet.get());
            ++packetIndex;
        }
    };

    int index = 0;
    for (const Segment& segment : segments) {
        const Encoding& encoding = segment.encoding;
        // A later part carries its own parameter sets in the stream, not in the container.
        if (&segment != &segments.front())
            encoder = OpenEncoder(encoding, false);
        Frame frame(Require(av_frame_alloc(), "frame"));
        frame->format = encoding.pixelFormat;
        frame->width = encoding.width;
        frame->height = encoding.height;
        Describe(*frame, encoding);
        frame->interlaced_frame = encoding.fieldOrder != AV_FIELD_PROGRESSIVE;
        frame->top_field_first = encoding.fieldOrder == AV_FIELD_TT;
        Check(av_frame_get_buffer(frame.get(), 0), "frame buffer");
        for (int end = index + segment.frameCount; index < end; ++index) {
            Check(av_frame_make_writable(frame.get()), "frame buffer");
            Paint(*frame, index, pattern);
            frame->pts = index;
            drain(frame.get());
        }
        drain(nullptr);
    }
    Check(av_write_trailer(output.get()), "writing trailer");
}

void Concatenate(const std::filesystem::path& path,
                 const std::vector<std::filesystem::path>& parts)
{
    std::ofstream joined(path, std::ios::binary);
    for (const auto& part : parts) {
        std::ifstream piece(part, std::ios::binary);
        joined << piece.rdbuf();
    }
    if (!joined)
        throw std::runtime_error("joining streams into " + path.string());
}
