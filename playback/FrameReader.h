#pragma once

#include "playback/ReaderLink.h"
#include "playback/VideoSource.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <memory>


// Opens a source and reads its frames in a process of its own, the reader (forked for it by
// reelview-reader, beside this library): the file's demuxing and decoding, a camera's frames,
// and everything done to a frame before it is shown happen there, confined (Sandbox.h), so a
// hostile or broken file can neither reach what its user has nor take the windows down, and a
// read that waits on a slow disk, a network share or a camera never holds up the windows.
// Frames come out in order, shaped for showing (FrameShaper), through memory both processes
// map, and none is dropped: the reader reads one frame ahead and waits while the one it has read
// is not yet taken. A reader that dies ends its frames as a source's end does. Each source gets
// a reader of its own; the next one is forked ahead of time.
class FrameReader {
public:
    using Clock = std::chrono::steady_clock;

    // Starts reading the source. room: the largest picture the screen can show whole, in window
    // units, empty for no limit; pixelRatio: the screen's pixels per window unit (FrameShaper).
    FrameReader(const VideoSource& source, cv::Size room, double pixelRatio = 1);
    // Returns at once, whatever the reader is doing: a reader is stopped, not waited for, and
    // one that waits in a call the kernel won't interrupt leaves when the call returns.
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    enum class Next { Frame, NotYet, Ended };

    // Waits until the deadline at the latest for the next frame. With Frame, picture is that frame,
    // valid until the next call; Ended once the source yields no more (or never opened).
    Next Take(cv::Mat& picture, Clock::time_point deadline);

    // Starts a reader for the next source now, unless one is waiting already.
    static void Prepare();

private:
    // Stops the reader and lets go of it.
    void Stop();
    // Ends the frames: the reader is stopped and the next one asked for.
    Next End();

    reader_link::Descriptor link_;     // empty once the frames have ended
    reader_link::Descriptor process_;  // the reader, once it has said it is there
    bool started_ = false;
    reader_link::SharedMemory buffers_[reader_link::buffers];
    int shown_ = -1;        // the buffer of the frame last taken
    bool cameBack_ = false; // came back for more after the first frame
};
