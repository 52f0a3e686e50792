#pragma once

#include "support/fake_camera/FakeCamera.h"

#include <linux/videodev2.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace fakecamera {

// One open of the fake camera: a single-planar capture device with memory-mapped buffers,
// as a USB camera driver offers it. A clock thread fills a queued buffer at each frame time
// and writes a byte into the pipe whose read end the program holds; dequeuing a buffer reads
// that byte back, so the pipe is readable exactly while a finished frame waits.
class FakeDevice {
public:
    // Null, with errno set, when the device can't be made.
    static std::unique_ptr<FakeDevice> Open(const Settings& settings, int openFlags);
    ~FakeDevice();

    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    // The descriptor open() returns; the program closes it, after this object is gone.
    int ProgramDescriptor() const { return programEnd_; }

    // ioctl(): 0, or -1 with errno set.
    int Control(unsigned long request, void* argument);
    // mmap() of a buffer at the offset VIDIOC_QUERYBUF gave; MAP_FAILED with errno set.
    void* Map(void* address, std::size_t length, int protection, int flags, off_t offset);

private:
    enum class BufferState { Dequeued, Queued, Done };
    struct Buffer {
        BufferState state = BufferState::Dequeued;
        std::uint32_t sequence = 0;
        timeval timestamp{};
        std::uint32_t bytesUsed = 0;  // of the frame it holds
    };
    using Clock = std::chrono::steady_clock;

    FakeDevice(const Settings& settings, int programEnd, int clockEnd, int marker, bool blocking);

    int QueryCapability(v4l2_capability& capability) const;
    int EnumerateFormats(v4l2_fmtdesc& description) const;
    int EnumerateSizes(v4l2_frmsizeenum& size) const;
    int EnumerateRates(v4l2_frmivalenum& interval) const;
    int Format(v4l2_format& format, unsigned long request);
    int StreamParameters(v4l2_streamparm& parameters, bool set);
    int RequestBuffers(v4l2_requestbuffers& request);
    int QueryBuffer(v4l2_buffer& buffer) const;
    int QueueBuffer(const v4l2_buffer& buffer);
    int DequeueBuffer(v4l2_buffer& buffer, std::unique_lock<std::mutex>& lock);
    int Stream(const int* type, bool on);
    void StopStreaming();
    void FreeBuffers();
    void Describe(std::size_t index, v4l2_buffer& buffer) const;

    void RunClock();
    bool Stalled(Clock::time_point frameTime) const;
    void DeliverFrame();
    void Vanish();

    // The pixel formats the camera lists, in its order, and the mode a request gets.
    std::vector<std::uint32_t> Formats() const;
    std::size_t NearestMode(std::uint32_t format, unsigned width, unsigned height) const;
    const Mode& CurrentMode() const { return settings_.modes[mode_]; }
    // The most a frame of the current mode takes, and the picture buffer number holds in it.
    std::uint32_t FrameBytes() const;
    std::vector<std::uint8_t> Picture(std::size_t buffer) const;

    const Settings settings_;
    const int programEnd_;  // the pipe's read end: the device's descriptor
    const bool blocking_;   // opened without O_NONBLOCK: VIDIOC_DQBUF waits for a frame
    const int marker_;      // the memory that names the open camera in /proc

    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t mode_ = 0;  // in settings_.modes
    unsigned rate_;         // frames per second
    std::size_t bufferStride_ = 0;  // each buffer starts on a page
    std::vector<std::uint32_t> pictureBytes_;  // each buffer's picture, before any damage
    int clockEnd_;  // the pipe's write end; closed when the camera vanishes
    bool vanished_ = false;
    bool closing_ = false;
    bool streaming_ = false;
    std::optional<Clock::time_point> streamStartedAt_;  // at the first VIDIOC_STREAMON
    std::uint32_t framesDelivered_ = 0;
    int frameMemory_ = -1;  // a memfd holding every buffer, mapped by the program
    std::vector<Buffer> buffers_;
    std::deque<std::size_t> queued_, done_;
    std::thread clock_;
};

}  // namespace fakecamera
