#include "playback/PlayVideo.h"

#include "playback/FrameReader.h"
#include "playback/VideoSource.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>

namespace {

using Clock = std::chrono::steady_clock;

const char* const windowName = "video";
// The window takes the size of the picture. HighGUI's Qt windows add a toolbar wider than
// most videos unless asked for the plain window, which would break that.
constexpr int autosizedWindow = cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL;
// On a high-DPI screen an autosized window would repeat each pixel of a picture made at the
// screen's resolution. There the window scales what it paints, and playback sizes it itself
// to the picture's size in window units, so that what it paints is the picture pixel for pixel.
constexpr int scaledWindow = cv::WINDOW_NORMAL | cv::WINDOW_KEEPRATIO | cv::WINDOW_GUI_NORMAL;

// HighGUI's event pump sleeps in 1 ms steps and each pump repaints the window, so pumping
// after every frame would cost half the frame rate. A pump every 30 ms, counted from the start
// of the last one, keeps the picture moving at display rate and both windows responsive while
// every frame is still shown and none is delayed on purpose. While no frame comes (a slow disk,
// a stalled network share, a camera between frames) events are pumped as often.
constexpr auto eventInterval = std::chrono::milliseconds(30);

std::optional<std::string> sourceName;
// The frame most recently taken from the reader, which owns the capture (FrameReader).
cv::Mat currentFrame;

// A command can arrive from an event pump while one runs (HighGUI pumps events in pollKey
// and while it creates a window). It only records its source; the running command opens and
// plays it. So OpenCV is never entered again from inside its own event pump, whose wait is not
// reentrant, and there is one loop, one reader and one window however often the user opens.
bool commandRunning = false;
unsigned long commandCount = 0;

void PollKey()
{
    cv::pollKey();
}

EventPump pumpEvents = PollKey;
ScreenRoomQuery screenRoom = nullptr;

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
        , seen_(WindowShown())
    {
    }

    // When events are next due.
    Clock::time_point Due() const { return lastPump_ + eventInterval; }

    // firstFrame: the command's first frame was just shown; it is painted at once.
    bool Service(bool firstFrame = false)
    {
        const auto now = Clock::now();
        if (now < Due() && !firstFrame)
            return true;
        lastPump_ = now;
        pumpEvents();
        return commandCount == command_ && !WindowClosed();
    }

private:
    // Closed by the user since this command showed it. A window closed just before the command
    // may still be on its way out; the first frame shows it again, so it wins over that close.
    bool WindowClosed()
    {
        const bool shown = WindowShown();
        seen_ = seen_ || shown;
        return seen_ && !shown;
    }

    unsigned long command_;
    Clock::time_point lastPump_ = Clock::now();
    bool seen_;
};

// The room for the picture on the screen the window is on, if the program says.
std::optional<ScreenRoom> RoomForPicture()
{
    if (!screenRoom)
        return std::nullopt;
    const cv::Rect shown = cv::getWindowImageRect(windowName);
    return screenRoom(shown.x + shown.width / 2, shown.y + shown.height / 2);
}

// Whether the window takes the size of its picture by itself.
bool WindowAutosized()
{
    try {
        return cv::getWindowProperty(windowName, cv::WND_PROP_AUTOSIZE) == cv::WINDOW_AUTOSIZE;
    } catch (const cv::Exception&) {
        return true;
    }
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

// Shows the source's frames as its reader hands them over, until it has no more, the window was
// closed, or another command was given meanwhile. Events are serviced while frames are awaited,
// so a source that keeps the reader waiting never holds up the windows.
void PlayFrames(unsigned long command, const VideoSource& source)
{
    EventService events(command);
    try {
        const std::optional<ScreenRoom> room = RoomForPicture();
        const bool autosized = WindowAutosized();
        const double pixelRatio = room && !autosized ? room->pixelRatio : 1.0;
        FrameReader reader(source, room ? cv::Size(room->width, room->height) : cv::Size(), pixelRatio);
        cv::Size shownSize;
        for (;;) {
            const FrameReader::Next next = reader.Take(currentFrame, events.Due());
            if (next == FrameReader::Next::Ended)
                break;
            const bool first = next == FrameReader::Next::Frame && shownSize.empty();
            if (next == FrameReader::Next::Frame) {
                // The window takes the picture's size. One already on screen may then reach
                // past its edge; a new one is placed by the window manager, which keeps it on
                // screen.
                const bool resized = currentFrame.size() != shownSize;
                const bool placed = resized && room && WindowShown();
                cv::imshow(windowName, currentFrame);
                shownSize = currentFrame.size();
                const cv::Size window(int(std::lround(shownSize.width / pixelRatio)),
                                      int(std::lround(shownSize.height / pixelRatio)));
                if (resized && !autosized)
                    cv::resizeWindow(windowName, window);
                if (placed)
                    KeepInRoom(window, *room);
            }
            if (!events.Service(first))
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
        // A new window is placed on the primary screen, where no screen holds the point.
        const bool highDpi = screenRoom && screenRoom(std::numeric_limits<int>::min(), 0).pixelRatio > 1;
        cv::namedWindow(windowName, highDpi ? scaledWindow : autosizedWindow);
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
        // Made before the source is opened: a source that fails still leaves the window up.
        if (!EnsureWindow())
            break;
        if (played == commandCount)
            PlayFrames(played, SelectSource(sourceName));
    }
    commandRunning = false;
}

const std::optional<std::string>& SourceName()
{
    return sourceName;
}

void ReelviewUseScreens(ScreenRoomQuery query) noexcept
{
    screenRoom = query;
    FrameReader::Prepare();
}

void ReelviewPlayVideo(const char* acceptedName, std::size_t size, EventPump pump) noexcept
{
    pumpEvents = pump ? pump : PollKey;
    if (acceptedName)
        PlayVideo(std::string(acceptedName, size));
    else
        PlayVideo(std::nullopt);
}
