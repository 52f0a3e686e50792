#include "playback/PlayVideo.h"

#include "playback/VideoSource.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/videoio.hpp>

namespace {

using Clock = std::chrono::steady_clock;

const char* const windowName = "video";
// The window takes the size of the picture. HighGUI's Qt windows add a toolbar wider than
// most videos unless asked for the plain window, which would break that.
constexpr int windowFlags = cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL;

// HighGUI's event pump sleeps in 1 ms steps and each pump repaints the window, so pumping
// after every frame would cost half the frame rate. A pump every 30 ms, counted from the start
// of the last one, keeps the picture moving at display rate and both windows responsive while
// every frame is still shown and none is delayed on purpose.
constexpr auto eventInterval = std::chrono::milliseconds(30);

std::optional<std::string> sourceName;
cv::VideoCapture videoCapture;
cv::Mat currentFrame;

// A command can arrive from an event pump while one runs (HighGUI pumps events in pollKey
// and while it creates a window). It only records its source; the running command opens and
// plays it. So OpenCV is never entered again from inside its own event pump, whose wait is not
// reentrant, and there is one loop, one capture and one window however often the user opens.
bool commandRunning = false;
unsigned long commandCount = 0;

bool IsRegularFile(const std::string& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

void OpenCapture(const VideoSource& source)
{
    // Release first: a camera can't be opened again while the old capture still holds it.
    videoCapture.release();
    try {
        if (source.kind == VideoSource::Kind::Camera) {
            videoCapture.open(source.cameraIndex, cv::CAP_V4L2);
        } else if (IsRegularFile(source.path)) {
            // FFmpeg alone: other back ends read a file name as a pipeline description or an
            // image-sequence pattern, and a FIFO or device would block the open for good.
            videoCapture.open(source.path, cv::CAP_FFMPEG);
        }
    } catch (const cv::Exception&) {
        videoCapture.release();
    }
}

bool ReadFrame()
{
    try {
        return videoCapture.read(currentFrame) && !currentFrame.empty();
    } catch (const cv::Exception&) {
        return false;
    }
}

bool WindowShown()
{
    try {
        return cv::getWindowProperty(windowName, cv::WND_PROP_VISIBLE) > 0;
    } catch (const cv::Exception&) {
        return false;  // HighGUI throws once its last window is gone
    }
}

// Shows frames until the capture yields none, the window was closed, or another command was
// given meanwhile.
void PlayFrames(unsigned long command)
{
    Clock::time_point lastPump{};  // long ago: the first frame is painted at once
    try {
        while (ReadFrame()) {
            cv::imshow(windowName, currentFrame);
            const auto now = Clock::now();
            if (now - lastPump < eventInterval)
                continue;
            lastPump = now;
            cv::pollKey();
            // A new command's first frame shows the window again, so it wins over a close.
            if (commandCount != command || !WindowShown())
                break;
        }
    } catch (const std::exception&) {
        // A frame that can't be shown ends playback like a missing one.
    }
    currentFrame.release();
}

bool EnsureWindow()
{
    try {
        cv::namedWindow(windowName, windowFlags);
        return true;
    } catch (const cv::Exception&) {
        return false;  // HighGUI has no window system: nothing can be shown
    }
}

}  // namespace

void PlayVideo(const std::optional<std::string>& acceptedName)
{
    if (acceptedName)
        sourceName = acceptedName;
    ++commandCount;
    if (commandRunning)
        return;

    commandRunning = true;
    for (unsigned long played = 0; played != commandCount;) {
        played = commandCount;
        OpenCapture(SelectSource(sourceName));
        // Made before the capture is tested: a source that fails still leaves the window up.
        if (!EnsureWindow())
            break;
        if (videoCapture.isOpened() && played == commandCount)
            PlayFrames(played);
    }
    commandRunning = false;
    // Nothing plays any more: free the file or camera (a camera's light goes out).
    videoCapture.release();
}

const std::optional<std::string>& SourceName()
{
    return sourceName;
}
