#pragma once

#include <opencv2/core.hpp>

#include <optional>

// What playback learns, and mends, by standing between OpenCV's FFmpeg back end and FFmpeg.
//
// OpenCV 4.6 tells nothing of what a file's decoder reports: not the colours a codec's own
// headers give, not a picture that changes size, not a frame that is interlaced. It converts
// every frame with swscale's default colours, sizes its converter once from the container's
// header, weaves interlaced fields into combs, and gives up a read at the first packet its
// decoder rejects. This library defines four of the FFmpeg functions
// it calls (av_read_frame, avcodec_receive_frame, sws_getCachedContext and sws_scale), each
// calling FFmpeg's own, and OpenCV's calls reach them when this library
// comes before FFmpeg's in the order symbols are looked up in: always in the program, which
// loads playback with OpenCV behind it; a process that links playback must link it first.
//
// What that relies on of OpenCV 4.6 (modules/videoio/src/cap_ffmpeg_impl.hpp), each guarded
// by tests/playback/AsDecodedTest.cpp, HdrTest.cpp and InterlacedTest.cpp, which fail on an
// OpenCV that does otherwise:
// - read() reads packets with av_read_frame, decodes with avcodec_receive_frame and converts
//   the decoded frame to BGR24 with a context from sws_getCachedContext and sws_scale, all on
//   the calling thread;
// - it makes that context again, for the decoder's coded size, whenever the stream's
//   parameters (codecpar) give another width or height than its frames had so far, and
//   converts all the coded height's rows, which the decoder's frames hold and the
//   Deinterlacer's do not;
// - a read() that fails after reading a packet failed at a packet its decoder rejected, and
//   the next read() carries on after it;
// - grab() reads and decodes the next frame without converting it, and the decoded frame stays
//   as it is until the next grab() (HdrPicture reads it);
// - grab() first asks avcodec_receive_frame for a frame left from the last packet, reads the
//   next packet when it says EAGAIN, and at the file's end sends the decoder an empty packet and
//   asks once more each grab(): so the frames given to it may be others than the decoder's (the
//   Deinterlacer's, a frame later), as long as EAGAIN is said only when the decoder says it.
// Everything here is per thread: each reader taps its own capture, and its own deinterlacer.

// How a stream's Y'CbCr samples are to be turned into RGB: the matrix they were made with
// (an AVColorSpace: BT.709, BT.601, BT.2020, FCC, SMPTE 240M) and their range.
struct StreamColour {
    int matrix;
    bool fullRange;
};

// The stream's own description where it gives one; where it does not, the common convention:
// BT.709 from 1280 wide or more than 576 lines, BT.601 below, limited range.
StreamColour DescribedColour(int matrix, int range, int width, int height);

// How a stream's light is meant: its transfer function (an AVColorTransferCharacteristic), its
// primaries (an AVColorPrimaries), and the brightest it shows in nits, as its content light
// level or mastering display says (0 where it says nothing).
struct StreamLight {
    int transfer = 2;   // unspecified
    int primaries = 2;  // unspecified
    double peakNits = 0;

    // PQ or HLG: light beyond what an ordinary screen shows, which is mapped for it.
    bool Hdr() const;

    friend bool operator==(const StreamLight& a, const StreamLight& b)
    {
        return a.transfer == b.transfer && a.primaries == b.primaries && a.peakNits == b.peakNits;
    }
    friend bool operator!=(const StreamLight& a, const StreamLight& b) { return !(a == b); }
};

// From now on, the frames of the file this thread reads are converted in the colours their
// decoder reports, or where it reports none, in those the container gives (a matrix and range
// as AVColorSpace and AVColorRange); a picture that changes size is handed over at its new
// size; and frames flagged interlaced are deinterlaced (Deinterlacer). Without a colour, frames
// are converted as OpenCV does by itself.
// Call it before the capture is opened.
void TapFile(std::optional<StreamColour> container);

// The light of the frame this thread read last, from the tapped file: as its decoder reports
// it, else as the container says. Unspecified for anything else.
StreamLight DecodedLight();

// An HDR frame's Y'CbCr samples: 16-bit words, depth bits of each used; the chroma planes at the
// luma's size, or at half of it across (4:2:2), or across and down (4:2:0).
struct YcbcrPlanes {
    cv::Mat luma, blueDifference, redDifference;  // CV_16UC1
    int depth = 16;
    StreamColour colour{};
};

// The frame this thread grabbed last from the tapped file, when its light is HDR: its samples as
// the decoder made them, planar at 9 to 16 bits, or else converted to 4:4:4 at 16 bits. Read
// that way, the decoder's 10 or 12 bits are kept, where OpenCV's 8-bit picture would band them,
// and OpenCV's conversion and copy of it are saved. Valid until the next grab(); null for any
// other frame, which retrieve() gives.
const YcbcrPlanes* HdrPicture();

// After a read of the tapped file failed: whether the file has no more frames. True when the
// failed read reached the file's end or a demuxer error, or read no packet; false when the
// decoder only rejected a packet, and reading on shows the frames after it.
bool FileEnded();
