#include "playback/PlayVideo.h"

#include "playback/FrameShape.h"
#include "playback/SourceOpening.h"
#include "playback/StreamColour.h"
#include "playback/VideoSource.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include <malloc.h>

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

// A camera that sends no frame for this long has stalled or is gone: playback ends as at a
// missing frame. Real cameras send many frames a second; the wait is sliced so that events are
// serviced while it lasts.
constexpr auto cameraPatience = std::chrono::seconds(1);
constexpr long long cameraSliceNs = 10'000'000;

std::optional<std::string> sourceName;
cv::VideoCapture videoCapture;
cv::Mat currentFrame;

// A command can arrive from an event pump while one runs (HighGUI pumps events in pollKey
// and while it creates a window). It only records its source; the running command opens and
// plays it. So OpenCV is never entered again from inside its own event pump, whose wait is not
// reentrant, and there is one loop, one capture and one window however often the user opens.
bool commandRunning = false;
unsigned long commandCount = 0;

void PollKey()
{
    cv::pollKey();
}

EventPump pumpEvents = PollKey;
ScreenRoomQuery screenRoom = nullptr;

FrameShape OpenCapture(const VideoSource& source)
{
    // Release first: a camera can't be opened again while the old capture still holds it.
    videoCapture.release();
    return OpenSource(videoCapture, source);
}

bool WindowShown()
{
    try {
        return cv::getWindowProperty(windowName, cv::WND_PROP_VISIBLE) > 0;
    } catch (const cv::Exception&) {
        return false;  // HighGUI throws once its last window is gone
    }
}

// Services window events, at most every eventInterval, and says whether playback goes on:
// not once the window was closed or another command was given.
class EventService {
public:
    explicit EventService(unsigned long command)
        : command_(command)
    {
    }

    bool Service()
    {
        const auto now = Clock::now();
        if (now - lastPump_ < eventInterval)
            return true;
        lastPump_ = now;
        pumpEvents();
        // A new command's first frame shows the window again, so it wins over a close.
        return commandCount == command_ && WindowShown();
    }

private:
    unsigned long command_;
    Clock::time_point lastPump_{};  // long ago: the first frame is painted at once
};

// Waits for the camera's next frame in short slices and services events between them, so a
// camera that stops sending neither freezes the windows nor holds playback for long. False
// when no frame came in time or playback must stop.
bool GrabCameraFrame(const std::vector<cv::VideoCapture>& camera, EventService& events)
{
    const auto deadline = Clock::now() + cameraPatience;
    std::vector<int> ready;
    while (!cv::VideoCapture::waitAny(camera, ready, cameraSliceNs)) {
        if (Clock::now() >= deadline || !events.Service())
            return false;
    }
    return !ready.empty();
}

// Reads the next frame into currentFrame. A camera's first frame starts its stream and is
// read in one piece (OpenCV waits for it up to OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT); later ones
// are awaited in slices. So events are serviced only once a frame is on screen, as for a file.
bool ReadFrame(bool fromCamera, bool first, const std::vector<cv::VideoCapture>& camera,
               EventService& events)
{
    if (fromCamera && !first)
        return GrabCameraFrame(camera, events) && videoCapture.retrieve(currentFrame);
    return videoCapture.read(currentFrame);
}

// The room for the picture on the screen the window is on, if the program says.
std::optional<ScreenRoom> RoomForPicture()
{
    if (!screenRoom)
        return std::nullopt;
    const cv::Rect shown = cv::getWindowImageRect(windowName);
    return screenRoom(shown.x + shown.width / 2, shown.y + shown.height / 2);
}

// Moves the window, if need be, so that its picture, of the size given, lies wholly in the room.
void KeepInRoom(cv::Size picture, const ScreenRoom& room)
{
    const cv::Rect shown = cv::getWindowImageRect(windowName);
    const int x = std::max(room.x, std::min(shown.x, room.x + room.width - picture.width));
    const int y = std::max(room.y, std::min(shown.y, room.y + room.height - picture.height));
    if (x != shown.x || y != shown.y)
        cv::moveWindow(windowName, x - room.frameLeft, y - room.frameTop);
}

// Shows frames until the capture yields none, the window was closed, or another command was
// given meanwhile.
void PlayFrames(unsigned long command, bool fromCamera, const FrameShape& shape)
{
    EventService events(command);
    const std::vector<cv::VideoCapture> camera{videoCapture};
    try {
        const std::optional<ScreenRoom> room = RoomForPicture();
        FrameShaper shaper(shape, room ? cv::Size(room->width, room->height) : cv::Size());
        cv::Size shownSize;
        for (bool first = true;; first = false) {
            if (!ReadFrame(fromCamera, first, camera, events) || currentFrame.empty())
                break;
            const cv::Mat& picture = shaper.Shaped(currentFrame);
            // The window takes the picture's size. One already on screen may then reach past
            // its edge; a new one is placed by the window manager, which keeps it on screen.
            const bool resized = picture.size() != shownSize;
            const bool placed = resized && room && WindowShown();
            cv::imshow(windowName, picture);
            shownSize = picture.size();
            if (placed)
                KeepInRoom(shownSize, *room);
            if (!events.Service())
                break;
        }
    } catch (const std::exception&) {
        // A frame that can't be read or shown ends playback like a missing one.
    }
    currentFrame.release();
}

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
        const VideoSource source = SelectSource(sourceName);
        const FrameShape shape = OpenCapture(source);
        // Made before the capture is tested: a source that fails still leaves the window up.
        if (!EnsureWindow())
            break;
        if (videoCapture.isOpened() && played == commandCount)
            PlayFrames(played, source.kind == VideoSource::Kind::Camera, shape);
    }
    commandRunning = false;
    const double framePixels =
        videoCapture.get(cv::CAP_PROP_FRAME_WIDTH) * videoCapture.get(cv::CAP_PROP_FRAME_HEIGHT);
    // Nothing plays any more: free the file or camera (a camera's light goes out).
    videoCapture.release();
    ConvertFramesAs(std::nullopt);  // OpenCV's converter as OpenCV has it, for whoever reads next
    GiveBackMemory(framePixels);
}

const std::optional<std::string>& SourceName()
{
    return sourceName;
}

void ReelviewUseScreens(ScreenRoomQuery query) noexcept
{
    screenRoom = query;
}

void ReelviewPlayVideo(const char* acceptedName, std::size_t size, EventPump pump) noexcept
{
    pumpEvents = pump ? pump : PollKey;
    if (acceptedName)
        PlayVideo(std::string(acceptedName, size));
    else
        PlayVideo(std::nullopt);
}
