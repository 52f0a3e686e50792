#pragma once

#include "Playback.h"

#include <string>
#include <vector>

// Measurements of camera 0, which is the fake V4L2 camera linked into the benchmark
// (tests/support/fake_camera) with the modes given (FAKE_CAMERA_MODES): the real OpenCV path
// runs, and the camera hands over its frames at its own rate.

struct CameraRun {
    double framesPerSecond = 0;  // read by the program, once the first was shown
    double cpuPercent = 0;       // of one core, the whole process, over the same time
    double firstFrameMs = -1;    // from the command to the first frame painted
};
// Plays the camera for the seconds given after its first frame, then closes "video".
CameraRun PlayCamera(const std::string& modes, double seconds, const Command& command = ProgramCommand);

// For each frame the camera handed over and the screen showed, how long after it reached the
// screen: read back from the X server, where the program's window has been drawn.
std::vector<double> CameraLatenciesMs(const std::string& modes, double seconds);

// What OpenCV alone takes to open the camera and read its first frame: in the mode it opens a
// camera in by itself, or then set to the size and format given (a fourcc such as "MJPG").
double BareCameraOpenReadMs(const std::string& modes);
double BareCameraOpenReadMs(const std::string& modes, const char* fourcc, int width, int height);

// What listing the camera's modes and choosing one takes.
double ChooseModeMs(const std::string& modes);
