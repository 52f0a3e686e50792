#include "playback/DecoderTap.h"

#include "playback/Deinterlacer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <opencv2/core.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include <dlfcn.h>

namespace {

// FFmpeg's own definition of a function this library defines too.
template <typename Function>
Function* Own(const char* name)
{
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

// What is known of the file this thread reads. Each reader has its own: a reader left waiting
// on a stalled read may still convert a frame while the next command's reader converts its own.
struct Tap {
    bool active = false;
    StreamColour container{};
    // The demuxer OpenCV reads the file with, the result of its last read, and how many packets
    // it has read since the decoder last made a frame.
    AVFormatContext* demuxer = nullptr;
    int lastRead = 0;
    int packetsSinceFrame = 0;
    const AVFrame* frame = nullptr;  // the decoder's last, as OpenCV holds it
    // It came out of the deinterlacer, whose frames hold only the picture's own rows: OpenCV's
    // converter reads all of the decoder's coded height (1088 rows of a 1080 picture).
    bool deinterlaced = false;
    const AVStream* stream = nullptr;  // the stream it came from
    double peakNits = 0;  // as last said: HEVC says it with key frames only
    // OpenCV's converter, what it was made for, and the size of the pictures OpenCV hands over.
    SwsContext* converter = nullptr;
    int sourceWidth = 0, sourceHeight = 0, sourceFormat = AV_PIX_FMT_NONE;
    int shownWidth = 0, shownHeight = 0;
};

// Planes of a picture, as swscale's planar formats have them.
using Planes = std::array<cv::Mat, 3>;

// A converter of our own, for frames OpenCV's converter was not made for or converts poorly,
// what it was made for (the frame's width, height and format, and the width, height and format
// it converts to), the planes it converts deep frames into, and an HDR frame's samples.
struct OwnConverter {
    SwsContext* context = nullptr;
    std::array<int, 6> madeFor{};
    Planes planes;
    YcbcrPlanes hdr;

    ~OwnConverter() { sws_freeContext(context); }
};

thread_local Tap tap;
thread_local OwnConverter own;
thread_local Deinterlacer deinterlacer;

decltype(&sws_getCachedContext) SwscalesCachedContext()
{
    static const auto function = Own<decltype(sws_getCachedContext)>("sws_getCachedContext");
    return function;
}

decltype(&sws_scale) SwscalesScale()
{
    static const auto function = Own<decltype(sws_scale)>("sws_scale");
    return function;
}

void Describe(SwsContext& converter, const StreamColour& colour)
{
    int *inverseTable = nullptr, *table = nullptr;
    int sourceRange = 0, destinationRange = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(&converter, &inverseTable, &sourceRange, &table, &destinationRange,
                                 &brightness, &contrast, &saturation) < 0)
        return;
    // A full-range pixel format (yuvj420p) has already set the range.
    sws_setColorspaceDetails(&converter, sws_getCoefficients(colour.matrix), sourceRange || colour.fullRange,
                             table, destinationRange, brightness, contrast, saturation);
}

// The frames' colours: as the decoder reports them, else as the container gives them.
StreamColour FrameColour()
{
    StreamColour colour = tap.container;
    if (!tap.frame)
        return colour;
    if (tap.frame->colorspace != AVCOL_SPC_UNSPECIFIED && tap.frame->colorspace != AVCOL_SPC_RESERVED)
        colour.matrix = tap.frame->colorspace;
    if (tap.frame->color_range != AVCOL_RANGE_UNSPECIFIED)
        colour.fullRange = tap.frame->color_range == AVCOL_RANGE_JPEG;
    return colour;
}

// The stream OpenCV decodes: the file's first video stream, if it is this decoder's.
AVStream* VideoStream(const AVCodecContext& decoder)
{
    if (!tap.demuxer)
        return nullptr;
    for (unsigned i = 0; i < tap.demuxer->nb_streams; ++i) {
        AVStream* stream = tap.demuxer->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            return stream->codecpar->codec_id == decoder.codec_id ? stream : nullptr;
    }
    return nullptr;
}

// OpenCV sizes its pictures by the stream's parameters, which the demuxer sets once from the
// header: they are kept at the size of the decoder's frames, so a picture that changes size
// is handed over at its new size. Only a size within the decoder's coded size, which OpenCV's
// buffer has.
void FollowSize(AVStream* stream, const AVCodecContext& decoder, const AVFrame& frame)
{
    if (!stream || frame.width <= 0 || frame.height <= 0 || frame.width > decoder.coded_width
        || frame.height > decoder.coded_height)
        return;
    stream->codecpar->width = frame.width;
    stream->codecpar->height = frame.height;
}

// Whether OpenCV's converter was made for this frame, as OpenCV hands it over to be converted,
// and the frame holds all the rows it reads.
bool MadeFor(const AVFrame& frame, int sliceHeight)
{
    return frame.format == tap.sourceFormat && sliceHeight == tap.sourceHeight && frame.width <= tap.sourceWidth
        && frame.height <= tap.sourceHeight && !tap.deinterlaced;
}

// Frames of more than 8 bits a sample. swscale's packed 8-bit RGB from them is two levels low
// in green; its planar RGB is exact, and as fast.
bool Deep(int format)
{
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(AVPixelFormat(format));
    return layout && layout->comp[0].depth > 8;
}

// Converts the frame with the converter of our own, to the size and format given.
int Convert(const AVFrame& frame, int width, int height, AVPixelFormat format, uint8_t* const destination[],
            const int stride[])
{
    const std::array<int, 6> madeFor{frame.width, frame.height, frame.format, width, height, format};
    if (!own.context || madeFor != own.madeFor) {
        own.context = SwscalesCachedContext()(own.context, frame.width, frame.height, AVPixelFormat(frame.format),
                                              width, height, format, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!own.context)
            return -1;
        Describe(*own.context, FrameColour());
        own.madeFor = madeFor;
    }
    return SwscalesScale()(own.context, frame.data, frame.linesize, 0, frame.height, destination, stride);
}

// Converts the frame to a planar format without subsampling at the size given, 8 or 16 bits a
// sample (CV_8U or CV_16U), in own.planes.
int ConvertToPlanes(const AVFrame& frame, int width, int height, int depth, AVPixelFormat format)
{
    uint8_t* planes[4] = {};
    int strides[4] = {};
    for (int i = 0; i < 3; ++i) {
        own.planes[i].create(height, width, depth);
        planes[i] = own.planes[i].data;
        strides[i] = int(own.planes[i].step);
    }
    return Convert(frame, width, height, format, planes, strides);
}

// Whether the frame's samples can be read as they are: planar Y'CbCr in 16-bit words of the
// machine's order, chroma at most halved across and down.
bool PlanarDeep(const AVFrame& frame)
{
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(AVPixelFormat(frame.format));
    if (!layout || layout->nb_components < 3 || (layout->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_BE))
        || !(layout->flags & AV_PIX_FMT_FLAG_PLANAR) || layout->log2_chroma_w > 1 || layout->log2_chroma_h > 1)
        return false;
    for (int i = 0; i < 3; ++i) {
        const AVComponentDescriptor& component = layout->comp[i];
        if (component.plane != i || component.step != 2 || component.shift != 0 || component.offset != 0
            || component.depth <= 8)
            return false;
    }
    return true;
}

// Converts the frame with a converter of our own into the picture OpenCV hands over: a frame
// OpenCV's converter was not made for (another pixel format than the stream's first, which
// swscale would misread, or a deinterlaced one, shorter than what that converter reads), or a
// deep one, which goes through planar RGB. The picture is the frame's own size, as FollowSize
// keeps it.
int ConvertInto(const AVFrame& frame, uint8_t* const destination[], const int stride[])
{
    if (!Deep(frame.format))
        return Convert(frame, tap.shownWidth, tap.shownHeight, AV_PIX_FMT_BGR24, destination, stride);
    const int converted = ConvertToPlanes(frame, tap.shownWidth, tap.shownHeight, CV_8U, AV_PIX_FMT_GBRP);
    cv::Mat picture(tap.shownHeight, tap.shownWidth, CV_8UC3, destination[0], std::size_t(stride[0]));
    cv::merge(std::vector<cv::Mat>{own.planes[1], own.planes[0], own.planes[2]}, picture);
    return converted;
}

// The frame's transfer as its decoder reports it, else as the container says.
int FrameTransfer(const AVFrame& frame)
{
    const AVCodecParameters* container = tap.stream ? tap.stream->codecpar : nullptr;
    return frame.color_trc != AVCOL_TRC_UNSPECIFIED || !container ? frame.color_trc : container->color_trc;
}

}  // namespace

StreamColour DescribedColour(int matrix, int range, int width, int height)
{
    StreamColour colour{matrix, range == AVCOL_RANGE_JPEG};
    if (matrix == AVCOL_SPC_UNSPECIFIED || matrix == AVCOL_SPC_RESERVED)
        colour.matrix = width >= 1280 || height > 576 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    return colour;
}

bool StreamLight::Hdr() const
{
    return transfer == AVCOL_TRC_SMPTE2084 || transfer == AVCOL_TRC_ARIB_STD_B67;
}

void TapFile(std::optional<StreamColour> container)
{
    tap = Tap{};
    deinterlacer.Reset();
    own.madeFor = {};  // made for another file's colours
    tap.active = container.has_value();
    tap.container = container.value_or(StreamColour{});
}

StreamLight DecodedLight()
{
    StreamLight light;
    if (!tap.active || !tap.frame)
        return light;
    const AVFrame& frame = *tap.frame;
    const AVCodecParameters* container = tap.stream ? tap.stream->codecpar : nullptr;
    light.transfer = FrameTransfer(frame);
    light.primaries =
        frame.color_primaries != AVCOL_PRI_UNSPECIFIED || !container ? frame.color_primaries : container->color_primaries;
    // The content's own brightest pixel where it is known, else its mastering display's peak.
    const auto sideData = [&](AVFrameSideDataType onFrame, AVPacketSideDataType onStream) -> const uint8_t* {
        if (const AVFrameSideData* data = av_frame_get_side_data(&frame, onFrame))
            return data->data;
        return tap.stream ? av_stream_get_side_data(tap.stream, onStream, nullptr) : nullptr;
    };
    const auto* content = reinterpret_cast<const AVContentLightMetadata*>(
        sideData(AV_FRAME_DATA_CONTENT_LIGHT_LEVEL, AV_PKT_DATA_CONTENT_LIGHT_LEVEL));
    const auto* mastering = reinterpret_cast<const AVMasteringDisplayMetadata*>(
        sideData(AV_FRAME_DATA_MASTERING_DISPLAY_METADATA, AV_PKT_DATA_MASTERING_DISPLAY_METADATA));
    if (content && content->MaxCLL > 0)
        tap.peakNits = content->MaxCLL;
    else if (mastering && mastering->has_luminance && mastering->max_luminance.den > 0)
        tap.peakNits = av_q2d(mastering->max_luminance);
    light.peakNits = tap.peakNits;
    return light;
}

const YcbcrPlanes* HdrPicture()
{
    if (!tap.active || !tap.frame || !StreamLight{FrameTransfer(*tap.frame)}.Hdr())
        return nullptr;
    const AVFrame& frame = *tap.frame;
    YcbcrPlanes& hdr = own.hdr;
    hdr.colour = FrameColour();
    if (PlanarDeep(frame)) {
        const AVPixFmtDescriptor& layout = *av_pix_fmt_desc_get(AVPixelFormat(frame.format));
        hdr.depth = layout.comp[0].depth;
        const auto plane = [&](int i, int shiftX, int shiftY) {
            return cv::Mat((frame.height + (1 << shiftY) - 1) >> shiftY, (frame.width + (1 << shiftX) - 1) >> shiftX,
                           CV_16UC1, frame.data[i], std::size_t(frame.linesize[i]));
        };
        hdr.luma = plane(0, 0, 0);
        hdr.blueDifference = plane(1, layout.log2_chroma_w, layout.log2_chroma_h);
        hdr.redDifference = plane(2, layout.log2_chroma_w, layout.log2_chroma_h);
        return &hdr;
    }
    if (ConvertToPlanes(frame, frame.width, frame.height, CV_16U, AV_PIX_FMT_YUV444P16) <= 0)
        return nullptr;
    // In the range the converter made them in.
    int *inverseTable = nullptr, *table = nullptr;
    int sourceRange = 0, range = 0, brightness = 0, contrast = 0, saturation = 0;
    sws_getColorspaceDetails(own.context, &inverseTable, &sourceRange, &table, &range, &brightness, &contrast,
                             &saturation);
    hdr.colour.fullRange = range != 0;
    hdr.depth = 16;
    hdr.luma = own.planes[0], hdr.blueDifference = own.planes[1], hdr.redDifference = own.planes[2];
    return &hdr;
}

bool FileEnded()
{
    const bool ended = tap.lastRead < 0 || tap.packetsSinceFrame == 0;
    tap.packetsSinceFrame = 0;
    return ended;
}

extern "C" {

int av_read_frame(AVFormatContext* demuxer, AVPacket* packet)
{
    static const auto own = Own<decltype(av_read_frame)>("av_read_frame");
    const int result = own(demuxer, packet);
    tap.demuxer = demuxer;
    tap.lastRead = result;
    if (result >= 0)
        ++tap.packetsSinceFrame;
    return result;
}

// The decoder's own, then, for a tapped file, its frames deinterlaced where they are interlaced:
// the frames the deinterlacer has ready come first; one it takes is replaced by the decoder's
// next; at the decoder's end it gives what it still holds. The decoder is only said to want
// more input when it does.
int avcodec_receive_frame(AVCodecContext* decoder, AVFrame* frame)
{
    static const auto own = Own<decltype(avcodec_receive_frame)>("avcodec_receive_frame");
    int result;
    for (;;) {
        tap.deinterlaced = tap.active && deinterlacer.Give(*frame);
        if (tap.deinterlaced) {
            result = 0;
            break;
        }
        result = own(decoder, frame);
        if (!tap.active)
            break;
        if (result == AVERROR_EOF && deinterlacer.Finish())
            continue;
        if (result < 0 || !(frame->interlaced_frame || deinterlacer.Active()))
            break;
        deinterlacer.Take(*frame);
    }
    if (result >= 0 && tap.active) {
        tap.frame = frame;
        tap.packetsSinceFrame = 0;
        AVStream* stream = VideoStream(*decoder);
        tap.stream = stream;
        FollowSize(stream, *decoder, *frame);
    }
    return result;
}

// swscale's own, then, for OpenCV's conversion of a tapped file's frames to BGR, the frames'
// colours, so that the right colour costs nothing per frame.
SwsContext* sws_getCachedContext(SwsContext* context, int sourceWidth, int sourceHeight, AVPixelFormat sourceFormat,
                                 int width, int height, AVPixelFormat format, int flags, SwsFilter* sourceFilter,
                                 SwsFilter* filter, const double* parameters)
{
    SwsContext* made = SwscalesCachedContext()(context, sourceWidth, sourceHeight, sourceFormat, width, height,
                                               format, flags, sourceFilter, filter, parameters);
    if (made && tap.active && format == AV_PIX_FMT_BGR24) {
        Describe(*made, FrameColour());
        tap.converter = made;
        tap.sourceWidth = sourceWidth, tap.sourceHeight = sourceHeight, tap.sourceFormat = sourceFormat;
        // OpenCV hands over the part of its picture that the stream's parameters give, which
        // follow the frames (FollowSize).
        tap.shownWidth = tap.frame ? std::min(width, tap.frame->width) : width;
        tap.shownHeight = tap.frame ? std::min(height, tap.frame->height) : height;
    }
    return made;
}

int sws_scale(SwsContext* converter, const uint8_t* const source[], const int sourceStride[], int sliceY,
              int sliceHeight, uint8_t* const destination[], const int destinationStride[])
{
    if (tap.active && converter && converter == tap.converter && tap.frame && source[0] == tap.frame->data[0]
        && (!MadeFor(*tap.frame, sliceHeight) || Deep(tap.frame->format)))
        return ConvertInto(*tap.frame, destination, destinationStride);
    return SwscalesScale()(converter, source, sourceStride, sliceY, sliceHeight, destination, destinationStride);
}

}  // extern "C"
