#pragma once

// Owning handles for the FFmpeg objects this tool uses, and one way to report their errors.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <stdexcept>
#include <string>

struct InputContextDeleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct OutputContextDeleter {
    void operator()(AVFormatContext* context) const
    {
        // An output context doesn't own its file: close it before freeing the context.
        if (context->pb && !(context->oformat->flags & AVFMT_NOFILE))
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScalerDeleter {
    void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};

using InputContext = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using OutputContext = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using Scaler = std::unique_ptr<SwsContext, ScalerDeleter>;

// Making the test streams must not fail quietly: a wrong stream would measure nothing.
inline int Check(int result, const std::string& what)
{
    if (result < 0) {
        char message[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(result, message, sizeof message);
        throw std::runtime_error(what + ": " + message);
    }
    return result;
}

template <typename T>
T* Require(T* pointer, const std::string& what)
{
    if (!pointer)
        throw std::runtime_error(what + " failed");
    return pointer;
}
