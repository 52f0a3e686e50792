#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Plays a video source in the window "video" and returns when the source yields no more
// frames, when that window is closed, or at once when the source can't be opened. A picture
// larger than the screen's room (see ReelviewUseScreens) is scaled down to fit it whole, and
// the window is kept on that screen. On a high-DPI screen the window takes the size it has on
// an ordinary one and shows the picture at the resolution of the screen's own pixels.
//
// An accepted name (bytes, passed to OpenCV unchanged) becomes the source name; without one
// the last accepted name plays again, or camera 0 while none was ever accepted. The source is
// opened and read in a confined process of its own (FrameReader), and window events are serviced while frames play and
// while they are awaited, however long a slow disk makes them wait. A command given from those
// events returns at once: the running one leaves its source and plays the new one instead.
// Nothing is thrown and nothing is reported: a failure is a source that did not open.
void PlayVideo(const std::optional<std::string>& acceptedName);

// The last accepted name, absent until the first one.
const std::optional<std::string>& SourceName();

// Services pending window events once. Playback calls it while frames play, at most every
// 30 ms. By default it is HighGUI's own wait (cv::pollKey), which spins in 1 ms sleeps until
// its timer fires; a program whose Qt event loop HighGUI's windows share can process its
// pending events at once instead, which costs a fraction of that.
using EventPump = void (*)();

// Where the picture of "video" may lie, in the units window geometry is given in: the free
// area of a screen less the frame a window manager draws around a window, and where a window's
// picture lies inside that frame; and how many of the screen's pixels make one such unit
// across (2 on a high-DPI screen at 200%).
struct ScreenRoom {
    int x, y, width, height;
    int frameLeft, frameTop;
    double pixelRatio;
};

// The room on the screen that holds the point (x, y), or on the primary screen when none does.
// Without one, a picture is shown at its own size however large it is.
using ScreenRoomQuery = ScreenRoom (*)(int x, int y);

// PlayVideo for a program that loads playback at run time, found by the name below: the
// accepted name's bytes, or null for none, and the event pump to use (null: HighGUI's).
extern "C" void ReelviewPlayVideo(const char* acceptedName, std::size_t size, EventPump pump) noexcept;
inline constexpr char playVideoEntry[] = "ReelviewPlayVideo";

// Gives playback the program's view of its screens, found by the name below; null for none.
// Called once the program has loaded playback, it also starts the first command's reader.
extern "C" void ReelviewUseScreens(ScreenRoomQuery query) noexcept;
inline constexpr char useScreensEntry[] = "ReelviewUseScreens";
