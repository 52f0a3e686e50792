#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <cstdint>
#include <optional>
#include <vector>

// Which of its modes a camera is asked for. OpenCV's V4L2 back end asks every camera for
// 640x480 in the first pixel format of its own list that the camera has, raw ones before
// Motion-JPEG, so an HD camera would show a seventh of its picture.
//
// What this relies on of OpenCV 4.6 (modules/videoio/src/cap_v4l.cpp), guarded by the camera
// tables of tests/playback/CameraTest.cpp and tests/shell/ScreenFitTest.cpp:
// - it converts the pixel formats listed in CameraModes.cpp to BGR, and no others;
// - a new CAP_PROP_FOURCC, or a new CAP_PROP_FRAME_WIDTH followed by CAP_PROP_FRAME_HEIGHT, set
//   before the first read, sets the camera up again in that format or at that size (the format
//   at the size it had), and a failed setup leaves the capture without buffers;
// - a Motion-JPEG frame that is empty makes retrieve() throw, and the next grab() carries on.

// A way a camera sends its pictures: a pixel format (a V4L2 code), a frame size, and the most
// frames a second it gives in that format at that size.
struct CameraMode {
    std::uint32_t format;
    cv::Size size;
    double framesPerSecond;
};

// What camera index lists: every discrete size of every pixel format OpenCV converts, at its
// highest rate. Sizes listed as ranges, and sizes without a rate, are left out. Empty when the
// camera can't be asked.
std::vector<CameraMode> ListCameraModes(int index);

// The mode that shows the best picture: the largest the camera gives at 15 frames a second or
// more, at the highest rate it has for that size, raw where Motion-JPEG is no faster. But when a
// smaller one at such a rate already fills room (the screen's own pixels, as the fit counts
// them; empty for no limit), the smallest that does. None when no mode is that fast.
std::optional<CameraMode> ChooseCameraMode(const std::vector<CameraMode>& modes, cv::Size room);

// Opens camera index in the mode chosen for room. A camera that lists nothing usable, or
// refuses the mode it listed, is opened as OpenCV opens it by itself.
void OpenCamera(cv::VideoCapture& capture, int index, cv::Size room);
