#include "playback/CameraModes.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The pixel formats of cameras that OpenCV 4.6's V4L2 back end converts to BGR.
constexpr std::array convertedFormats{
    V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_UYVY, V4L2_PIX_FMT_NV12,  V4L2_PIX_FMT_NV21,  V4L2_PIX_FMT_YUV420,
    V4L2_PIX_FMT_YVU420, V4L2_PIX_FMT_BGR24, V4L2_PIX_FMT_RGB24, V4L2_PIX_FMT_GREY, V4L2_PIX_FMT_MJPEG,
    V4L2_PIX_FMT_JPEG};

// A driver that answers every index would keep the listing going for ever.
constexpr unsigned mostListed = 64;

// 15 frames a second, or a hair under it, as NTSC-derived rates (1000/1001) are.
constexpr double smoothRate = 14.9;

bool Compressed(std::uint32_t format)
{
    return format == V4L2_PIX_FMT_MJPEG || format == V4L2_PIX_FMT_JPEG;
}

class Device {
public:
    explicit Device(int index)
        : descriptor_(::open(("/dev/video" + std::to_string(index)).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC))
    {
    }
    ~Device()
    {
        if (descriptor_ >= 0)
            ::close(descriptor_);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    template <typename Argument>
    bool Ask(unsigned long request, Argument& argument) const
    {
        return descriptor_ >= 0 && ::ioctl(descriptor_, request, &argument) == 0;
    }

private:
    int descriptor_;
};

double FramesPerSecond(const v4l2_fract& interval)
{
    return interval.numerator > 0 ? double(interval.denominator) / interval.numerator : 0;
}

// The highest rate the camera gives in format at size; 0 when it lists none.
double FastestRate(const Device& camera, std::uint32_t format, cv::Size size)
{
    double fastest = 0;
    for (unsigned index = 0; index < mostListed; ++index) {
        v4l2_frmivalenum interval{};
        interval.index = index;
        interval.pixel_format = format;
        interval.width = unsigned(size.width);
        interval.height = unsigned(size.height);
        if (!camera.Ask(VIDIOC_ENUM_FRAMEINTERVALS, interval))
            break;
        if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE)
            return FramesPerSecond(interval.stepwise.min);  // a range: its shortest interval
        fastest = std::max(fastest, FramesPerSecond(interval.discrete));
    }
    return fastest;
}

// Whether a, of the same size as b, is the better way to get it: faster, or as fast and raw.
bool Better(const CameraMode& a, const CameraMode& b)
{
    if (std::abs(a.framesPerSecond - b.framesPerSecond) > 0.5)
        return a.framesPerSecond > b.framesPerSecond;
    return !Compressed(a.format) && Compressed(b.format);
}

}  // namespace

std::vector<CameraMode> ListCameraModes(int index)
{
    const Device camera(index);
    std::vector<CameraMode> modes;
    for (unsigned formatIndex = 0; formatIndex < mostListed; ++formatIndex) {
        v4l2_fmtdesc format{};
        format.index = formatIndex;
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (!camera.Ask(VIDIOC_ENUM_FMT, format))
            break;
        if (std::find(convertedFormats.begin(), convertedFormats.end(), format.pixelformat) == convertedFormats.end())
            continue;
        for (unsigned sizeIndex = 0; sizeIndex < mostListed; ++sizeIndex) {
            v4l2_frmsizeenum size{};
            size.index = sizeIndex;
            size.pixel_format = format.pixelformat;
            if (!camera.Ask(VIDIOC_ENUM_FRAMESIZES, size) || size.type != V4L2_FRMSIZE_TYPE_DISCRETE)
                break;
            const cv::Size frame(int(size.discrete.width), int(size.discrete.height));
            if (const double rate = FastestRate(camera, format.pixelformat, frame); rate > 0 && !frame.empty())
                modes.push_back({format.pixelformat, frame, rate});
        }
    }
    return modes;
}

std::optional<CameraMode> ChooseCameraMode(const std::vector<CameraMode>& modes, cv::Size room)
{
    // Each size at its best rate, of those fast enough.
    std::vector<CameraMode> sizes;
    for (const CameraMode& mode : modes) {
        if (mode.framesPerSecond < smoothRate)
            continue;
        const auto same = std::find_if(sizes.begin(), sizes.end(), [&](const CameraMode& m) { return m.size == mode.size; });
        if (same == sizes.end())
            sizes.push_back(mode);
        else if (Better(mode, *same))
            *same = mode;
    }
    if (sizes.empty())
        return std::nullopt;
    const auto fills = [room](const CameraMode& mode) {
        return !room.empty() && (mode.size.width >= room.width || mode.size.height >= room.height);
    };
    // Ordered by the picture's area, then its rate.
    const auto smaller = [](const CameraMode& a, const CameraMode& b) {
        const double areaA = a.size.area(), areaB = b.size.area();
        return areaA != areaB ? areaA < areaB : a.framesPerSecond < b.framesPerSecond;
    };
    std::vector<CameraMode> filling;
    std::copy_if(sizes.begin(), sizes.end(), std::back_inserter(filling), fills);
    if (!filling.empty())
        return *std::min_element(filling.begin(), filling.end(), smaller);
    return *std::max_element(sizes.begin(), sizes.end(), smaller);
}

void OpenCamera(cv::VideoCapture& capture, int index, cv::Size room)
{
    const std::optional<CameraMode> mode = ChooseCameraMode(ListCameraModes(index), room);
    if (!capture.open(index, cv::CAP_V4L2) || !mode)
        return;
    // Only what differs from the mode OpenCV opened the camera in is asked for, as each new
    // format and each new size sets the camera up again: the format first, kept at the next size,
    // and the rate last, as a new size resets it.
    const auto differs = [&capture](cv::VideoCaptureProperties property, double value) {
        return std::lround(capture.get(property)) != std::lround(value);
    };
    bool accepted = true;
    if (differs(cv::CAP_PROP_FOURCC, mode->format))
        accepted = capture.set(cv::CAP_PROP_FOURCC, mode->format);
    if (accepted && (differs(cv::CAP_PROP_FRAME_WIDTH, mode->size.width) || differs(cv::CAP_PROP_FRAME_HEIGHT, mode->size.height)))
        accepted = capture.set(cv::CAP_PROP_FRAME_WIDTH, mode->size.width)
            && capture.set(cv::CAP_PROP_FRAME_HEIGHT, mode->size.height);
    if (accepted && differs(cv::CAP_PROP_FPS, mode->framesPerSecond))
        capture.set(cv::CAP_PROP_FPS, mode->framesPerSecond);  // refused: the rate the camera gave
    if (!accepted)
        capture.open(index, cv::CAP_V4L2);  // as the camera opens by itself
}
