#pragma once

#include "playback/PlayVideo.h"

#include <opencv2/core.hpp>

#include <functional>
#include <string>
#include <vector>

// Measurements of the playback command in this process, on the program's own path (the
// module, its event pump), against what OpenCV alone does with the same file.

// A way to give the playback command with a file.
using Command = std::function<void(const std::string& path)>;
// The program's: the module, with the program's event pump and view of its screens.
void ProgramCommand(const std::string& path);
// The same, but playback is told of another room on the screen; null: none, so that every
// picture is shown at its own size.
Command CommandInRoom(ScreenRoomQuery room);
// The program's command through another build of the module (bench/run REVISION), loaded
// beside this one; empty if it can't be loaded.
Command BeforeCommand(const std::string& modulePath);

// Frames per second of ways to play a file to its end.
double BareReadFps(const std::string& path);     // read only: the decoder's ceiling
double PlayVideoFps(const std::string& path, const Command& command = ProgramCommand);
double WaitKeyLoopFps(const std::string& path);  // imshow + waitKey(1) after every frame
// A stream's colour by two routes: its matrix (an AVColorSpace) told to OpenCV's converter
// before the read (the program's), or, for BT.709, corrected in each frame after OpenCV
// converted it as BT.601.
double ToldColourReadFps(const std::string& path, int matrix);
double CorrectedColourReadFps(const std::string& path);
// Every frame, as it is, to a HighGUI window that scales what it paints to size, pumped as
// the program pumps.
double ScaledWindowFps(const std::string& path, cv::Size size);

struct Responsiveness {
    std::vector<double> eventDelaysMs;  // posted from another thread every 5 ms
    double repaintsPerSecond = 0;
    double framesPerSecond = 0;
};
// Plays the file once while events are posted to the GUI thread.
Responsiveness PlaybackResponsiveness(const std::string& path, const Command& command = ProgramCommand);

// From the playback command's call to the first frame painted in "video".
double FirstFrameMs(const std::string& path, const Command& command = ProgramCommand);
// What OpenCV alone takes to open the file and read its first frame: the reference for it.
double BareOpenReadMs(const std::string& path);

// What one frame costs the loop besides decoding, from the file's first frame: showing it in
// "video", and one event pump that paints it (the program's, or HighGUI's pollKey).
double ImshowMs(const std::string& path);
double PumpMs(const std::string& path);
double PollKeyMs(const std::string& path);
