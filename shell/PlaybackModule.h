#pragma once

#include "playback/PlayVideo.h"

#include <optional>
#include <string>

class QWidget;

// The playback command lives in a module of its own. OpenCV and the two hundred libraries
// behind it take longer to load than the main window takes to appear, so the module is
// loaded on a thread of its own once the window is up, and the first command waits for it
// only if it is not there yet.
namespace playback_module {

// Starts loading the module from its place beside the program (PLAYBACK_MODULE, relative to
// the program's folder). Does nothing once started.
void StartLoading();

// Starts loading once the window has first been exposed and painted, so loading, which holds
// the dynamic loader's lock for its whole length, can't hold up anything the window's first
// appearance needs.
void StartLoadingOnceShown(QWidget& window);

// What the module calls to service window events while frames play. HighGUI's windows share
// the program's event loop, so processing what is pending is all it takes, without HighGUI's
// own wait for a timer.
void PumpEvents();

// Where on the screen holding (x, y) the picture of "video" may lie, as playback is told.
ScreenRoom RoomOnScreen(int x, int y);

// Plays through the module, loading it first if need be. Throws forms::Exception saying
// what is wrong and where when the module is missing or broken.
void PlayVideo(const std::optional<std::string>& acceptedName);

}  // namespace playback_module
