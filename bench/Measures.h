#pragma once

#include <string>
#include <vector>

// Frames per second of three ways to play a file to its end.
double BareReadFps(const std::string& path);         // read only: the decoder's ceiling
double PlayVideoFps(const std::string& path);        // the program's playback command
double WaitKeyLoopFps(const std::string& path);      // imshow + waitKey(1) after every frame

struct PlaybackResponsiveness {
    std::vector<double> eventDelaysMs;  // posted from another thread, as input arrives
    double repaintsPerSecond = 0;
    double framesPerSecond = 0;
};
// Plays the file once while events are posted to the GUI thread every few milliseconds.
PlaybackResponsiveness MeasureResponsiveness(const std::string& path);

// From the playback command's call to the first frame painted in "video".
double FirstFrameMs(const std::string& path);

// From starting the program to its main window shown on the X display.
double StartUpMs(const std::string& program);

// The process's resident memory, in MiB.
double ResidentMiB();

double Median(std::vector<double> values);
double Percentile(std::vector<double> values, double fraction);

// The parts of a frame's cost in the playback loop, from the file's first frame: showing it
// in "video", and one event pump that paints it.
double ImshowMs(const std::string& path);
double PumpMs(const std::string& path);
