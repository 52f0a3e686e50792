#pragma once

#include <string>
#include <vector>

// Measurements of the playback command in this process, on the program's own path (the
// module, its event pump), against what OpenCV alone does with the same file.

// Frames per second of three ways to play a file to its end.
double BareReadFps(const std::string& path);     // read only: the decoder's ceiling
double PlayVideoFps(const std::string& path);    // the program's playback command
double WaitKeyLoopFps(const std::string& path);  // imshow + waitKey(1) after every frame

struct Responsiveness {
    std::vector<double> eventDelaysMs;  // posted from another thread every 5 ms
    double repaintsPerSecond = 0;
    double framesPerSecond = 0;
};
// Plays the file once while events are posted to the GUI thread.
Responsiveness PlaybackResponsiveness(const std::string& path);

// From the playback command's call to the first frame painted in "video".
double FirstFrameMs(const std::string& path);
// What OpenCV alone takes to open the file and read its first frame: the reference for it.
double BareOpenReadMs(const std::string& path);

// What one frame costs the loop besides decoding, from the file's first frame: showing it in
// "video", and one event pump that paints it (the program's, or HighGUI's pollKey).
double ImshowMs(const std::string& path);
double PumpMs(const std::string& path);
double PollKeyMs(const std::string& path);
