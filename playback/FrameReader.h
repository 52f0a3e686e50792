#pragma once

#include "playback/VideoSource.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <memory>

// Opens a source and reads its frames on a thread of its own, so that a read that waits on a
// slow disk, a network share or a camera never holds up the windows. Frames come out in order,
// shaped for showing (FrameShaper), and none is dropped: the reader reads one frame ahead and
// waits while the one it has read is not yet taken.
class FrameReader {
public:
    using Clock = std::chrono::steady_clock;

    // Starts reading the source. room: the largest picture the screen can show whole, in window
    // units, empty for no limit; pixelRatio: the screen's pixels per window unit (FrameShaper).
    FrameReader(const VideoSource& source, cv::Size room, double pixelRatio = 1);
    // Returns at once, whatever the reader is doing. A reader waiting on its source is left to
    // it: when the call it waits in returns, it releases its capture and ends.
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    enum class Next { Frame, NotYet, Ended };

    // Waits until the deadline at the latest for the next frame. With Frame, picture is that frame,
    // valid until the next call; Ended once the source yields no more (or never opened).
    Next Take(cv::Mat& picture, Clock::time_point deadline);

private:
    struct Shared;

    // The reader's thread: opens the source, then reads, shapes and offers its frames.
    static void Read(Shared& shared, const VideoSource& source, cv::Size room, double pixelRatio);

    std::shared_ptr<Shared> shared_;
};
