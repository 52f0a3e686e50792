#include "playback/FrameReader.h"

#include "playback/DecoderTap.h"
#include "playback/FrameShape.h"
#include "playback/SourceOpening.h"

#include <opencv2/videoio.hpp>

#include <cmath>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <malloc.h>

namespace {

using Clock = FrameReader::Clock;

// A camera that sends no frame for this long has stalled or is gone: its frames end there, as
// at a missing frame. Real cameras send many frames a second. The wait is sliced, so that a
// reader that is no longer wanted lets its camera go at once.
constexpr auto cameraPatience = std::chrono::seconds(1);
constexpr long long cameraSliceNs = 10'000'000;

// Held by a camera's reader while its capture is open. A camera can't be opened again while
// another capture still holds it, so a new reader waits here for one that is letting go.
std::mutex cameraInUse;

// A video beyond 4K leaves hundreds of megabytes free but held by the process; they go back
// to the system. What a video up to 4K leaves (about 100 MB at 1080p) stays for the next
// command: handed back, the next command's decoder would fault it all in again, and a 1080p
// video's first frame would come 80 ms later. Of all that was suspected of slowing a command's
// start, switched off in turn and measured, only this was: not the single malloc arena, the
// event pump, nor loading the module on a thread of its own.
void GiveBackMemory(double framePixels)
{
    constexpr double largestKept = 3840.0 * 2160;
    constexpr std::size_t keptForReuse = 64 << 20;  // what the allocator may keep on its own
    if (framePixels > largestKept && mallinfo2().fordblks > keptForReuse)
        malloc_trim(0);
}

}  // namespace

// What the reader and the event thread share. Frames pass through three buffers: the one the
// event thread shows, the one read and waiting to be taken, and the one being read into.
struct FrameReader::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    cv::Mat buffers[3];
    int ready = -1;  // the buffer waiting to be taken
    int shown = -1;  // the buffer last taken
    bool ended = false;
    bool abandoned = false;
    bool firstShown = false;  // the event thread came back after taking the first frame

    bool Abandoned()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return abandoned;
    }

    // A buffer the event thread is done with, for the next frame.
    cv::Mat& Free()
    {
        std::lock_guard<std::mutex> lock(mutex);
        int free = 0;
        while (free == ready || free == shown)
            ++free;
        return buffers[free];
    }

    // Waits until the frame before has been taken, then offers this one. False when the
    // frames are no longer wanted.
    bool Offer(const cv::Mat& filled)
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return ready < 0 || abandoned; });
        if (abandoned)
            return false;
        ready = int(&filled - buffers);
        changed.notify_all();
        return true;
    }

    // Waits until the event thread has come back for a frame after taking the first one.
    void AwaitFirstShown()
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return firstShown || abandoned; });
    }

    void End()
    {
        std::lock_guard<std::mutex> lock(mutex);
        ended = true;
        changed.notify_all();
    }
};

namespace {

// Waits for the camera's next frame, in short slices, until the deadline at the latest. False
// when none came in time or the frames are no longer wanted.
bool GrabCameraFrame(const std::vector<cv::VideoCapture>& camera, Clock::time_point deadline,
                     const std::function<bool()>& abandoned)
{
    std::vector<int> ready;
    do {
        if (Clock::now() >= deadline || abandoned())
            return false;
    } while (!cv::VideoCapture::waitAny(camera, ready, cameraSliceNs));
    return !ready.empty();
}

// Reads the camera's next frame. The first starts its stream and is read in one piece (OpenCV
// waits for it up to OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT); later ones are awaited in slices. A
// frame that can't be decoded (a USB glitch leaves a Motion-JPEG frame empty, and OpenCV's
// decoder throws on it) is skipped. False when no frame came for cameraPatience, or the frames
// are no longer wanted.
bool ReadCameraFrame(cv::VideoCapture& camera, const std::vector<cv::VideoCapture>& waitable, bool first,
                     cv::Mat& frame, const std::function<bool()>& abandoned)
{
    const auto deadline = Clock::now() + cameraPatience;
    for (bool grabbed = first ? camera.grab() : GrabCameraFrame(waitable, deadline, abandoned); grabbed;
         grabbed = GrabCameraFrame(waitable, deadline, abandoned)) {
        try {
            if (camera.retrieve(frame) && !frame.empty())
                return true;
        } catch (const cv::Exception&) {
            // the next grab hands the frame's buffer back to the camera
        }
    }
    return false;
}

}  // namespace

FrameReader::FrameReader(const VideoSource& source, cv::Size room, double pixelRatio)
    : shared_(std::make_shared<Shared>())
{
    ConfigureVideoLibraries();  // here, before any reader runs: it sets the environment
    try {
        std::thread([shared = shared_, source, room, pixelRatio] {
            try {
                Read(*shared, source, room, pixelRatio);
            } catch (const std::exception&) {
                // A frame that can't be read ends the frames like a missing one.
            }
            shared->End();
        }).detach();
    } catch (const std::system_error&) {
        shared_->End();  // no thread to read with: a source that did not open
    }
}

FrameReader::~FrameReader()
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->abandoned = true;
    // The frames go now, not when the reader's thread lets go of what it shares: all of them
    // once it has ended, else those it no longer touches.
    for (int i = 0; i < 3; ++i)
        if (shared_->ended || i == shared_->ready || i == shared_->shown)
            shared_->buffers[i].release();
    shared_->ready = shared_->shown = -1;
    shared_->changed.notify_all();
}

FrameReader::Next FrameReader::Take(cv::Mat& picture, Clock::time_point deadline)
{
    Shared& shared = *shared_;
    std::unique_lock<std::mutex> lock(shared.mutex);
    if (shared.shown >= 0 && !shared.firstShown) {
        shared.firstShown = true;
        shared.changed.notify_all();
    }
    if (!shared.changed.wait_until(lock, deadline, [&] { return shared.ready >= 0 || shared.ended; }))
        return Next::NotYet;
    if (shared.ready < 0)
        return Next::Ended;
    shared.shown = std::exchange(shared.ready, -1);
    picture = shared.buffers[shared.shown];
    shared.changed.notify_all();
    return Next::Frame;
}

void FrameReader::Read(Shared& shared, const VideoSource& source, cv::Size room, double pixelRatio)
{
    const bool fromCamera = source.kind == VideoSource::Kind::Camera;
    std::unique_lock<std::mutex> camera(cameraInUse, std::defer_lock);
    if (fromCamera)
        camera.lock();
    if (shared.Abandoned())
        return;

    cv::VideoCapture videoCapture;
    const cv::Size roomInPixels(int(std::lround(room.width * pixelRatio)), int(std::lround(room.height * pixelRatio)));
    FrameShaper shaper(OpenSource(videoCapture, source, roomInPixels), room, pixelRatio);
    const std::function<bool()> abandoned = [&shared] { return shared.Abandoned(); };
    cv::Mat frame;
    {
        const std::vector<cv::VideoCapture> waitable{videoCapture};  // holds the capture: scoped
        for (bool first = true; videoCapture.isOpened(); first = false) {
            // A file's frame is taken from OpenCV unless it is HDR, which the tap gives at the
            // decoder's depth instead.
            const YcbcrPlanes* hdr = nullptr;
            bool read = false;
            if (fromCamera) {
                read = ReadCameraFrame(videoCapture, waitable, first, frame, abandoned);
            } else if (videoCapture.grab()) {
                shaper.UseLight(DecodedLight());
                hdr = HdrPicture();
                read = hdr || videoCapture.retrieve(frame);
            }
            // A file plays on past a frame its decoder can't make (a damaged packet), to its
            // end; a camera ends once no frame came for its patience.
            if (!read || (!hdr && frame.empty())) {
                if (fromCamera || FileEnded() || abandoned())
                    break;
                continue;
            }
            cv::Mat& picture = shared.Free();
            if (hdr)
                shaper.Shape(*hdr, picture);
            else
                shaper.Shape(frame, picture);
            if (!shared.Offer(picture))
                break;
            // The first frame is painted before the next is read, so that the two don't compete
            // for the cores: a command's first picture comes as soon as a bare read's would.
            if (first)
                shared.AwaitFirstShown();
        }
    }
    const double framePixels =
        videoCapture.get(cv::CAP_PROP_FRAME_WIDTH) * videoCapture.get(cv::CAP_PROP_FRAME_HEIGHT);
    // Nothing reads any more: free the file or camera (a camera's light goes out).
    videoCapture.release();
    GiveBackMemory(framePixels);
}
