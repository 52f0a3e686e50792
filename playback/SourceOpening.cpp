#include "playback/SourceOpening.h"

#include "playback/CameraModes.h"
#include "playback/DecoderTap.h"

#include <opencv2/core/utils/logger.hpp>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/log.h>
}

#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Demuxers that read the file they are handed and then open further resources it names:
// playlist segments and keys, manifest parts, concatenated files, packaged track files, the
// network streams of a session description, the .sub file beside a subtitle index. A named
// resource can be a FIFO, a device or a network address, and the open would wait on it.
constexpr std::array refusedFormats{"hls", "dash", "concat", "imf", "sdp", "vobsub"};

bool IsRefused(const AVInputFormat& format)
{
    // Demuxers that open their own resources by name never read the file they are handed.
    if (format.flags & AVFMT_NOFILE)
        return true;
    for (const char* refused : refusedFormats)
        if (std::strcmp(format.name, refused) == 0)
            return true;
    return false;
}

void Silently(void*, int, const char*, va_list) {}

// What every open of a file is restricted to: local files only, and only demuxers that read
// nothing else. OpenCV's opens and the program's own take the same.
std::vector<std::pair<std::string, std::string>> FileOpenOptions()
{
    return {{"protocol_whitelist", "file"}, {"format_whitelist", AllowedFormats()}};
}

// OpenCV's FFmpeg and V4L2 back ends read their settings from the environment when they open
// a source. The program takes nothing from its environment, so they get fixed ones.
void Configure()
{
    // Damaged files make the decoder report every broken packet; the user's session log is no
    // place for that.
    av_log_set_callback(Silently);
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    unsetenv("OPENCV_FFMPEG_DEBUG");
    unsetenv("OPENCV_FFMPEG_LOGLEVEL");  // either would replace the silent log

    // OpenCV's form: name;value pairs joined by '|'.
    std::string options;
    for (const auto& [name, value] : FileOpenOptions())
        options += (options.empty() ? "" : "|") + name + ';' + value;
    setenv("OPENCV_FFMPEG_CAPTURE_OPTIONS", options.c_str(), 1);

    // The decoder's threads would each get a malloc arena of their own, mapped anew; sharing
    // the one heap, they take memory already made (the reader's malloc keeps what is freed, see
    // FrameReader.cpp).
    mallopt(M_ARENA_MAX, 1);

    // How long, in whole seconds, a camera's first frame is waited for in one piece. Later
    // frames are awaited in short slices (see FrameReader).
    setenv("OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT", "2", 1);
}

// A quarter turn clockwise, 0 to 3, from degrees in either direction.
int QuarterTurns(double clockwiseDegrees)
{
    if (!std::isfinite(clockwiseDegrees))
        return 0;
    return (int(std::lround(std::fmod(clockwiseDegrees, 360) / 90)) % 4 + 4) % 4;
}

// What the file's header says of its first video stream, the one OpenCV plays: how far it is
// to be turned clockwise for display (as FFmpeg itself reads its display matrix), and its
// colour matrix and range. Read apart from OpenCV, which says neither.
struct StreamHeader {
    int clockwiseDegrees = 0;
    int matrix = AVCOL_SPC_UNSPECIFIED;
    int range = AVCOL_RANGE_UNSPECIFIED;
};

StreamHeader ReadStreamHeader(const std::string& decoderPath)
{
    StreamHeader header;
    AVDictionary* options = nullptr;
    for (const auto& [name, value] : FileOpenOptions())
        av_dict_set(&options, name.c_str(), value.c_str(), 0);
    AVFormatContext* context = nullptr;
    const int opened = avformat_open_input(&context, decoderPath.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0)
        return header;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream& stream = *context->streams[i];
        if (stream.codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
            continue;
        header.matrix = stream.codecpar->color_space;
        header.range = stream.codecpar->color_range;
        std::size_t size = 0;
        const uint8_t* matrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
        // The matrix's angle is anticlockwise.
        if (matrix && size >= 9 * sizeof(int32_t))
            header.clockwiseDegrees =
                90 * QuarterTurns(-av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix)));
        break;
    }
    avformat_close_input(&context);
    return header;
}

// Pixels wider or narrower than this are a damaged or hostile header, not a picture: scaling
// by it would make frames of gigabytes. Real material stays within 2:1 either way.
constexpr double widestPixel = 4;

// How the frames of a file capture has just opened are to be shown; sets up their colour.
// OpenCV's own orientation is turned off and the program turns the frames itself: OpenCV 4.6
// reads the display matrix backwards and shows a portrait phone video upside down, later
// releases read it right, so whether OpenCV turns at all can't be trusted.
FrameShape ReadFrameShape(cv::VideoCapture& capture, const HeldFile& file)
{
    const StreamHeader header = ReadStreamHeader(file.DecoderPath());
    FrameShape shape;
    const double numerator = capture.get(cv::CAP_PROP_SAR_NUM);
    const double denominator = capture.get(cv::CAP_PROP_SAR_DEN);
    if (numerator >= 1 && denominator >= 1 && numerator <= widestPixel * denominator
        && denominator <= widestPixel * numerator) {
        shape.aspectNumerator = int(numerator);
        shape.aspectDenominator = int(denominator);
    }
    if (capture.set(cv::CAP_PROP_ORIENTATION_AUTO, 0))
        shape.clockwiseDegrees = header.clockwiseDegrees;
    TapFile(DescribedColour(header.matrix, header.range, int(capture.get(cv::CAP_PROP_FRAME_WIDTH)),
                            int(capture.get(cv::CAP_PROP_FRAME_HEIGHT))));
    return shape;
}

}  // namespace

void ConfigureVideoLibraries()
{
    static const bool configured = (Configure(), true);
    (void)configured;
}

std::optional<HeldFile> HeldFile::Open(const std::string& path)
{
    // O_PATH opens nothing: no FIFO waits for a writer, no device is woken up.
    return Adopt(::open(path.c_str(), O_PATH | O_CLOEXEC));
}

std::optional<HeldFile> HeldFile::Adopt(int descriptor)
{
    if (descriptor < 0)
        return std::nullopt;
    HeldFile file(descriptor);
    struct stat status {};
    // An empty file can't be a video; procfs files that block a reader also report no size.
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0)
        return std::nullopt;
    return file;
}

HeldFile::HeldFile(int descriptor)
    : descriptor_(descriptor)
{
}

HeldFile::HeldFile(HeldFile&& other) noexcept
    : descriptor_(other.descriptor_)
{
    other.descriptor_ = -1;
}

HeldFile::~HeldFile()
{
    if (descriptor_ >= 0)
        ::close(descriptor_);
}

std::string HeldFile::DecoderPath() const
{
    return "/proc/self/fd/" + std::to_string(descriptor_);
}

const std::string& AllowedFormats()
{
    static const std::string allowed = [] {
        std::string list;
        void* position = nullptr;
        while (const AVInputFormat* format = av_demuxer_iterate(&position)) {
            if (IsRefused(*format))
                continue;
            if (!list.empty())
                list += ',';
            list += format->name;
        }
        return list;
    }();
    return allowed;
}

FrameShape OpenSource(cv::VideoCapture& capture, const HeldFile& file)
{
    ConfigureVideoLibraries();
    TapFile(std::nullopt);  // a failed file's frames, of which there are none, as they come
    try {
        // FFmpeg alone: other back ends read a file name as a pipeline description or an
        // image-sequence pattern.
        if (capture.open(file.DecoderPath(), cv::CAP_FFMPEG))
            return ReadFrameShape(capture, file);
    } catch (const cv::Exception&) {
        capture.release();
    }
    return {};
}

void OpenSource(cv::VideoCapture& capture, int cameraIndex, cv::Size room)
{
    ConfigureVideoLibraries();
    TapFile(std::nullopt);  // a camera's frames as they come
    try {
        OpenCamera(capture, cameraIndex, room);
    } catch (const cv::Exception&) {
        capture.release();
    }
}
