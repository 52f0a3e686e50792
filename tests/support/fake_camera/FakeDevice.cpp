#include "support/fake_camera/FakeDevice.h"

#include "support/fake_camera/RealCalls.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace fakecamera {

namespace {

constexpr std::uint32_t pixelFormat = V4L2_PIX_FMT_BGR24;
constexpr std::uint32_t captureType = V4L2_BUF_TYPE_VIDEO_CAPTURE;
constexpr std::uint32_t maximumBuffers = 8;

int Fail(int error)
{
    errno = error;
    return -1;
}

template <std::size_t size>
void CopyName(__u8 (&target)[size], const char* name)
{
    std::strncpy(reinterpret_cast<char*>(target), name, size - 1);
}

std::size_t PageRounded(std::size_t bytes)
{
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

std::string TemporaryFolderPattern()
{
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder && *folder ? folder : "/tmp") + "/fake-camera.XXXXXX";
}

}  // namespace

std::unique_ptr<FakeDevice> FakeDevice::Open(const Settings& settings, int openFlags)
{
    std::string folder = TemporaryFolderPattern();
    if (!mkdtemp(folder.data()))
        return nullptr;
    const std::string fifo = folder + "/video0";
    int programEnd = -1;
    int clockEnd = -1;
    if (mkfifo(fifo.c_str(), 0600) == 0) {
        // Both ends without blocking: the read end first, or opening the write end fails.
        programEnd = real::Open(fifo.c_str(), O_RDONLY | O_NONBLOCK | (openFlags & O_CLOEXEC), 0);
        if (programEnd != -1)
            clockEnd = real::Open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC, 0);
    }
    const int error = errno;
    // Open ends keep the FIFO alive: the folder goes now, so nothing outlives the process.
    unlink(fifo.c_str());
    rmdir(folder.c_str());
    if (clockEnd == -1) {
        if (programEnd != -1)
            real::Close(programEnd);
        errno = error;
        return nullptr;
    }
    return std::unique_ptr<FakeDevice>(
        new FakeDevice(settings, programEnd, clockEnd, (openFlags & O_NONBLOCK) == 0));
}

FakeDevice::FakeDevice(const Settings& settings, int programEnd, int clockEnd, bool blocking)
    : settings_(settings)
    , programEnd_(programEnd)
    , blocking_(blocking)
    , bufferStride_(PageRounded(FrameBytes()))
    , clockEnd_(clockEnd)
{
    clock_ = std::thread(&FakeDevice::RunClock, this);
}

FakeDevice::~FakeDevice()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    clock_.join();
    FreeBuffers();
    if (clockEnd_ != -1)
        real::Close(clockEnd_);
}

int FakeDevice::Control(unsigned long request, void* argument)
{
    std::unique_lock<std::mutex> lock(mutex_);
    // An unplugged device answers nothing any more, as the kernel does once it is unregistered.
    if (vanished_)
        return Fail(ENODEV);
    if (!argument)
        return Fail(EFAULT);
    switch (request) {
    case VIDIOC_QUERYCAP:
        return QueryCapability(*static_cast<v4l2_capability*>(argument));
    case VIDIOC_ENUM_FMT: {
        auto& description = *static_cast<v4l2_fmtdesc*>(argument);
        if (description.index != 0 || description.type != captureType)
            return Fail(EINVAL);
        description.flags = 0;
        CopyName(description.description, "24-bit BGR 8-8-8");
        description.pixelformat = pixelFormat;
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto& size = *static_cast<v4l2_frmsizeenum*>(argument);
        if (size.index != 0 || size.pixel_format != pixelFormat)
            return Fail(EINVAL);
        size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size.discrete = {settings_.width, settings_.height};
        return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_TRY_FMT:
        return Format(*static_cast<v4l2_format*>(argument), false);
    case VIDIOC_S_FMT:
        return Format(*static_cast<v4l2_format*>(argument), true);
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM:
        // The rate is the camera's own: asking for another one gets this one back.
        return StreamParameters(*static_cast<v4l2_streamparm*>(argument));
    case VIDIOC_G_INPUT:
        *static_cast<int*>(argument) = 0;
        return 0;
    case VIDIOC_S_INPUT:
        return *static_cast<int*>(argument) == 0 ? 0 : Fail(EINVAL);
    case VIDIOC_ENUMINPUT: {
        auto& input = *static_cast<v4l2_input*>(argument);
        if (input.index != 0)
            return Fail(EINVAL);
        input = v4l2_input{};
        CopyName(input.name, "Camera 1");
        input.type = V4L2_INPUT_TYPE_CAMERA;
        return 0;
    }
    case VIDIOC_REQBUFS:
        return RequestBuffers(*static_cast<v4l2_requestbuffers*>(argument));
    case VIDIOC_QUERYBUF:
        return QueryBuffer(*static_cast<v4l2_buffer*>(argument));
    case VIDIOC_QBUF:
        return QueueBuffer(*static_cast<v4l2_buffer*>(argument));
    case VIDIOC_DQBUF:
        return DequeueBuffer(*static_cast<v4l2_buffer*>(argument), lock);
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
        return Stream(static_cast<const int*>(argument), request == VIDIOC_STREAMON);
    case VIDIOC_QUERYCTRL:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
        return Fail(EINVAL);  // a camera without controls
    default:
        return Fail(ENOTTY);  // what the kernel answers for a request a driver lacks
    }
}

void* FakeDevice::Map(void* address, std::size_t length, int protection, int flags, off_t offset)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (vanished_) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    const auto index = static_cast<std::size_t>(offset) / bufferStride_;
    if (frameMemory_ == -1 || offset < 0 || static_cast<std::size_t>(offset) % bufferStride_ != 0
        || index >= buffers_.size() || length == 0 || length > bufferStride_
        || (flags & MAP_SHARED) == 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return real::Map(address, length, protection, flags, frameMemory_, offset);
}

int FakeDevice::QueryCapability(v4l2_capability& capability) const
{
    capability = v4l2_capability{};
    CopyName(capability.driver, "fake_camera");
    CopyName(capability.card, "Fake camera");
    CopyName(capability.bus_info, "platform:fake-camera");
    capability.version = 0x060100;
    capability.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    capability.capabilities = capability.device_caps | V4L2_CAP_DEVICE_CAPS;
    return 0;
}

int FakeDevice::Format(v4l2_format& format, bool set) const
{
    if (format.type != captureType)
        return Fail(EINVAL);
    if (set && !buffers_.empty())
        return Fail(EBUSY);
    // One format, one size: a driver answers any request with the nearest it has.
    format.fmt.pix = v4l2_pix_format{};
    format.fmt.pix.width = settings_.width;
    format.fmt.pix.height = settings_.height;
    format.fmt.pix.pixelformat = pixelFormat;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = settings_.width * 3;
    format.fmt.pix.sizeimage = FrameBytes();
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
    return 0;
}

int FakeDevice::StreamParameters(v4l2_streamparm& parameters) const
{
    if (parameters.type != captureType)
        return Fail(EINVAL);
    parameters.parm.capture = v4l2_captureparm{};
    parameters.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    parameters.parm.capture.timeperframe = {1, settings_.framesPerSecond};
    return 0;
}

int FakeDevice::RequestBuffers(v4l2_requestbuffers& request)
{
    if (request.type != captureType || request.memory != V4L2_MEMORY_MMAP)
        return Fail(EINVAL);
    if (streaming_ && request.count > 0)
        return Fail(EBUSY);
    FreeBuffers();
    request.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
    if (request.count == 0)
        return 0;
    const std::uint32_t count = std::min(request.count, maximumBuffers);
    frameMemory_ = memfd_create("fake-camera-frames", MFD_CLOEXEC);
    if (frameMemory_ == -1)
        return -1;
    if (ftruncate(frameMemory_, static_cast<off_t>(count * bufferStride_)) != 0) {
        const int error = errno;
        FreeBuffers();
        return Fail(error);
    }
    // The picture never changes, so every buffer is painted once, here: the colour, with a
    // white top-left quarter that shows which way round the picture is.
    std::vector<std::uint8_t> picture(FrameBytes());
    for (std::size_t pixel = 0; pixel < picture.size(); pixel += 3) {
        const std::size_t x = pixel / 3 % settings_.width, y = pixel / 3 / settings_.width;
        const bool mark = x < settings_.width / 4 && y < settings_.height / 4;
        picture[pixel] = mark ? 0xff : settings_.blue;
        picture[pixel + 1] = mark ? 0xff : settings_.green;
        picture[pixel + 2] = mark ? 0xff : settings_.red;
    }
    for (std::uint32_t index = 0; index < count; ++index) {
        const auto offset = static_cast<off_t>(index * bufferStride_);
        if (pwrite(frameMemory_, picture.data(), picture.size(), offset) != static_cast<ssize_t>(picture.size())) {
            FreeBuffers();
            return Fail(ENOMEM);
        }
    }
    buffers_.assign(count, Buffer{});
    request.count = count;
    return 0;
}

int FakeDevice::QueryBuffer(v4l2_buffer& buffer) const
{
    if (buffer.type != captureType || buffer.index >= buffers_.size())
        return Fail(EINVAL);
    Describe(buffer.index, buffer);
    return 0;
}

int FakeDevice::QueueBuffer(const v4l2_buffer& buffer)
{
    if (buffer.type != captureType || buffer.memory != V4L2_MEMORY_MMAP || buffer.index >= buffers_.size()
        || buffers_[buffer.index].state != BufferState::Dequeued)
        return Fail(EINVAL);
    buffers_[buffer.index].state = BufferState::Queued;
    queued_.push_back(buffer.index);
    return 0;
}

int FakeDevice::DequeueBuffer(v4l2_buffer& buffer, std::unique_lock<std::mutex>& lock)
{
    if (buffer.type != captureType || buffer.memory != V4L2_MEMORY_MMAP)
        return Fail(EINVAL);
    while (done_.empty()) {
        if (!streaming_)
            return Fail(EINVAL);
        if (!blocking_)
            return Fail(EAGAIN);
        changed_.wait(lock);
        if (vanished_)
            return Fail(ENODEV);
        if (closing_)
            return Fail(EBADF);
    }
    const std::size_t index = done_.front();
    done_.pop_front();
    buffers_[index].state = BufferState::Dequeued;
    // Each finished frame left one byte in the FIFO; the descriptor is readable while any is left.
    char frameMark;
    [[maybe_unused]] const ssize_t unused = read(programEnd_, &frameMark, 1);
    Describe(index, buffer);
    return 0;
}

int FakeDevice::Stream(const int* type, bool on)
{
    if (*type != static_cast<int>(captureType))
        return Fail(EINVAL);
    if (!on) {
        StopStreaming();
        return 0;
    }
    if (buffers_.empty())
        return Fail(EINVAL);
    streaming_ = true;
    if (!streamStartedAt_) {
        streamStartedAt_ = Clock::now();
        RecordStreamStart(*streamStartedAt_);
        changed_.notify_all();
    }
    return 0;
}

void FakeDevice::StopStreaming()
{
    streaming_ = false;
    char frameMarks[maximumBuffers];
    if (!done_.empty()) {
        [[maybe_unused]] const ssize_t unused = read(programEnd_, frameMarks, done_.size());
    }
    queued_.clear();
    done_.clear();
    for (Buffer& buffer : buffers_)
        buffer.state = BufferState::Dequeued;
}

void FakeDevice::FreeBuffers()
{
    StopStreaming();
    buffers_.clear();
    if (frameMemory_ != -1)
        real::Close(frameMemory_);  // the program's mappings keep their memory until unmapped
    frameMemory_ = -1;
}

void FakeDevice::Describe(std::size_t index, v4l2_buffer& buffer) const
{
    const Buffer& state = buffers_[index];
    buffer.index = static_cast<std::uint32_t>(index);
    buffer.type = captureType;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.m.offset = static_cast<std::uint32_t>(index * bufferStride_);
    buffer.length = FrameBytes();
    buffer.bytesused = state.state == BufferState::Queued ? 0 : FrameBytes();
    buffer.field = V4L2_FIELD_NONE;
    buffer.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_EOF;
    if (state.state == BufferState::Queued)
        buffer.flags |= V4L2_BUF_FLAG_QUEUED;
    if (state.state == BufferState::Done)
        buffer.flags |= V4L2_BUF_FLAG_DONE;
    buffer.sequence = state.sequence;
    buffer.timestamp = state.timestamp;
}

void FakeDevice::RunClock()
{
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1))
        / settings_.framesPerSecond;
    const auto closing = [this] { return closing_; };
    std::unique_lock<std::mutex> lock(mutex_);
    // The camera's timeline, its stall and its unplugging included, starts with its stream,
    // however long the program takes between opening the device and asking for frames.
    changed_.wait(lock, [this] { return closing_ || streamStartedAt_; });
    if (closing_)
        return;
    const bool vanishes = settings_.vanishAfter.has_value();
    const Clock::time_point vanishAt = *streamStartedAt_ + settings_.vanishAfter.value_or(std::chrono::milliseconds(0));
    Clock::time_point nextFrame = *streamStartedAt_ + period;

    while (!closing_) {
        if (!Stalled(nextFrame))
            changed_.wait_until(lock, vanishes ? std::min(nextFrame, vanishAt) : nextFrame, closing);
        else if (vanishes)
            changed_.wait_until(lock, vanishAt, closing);
        else
            changed_.wait(lock, closing);
        if (closing_)
            break;
        const Clock::time_point now = Clock::now();
        if (vanishes && now >= vanishAt) {
            Vanish();
            break;
        }
        if (now >= nextFrame && !Stalled(nextFrame)) {
            DeliverFrame();
            // A late clock skips the frames it missed, as a sensor does.
            nextFrame = std::max(nextFrame + period, now);
        }
    }
}

bool FakeDevice::Stalled(Clock::time_point frameTime) const
{
    return (settings_.stallAfter && frameTime >= *streamStartedAt_ + *settings_.stallAfter)
        || (settings_.stallAfterFrames && framesDelivered_ >= *settings_.stallAfterFrames);
}

void FakeDevice::DeliverFrame()
{
    // Without a queued buffer the frame is dropped, as a driver drops it.
    if (!streaming_ || queued_.empty())
        return;
    const std::size_t index = queued_.front();
    queued_.pop_front();
    Buffer& buffer = buffers_[index];
    buffer.state = BufferState::Done;
    buffer.sequence = framesDelivered_++;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    buffer.timestamp = {now.tv_sec, now.tv_nsec / 1000};
    done_.push_back(index);
    [[maybe_unused]] const ssize_t unused = write(clockEnd_, "f", 1);
    changed_.notify_all();
}

void FakeDevice::Vanish()
{
    vanished_ = true;
    streaming_ = false;
    // A byte, then the write end's close: select() sees the descriptor readable and poll()
    // reports POLLIN | POLLHUP, so whoever waits wakes and meets ENODEV on its next ioctl.
    [[maybe_unused]] const ssize_t unused = write(clockEnd_, "v", 1);
    real::Close(clockEnd_);
    clockEnd_ = -1;
    changed_.notify_all();
}

}  // namespace fakecamera
