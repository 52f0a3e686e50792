#pragma once

#include <deque>
#include <memory>

struct AVFilterContext;
struct AVFilterGraph;
struct AVFrame;

// Deinterlaces a stream's frames with libavfilter's bwdif, a motion-adaptive deinterlacer: one
// picture a frame, each frame flagged interlaced made whole from its two fields in their own
// order (top or bottom first, as the frame says), any other frame passed on as it is. A frame
// comes out a frame later than it went in, as the next one is looked at to fill in the lines
// between; what is still held comes out when the stream ends. A frame it can't deinterlace (too
// small, in a format bwdif lacks, or when the filter fails) is passed on as it is.
class Deinterlacer {
public:
    // Whether frames are to go through it: from the first interlaced frame on, every one does,
    // so that a stream mixing both keeps its order.
    bool Active() const { return active_; }

    // Takes the frame; its reference moves in, and frame is left empty.
    void Take(AVFrame& frame);
    // The stream has ended: what is held comes out. False when nothing was held.
    bool Finish();
    // Moves the next frame out into frame, in order; false when none is ready.
    bool Give(AVFrame& frame);

    // Forgets everything, for another stream.
    void Reset();

private:
    // Makes the filter for frames like this one; false when bwdif can't take them.
    bool Start(const AVFrame& frame);
    // Moves what the filter has made into ready_.
    void Drain();
    void Stop();

    struct GraphFree {
        void operator()(AVFilterGraph* graph) const;
    };
    struct FrameFree {
        void operator()(AVFrame* frame) const;
    };
    using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

    std::unique_ptr<AVFilterGraph, GraphFree> graph_;
    AVFilterContext* source_ = nullptr;
    AVFilterContext* sink_ = nullptr;
    int width_ = 0, height_ = 0, format_ = -1;  // of the frames the filter is for
    bool refused_ = false;  // bwdif can't take them
    bool active_ = false;
    std::deque<FramePtr> ready_;
};
