#include "playback/Deinterlacer.h"

#include <cstdint>  // FFmpeg's headers want its constant macros

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
}

#include <string>
#include <utility>

void Deinterlacer::GraphFree::operator()(AVFilterGraph* graph) const
{
    avfilter_graph_free(&graph);
}

void Deinterlacer::FrameFree::operator()(AVFrame* frame) const
{
    av_frame_free(&frame);
}

void Deinterlacer::Reset()
{
    Stop();
    ready_.clear();
    active_ = refused_ = false;
    width_ = height_ = 0, format_ = -1;
}

bool Deinterlacer::Start(const AVFrame& frame)
{
    graph_.reset(avfilter_graph_alloc());
    if (!graph_)
        return false;
    // One thread: the decoder's own threads decode the next frames on the other cores meanwhile.
    // Sharing bwdif's rows out over the cores made each frame quicker but playback slower
    // (59-60% of a bare read against 63-66%, on two cores), as the decoder then waited.
    graph_->nb_threads = 1;
    const std::string source = "video_size=" + std::to_string(frame.width) + "x" + std::to_string(frame.height)
        + ":pix_fmt=" + std::to_string(frame.format) + ":time_base=1/1:pixel_aspect=1/1";
    AVFilterContext* deinterlace = nullptr;
    // One picture a frame; each frame's own field order; frames not flagged interlaced as they are.
    const bool made =
        avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "in", source.c_str(), nullptr, graph_.get()) >= 0
        && avfilter_graph_create_filter(&deinterlace, avfilter_get_by_name("bwdif"), "bwdif",
                                        "mode=send_frame:parity=auto:deint=interlaced", nullptr, graph_.get()) >= 0
        && avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph_.get()) >= 0
        && avfilter_link(source_, 0, deinterlace, 0) >= 0 && avfilter_link(deinterlace, 0, sink_, 0) >= 0
        && avfilter_graph_config(graph_.get(), nullptr) >= 0;
    if (!made) {
        Stop();
        return false;
    }
    return true;
}

void Deinterlacer::Drain()
{
    for (;;) {
        FramePtr made(av_frame_alloc());
        if (!made || av_buffersink_get_frame(sink_, made.get()) < 0)
            return;
        ready_.push_back(std::move(made));
    }
}

void Deinterlacer::Stop()
{
    graph_.reset();
    source_ = sink_ = nullptr;
}

void Deinterlacer::Take(AVFrame& frame)
{
    active_ = true;
    // A frame of another size or format ends what the filter was made for.
    if (frame.width != width_ || frame.height != height_ || frame.format != format_) {
        Finish();
        width_ = frame.width, height_ = frame.height, format_ = frame.format;
        refused_ = false;
    }
    if (!graph_ && !refused_)
        refused_ = !Start(frame);
    if (graph_ && av_buffersrc_add_frame_flags(source_, &frame, AV_BUFFERSRC_FLAG_KEEP_REF) >= 0) {
        av_frame_unref(&frame);
        Drain();
        return;
    }
    // Shown as it is; a filter that failed is not asked again until the frames change.
    Stop();
    refused_ = true;
    if (FramePtr kept{av_frame_alloc()}) {
        av_frame_move_ref(kept.get(), &frame);
        ready_.push_back(std::move(kept));
    }
}

bool Deinterlacer::Finish()
{
    if (!graph_)
        return false;
    const std::size_t before = ready_.size();
    if (av_buffersrc_add_frame(source_, nullptr) >= 0)
        Drain();
    Stop();
    return ready_.size() > before;
}

bool Deinterlacer::Give(AVFrame& frame)
{
    if (ready_.empty())
        return false;
    av_frame_unref(&frame);
    av_frame_move_ref(&frame, ready_.front().get());
    ready_.pop_front();
    return true;
}
