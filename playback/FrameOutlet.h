#pragma once

#include "playback/ReaderLink.h"

#include <opencv2/core.hpp>

#include <optional>
#include <string>
#include <vector>

// A reader process's end of its link to the windows' process (FrameReader): it takes the
// command, and hands frames over through the three buffers both processes map.
class FrameOutlet {
public:
    explicit FrameOutlet(int socket);

    struct Command {
        reader_link::Command what;
        std::vector<reader_link::Descriptor> handedOver;  // as reader_link::Command says
    };
    // Says the reader is there, with a descriptor of itself to be stopped by: before it has read
    // anything, so that the windows can trust it.
    void Announce();
    // Waits for the command, and takes on the environment it carries. Absent when the windows'
    // process has gone first.
    std::optional<Command> ReceiveCommand();

    // A buffer the windows are done with, as a BGR picture of the size given, to be filled.
    // Empty when no memory for it can be had.
    cv::Mat& Free(cv::Size size);
    // Waits until the frame before has been taken, then offers this one, filled in Free's
    // buffer. False when the frames are no longer wanted.
    bool Offer(const cv::Mat& filled);
    // Waits until the windows have come back for a frame after taking the first one.
    void AwaitFirstShown();
    // Whether the windows' process no longer wants frames: it let go of the link.
    bool Abandoned() const;

private:
    // Takes in what the windows said; false once they have gone.
    bool Hear();

    struct Buffer {
        reader_link::SharedMemory memory;
        bool sent = false;  // the windows have its descriptor
        cv::Mat picture;
    };

    int socket_;
    Buffer buffers_[reader_link::buffers];
    int ready_ = -1;  // the buffer offered and not yet taken
    int shown_ = -1;  // the buffer taken last
    bool cameBack_ = false;
    bool gone_ = false;
};
