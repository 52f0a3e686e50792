#include "support/fake_camera/FakeDevice.h"

#include "support/fake_camera/RealCalls.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>  // jpeglib.h needs FILE
#include <jpeglib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <tuple>

namespace fakecamera {

namespace {

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

// BT.601 limited range, as a camera's YUYV is and as OpenCV reads it.
std::vector<std::uint8_t> ToYuyv(const std::vector<std::uint8_t>& bgr)
{
    std::vector<std::uint8_t> yuyv(bgr.size() / 3 * 2);
    const auto luma = [](const std::uint8_t* p) { return 16 + (65.738 * p[2] + 129.057 * p[1] + 25.064 * p[0]) / 256; };
    for (std::size_t pixel = 0; pixel + 1 < bgr.size() / 3; pixel += 2) {
        const std::uint8_t* left = &bgr[pixel * 3];
        const std::uint8_t* right = left + 3;
        // The pair's chroma from its average.
        const double r = (left[2] + right[2]) / 2.0, g = (left[1] + right[1]) / 2.0, b = (left[0] + right[0]) / 2.0;
        const auto byte = [](double value) { return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L)); };
        yuyv[pixel * 2] = byte(luma(left));
        yuyv[pixel * 2 + 1] = byte(128 + (-37.945 * r - 74.494 * g + 112.439 * b) / 256);
        yuyv[pixel * 2 + 2] = byte(luma(right));
        yuyv[pixel * 2 + 3] = byte(128 + (112.439 * r - 94.154 * g - 18.285 * b) / 256);
    }
    return yuyv;
}

void Silent(j_common_ptr) {}

// JPEG at 4:2:2, as USB cameras send it.
std::vector<std::uint8_t> ToJpeg(const std::vector<std::uint8_t>& bgr, unsigned width, unsigned height)
{
    jpeg_compress_struct compressor{};
    jpeg_error_mgr errors{};
    compressor.err = jpeg_std_error(&errors);
    errors.output_message = Silent;
    jpeg_create_compress(&compressor);
    unsigned char* data = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&compressor, &data, &size);
    compressor.image_width = width;
    compressor.image_height = height;
    compressor.input_components = 3;
    compressor.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&compressor);
    jpeg_set_quality(&compressor, 90, TRUE);
    compressor.comp_info[0].h_samp_factor = 2;
    compressor.comp_info[0].v_samp_factor = 1;
    jpeg_start_compress(&compressor, TRUE);
    for (unsigned row = 0; row < height; ++row) {
        JSAMPROW line = const_cast<std::uint8_t*>(&bgr[std::size_t(row) * width * 3]);
        jpeg_write_scanlines(&compressor, &line, 1);
    }
    jpeg_finish_compress(&compressor);
    jpeg_destroy_compress(&compressor);
    std::vector<std::uint8_t> jpeg(data, data + size);
    std::free(data);
    return jpeg;
}

}  // namespace

std::unique_ptr<FakeDevice> FakeDevice::Open(const Settings& settings, int openFlags)
{
    // A pipe, which needs nothing of the filesystem (the program may be confined), beside memory
    // named after the camera, which /proc shows among the process's descriptors while it is open.
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        return nullptr;
    const int marker = memfd_create("fake-camera", MFD_CLOEXEC);
    if (marker == -1 || ((openFlags & O_CLOEXEC) == 0 && fcntl(ends[0], F_SETFD, 0) != 0)) {
        const int error = errno;
        for (const int end : {ends[0], ends[1], marker})
            if (end != -1)
                real::Close(end);
        errno = error;
        return nullptr;
    }
    return std::unique_ptr<FakeDevice>(
        new FakeDevice(settings, ends[0], ends[1], marker, (openFlags & O_NONBLOCK) == 0));
}

FakeDevice::FakeDevice(const Settings& settings, int programEnd, int clockEnd, int marker, bool blocking)
    : settings_(settings)
    , programEnd_(programEnd)
    , blocking_(blocking)
    , marker_(marker)
    , rate_(settings.modes[0].rates[0])
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
    real::Close(marker_);
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
    case VIDIOC_ENUM_FMT:
        return EnumerateFormats(*static_cast<v4l2_fmtdesc*>(argument));
    case VIDIOC_ENUM_FRAMESIZES:
        return EnumerateSizes(*static_cast<v4l2_frmsizeenum*>(argument));
    case VIDIOC_ENUM_FRAMEINTERVALS:
        return EnumerateRates(*static_cast<v4l2_frmivalenum*>(argument));
    case VIDIOC_G_FMT:
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT:
        return Format(*static_cast<v4l2_format*>(argument), request);
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM:
        return StreamParameters(*static_cast<v4l2_streamparm*>(argument), request == VIDIOC_S_PARM);
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

std::vector<std::uint32_t> FakeDevice::Formats() const
{
    std::vector<std::uint32_t> formats;
    for (const Mode& mode : settings_.modes)
        if (std::find(formats.begin(), formats.end(), mode.format) == formats.end())
            formats.push_back(mode.format);
    return formats;
}

int FakeDevice::EnumerateFormats(v4l2_fmtdesc& description) const
{
    const std::vector<std::uint32_t> formats = Formats();
    if (description.type != captureType || description.index >= formats.size())
        return Fail(EINVAL);
    const std::uint32_t format = formats[description.index];
    description.pixelformat = format;
    description.flags = format == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
    CopyName(description.description, format == V4L2_PIX_FMT_MJPEG ? "Motion-JPEG"
                                      : format == V4L2_PIX_FMT_YUYV ? "YUYV 4:2:2"
                                                                     : "24-bit BGR 8-8-8");
    return 0;
}

int FakeDevice::EnumerateSizes(v4l2_frmsizeenum& size) const
{
    std::uint32_t index = 0;
    for (const Mode& mode : settings_.modes)
        if (mode.format == size.pixel_format && index++ == size.index) {
            size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
            size.discrete = {mode.width, mode.height};
            return 0;
        }
    return Fail(EINVAL);
}

int FakeDevice::EnumerateRates(v4l2_frmivalenum& interval) const
{
    for (const Mode& mode : settings_.modes)
        if (mode.format == interval.pixel_format && mode.width == interval.width && mode.height == interval.height) {
            if (interval.index >= mode.rates.size())
                break;
            interval.type = V4L2_FRMIVAL_TYPE_DISCRETE;
            interval.discrete = {1, mode.rates[interval.index]};
            return 0;
        }
    return Fail(EINVAL);
}

std::size_t FakeDevice::NearestMode(std::uint32_t format, unsigned width, unsigned height) const
{
    // A format the camera lacks gets its first one, as a driver answers with a format of its own.
    if (std::none_of(settings_.modes.begin(), settings_.modes.end(),
                     [format](const Mode& mode) { return mode.format == format; }))
        format = settings_.modes[0].format;
    // The distance between two sizes is the area they don't share, as the USB video driver has it.
    const auto distance = [width, height](const Mode& mode) {
        const std::uint64_t shared = std::uint64_t(std::min(width, mode.width)) * std::min(height, mode.height);
        return std::uint64_t(width) * height + std::uint64_t(mode.width) * mode.height - 2 * shared;
    };
    std::size_t nearest = settings_.modes.size();
    for (std::size_t i = 0; i < settings_.modes.size(); ++i)
        if (settings_.modes[i].format == format
            && (nearest == settings_.modes.size() || distance(settings_.modes[i]) < distance(settings_.modes[nearest])))
            nearest = i;
    return nearest;
}

std::uint32_t FakeDevice::FrameBytes() const
{
    const Mode& mode = CurrentMode();
    // A JPEG's room is what the USB video driver gives it: two bytes a pixel.
    return mode.width * mode.height * (mode.format == V4L2_PIX_FMT_BGR24 ? 3 : 2);
}

int FakeDevice::Format(v4l2_format& format, unsigned long request)
{
    if (format.type != captureType)
        return Fail(EINVAL);
    const bool set = request == VIDIOC_S_FMT;
    if (set && !buffers_.empty())
        return Fail(EBUSY);
    const std::size_t mode = request == VIDIOC_G_FMT
        ? mode_
        : NearestMode(format.fmt.pix.pixelformat, format.fmt.pix.width, format.fmt.pix.height);
    if (set) {
        mode_ = mode;
        rate_ = CurrentMode().rates[0];
    }
    const Mode& chosen = settings_.modes[mode];
    format.fmt.pix = v4l2_pix_format{};
    format.fmt.pix.width = chosen.width;
    format.fmt.pix.height = chosen.height;
    format.fmt.pix.pixelformat = chosen.format;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = chosen.format == V4L2_PIX_FMT_MJPEG ? 0
        : chosen.width * (chosen.format == V4L2_PIX_FMT_BGR24 ? 3 : 2);
    format.fmt.pix.sizeimage = chosen.width * chosen.height * (chosen.format == V4L2_PIX_FMT_BGR24 ? 3 : 2);
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
    return 0;
}

int FakeDevice::StreamParameters(v4l2_streamparm& parameters, bool set)
{
    if (parameters.type != captureType)
        return Fail(EINVAL);
    const v4l2_fract asked = parameters.parm.capture.timeperframe;
    // The nearest rate the mode has; none asked for (a zero fraction) is its default.
    if (set) {
        const std::vector<unsigned>& rates = CurrentMode().rates;
        rate_ = rates[0];
        if (asked.numerator != 0 && asked.denominator != 0) {
            const double wanted = double(asked.denominator) / asked.numerator;
            for (unsigned rate : rates)
                if (std::abs(rate - wanted) < std::abs(rate_ - wanted))
                    rate_ = rate;
        }
    }
    parameters.parm.capture = v4l2_captureparm{};
    parameters.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    parameters.parm.capture.timeperframe = {1, rate_};
    return 0;
}

std::vector<std::uint8_t> FakeDevice::Picture(std::size_t buffer) const
{
    const Mode& mode = CurrentMode();
    const unsigned width = mode.width, height = mode.height;
    // Painted once a process: a driver hands over what its sensor sends at no cost, and a
    // program's setting up of its camera is measured without the fake's own painting.
    using Key = std::tuple<std::uint32_t, unsigned, unsigned, std::uint8_t, std::uint8_t, std::uint8_t, int>;
    static auto* const painted = new std::map<Key, std::vector<std::uint8_t>>;  // never destroyed
    static auto* const paintedLock = new std::mutex;
    const Key key{mode.format, width, height, settings_.red, settings_.green, settings_.blue,
                  settings_.numbered ? NumberedLevel(static_cast<unsigned>(buffer)) : -1};
    std::lock_guard<std::mutex> lock(*paintedLock);
    if (const auto found = painted->find(key); found != painted->end())
        return found->second;
    // The colour, with a white top-left quarter that shows which way round the picture is.
    std::vector<std::uint8_t> bgr(std::size_t(width) * height * 3);
    for (std::size_t pixel = 0; pixel < bgr.size(); pixel += 3) {
        const std::size_t x = pixel / 3 % width, y = pixel / 3 / width;
        const bool mark = x < width / 4 && y < height / 4;
        const bool number = settings_.numbered && y >= height - height / 8 && x >= width / 2 - width / 16
            && x < width / 2 + width / 16;
        const auto level = static_cast<std::uint8_t>(NumberedLevel(static_cast<unsigned>(buffer)));
        bgr[pixel] = number ? level : mark ? 0xff : settings_.blue;
        bgr[pixel + 1] = number ? level : mark ? 0xff : settings_.green;
        bgr[pixel + 2] = number ? level : mark ? 0xff : settings_.red;
    }
    return (*painted)[key] = mode.format == V4L2_PIX_FMT_YUYV ? ToYuyv(bgr)
        : mode.format == V4L2_PIX_FMT_MJPEG                   ? ToJpeg(bgr, width, height)
                                                              : bgr;
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
    // A mode it lists, but can't give buffers for.
    const std::optional<Mode>& refused = settings_.refused;
    if (refused && refused->format == CurrentMode().format && refused->width == CurrentMode().width
        && refused->height == CurrentMode().height)
        return Fail(ENOMEM);
    const std::uint32_t count = std::min(request.count, maximumBuffers);
    bufferStride_ = PageRounded(FrameBytes());
    frameMemory_ = memfd_create("fake-camera-frames", MFD_CLOEXEC);
    if (frameMemory_ == -1)
        return -1;
    if (ftruncate(frameMemory_, static_cast<off_t>(count * bufferStride_)) != 0) {
        const int error = errno;
        FreeBuffers();
        return Fail(error);
    }
    // The picture never changes, so every buffer is painted once, here.
    pictureBytes_.clear();
    std::vector<std::uint8_t> picture;
    for (std::uint32_t index = 0; index < count; ++index) {
        if (index == 0 || settings_.numbered)
            picture = Picture(index);
        const auto offset = static_cast<off_t>(index * bufferStride_);
        if (picture.size() > bufferStride_
            || pwrite(frameMemory_, picture.data(), picture.size(), offset) != static_cast<ssize_t>(picture.size())) {
            FreeBuffers();
            return Fail(ENOMEM);
        }
        pictureBytes_.push_back(static_cast<std::uint32_t>(picture.size()));
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
    // Each finished frame left one byte in the pipe; the descriptor is readable while any is left.
    char frameMark;
    [[maybe_unused]] const ssize_t unused = read(programEnd_, &frameMark, 1);
    Describe(index, buffer);
    RecordFrameTaken();
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
        RecordStream({*streamStartedAt_, CurrentMode().format, CurrentMode().width, CurrentMode().height, rate_});
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
    buffer.bytesused = state.state == BufferState::Queued ? 0 : state.bytesUsed;
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
    const auto closing = [this] { return closing_; };
    std::unique_lock<std::mutex> lock(mutex_);
    // The camera's timeline, its stall and its unplugging included, starts with its stream,
    // however long the program takes between opening the device and asking for frames.
    changed_.wait(lock, [this] { return closing_ || streamStartedAt_; });
    if (closing_)
        return;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / rate_;
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
    const std::uint32_t number = framesDelivered_;
    const bool empty = settings_.emptyEvery && number % *settings_.emptyEvery == 0;
    const bool cut = settings_.cutEvery && number % *settings_.cutEvery == 0;
    buffer.bytesUsed = empty ? 0 : cut ? pictureBytes_[index] / 2 : pictureBytes_[index];
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    buffer.timestamp = {now.tv_sec, now.tv_nsec / 1000};
    RecordHandOver({Clock::now(), static_cast<unsigned>(index)});
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
