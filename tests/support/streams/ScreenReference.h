#pragma once

#include <opencv2/core.hpp>

#include <filesystem>

// What an ordinary (SDR) screen is to show of the first frame of a stream, as a display-referred
// conversion made apart from the player gives it: libavfilter's zscale (zimg) takes the decoded
// frame at its own depth to display light, HDR reference white (203 nits) at the screen's white,
// into BT.709 primaries, and encodes it with the inverse of the screen's own curve, BT.1886's.
// An SDR BT.709 stream is only turned into RGB. BGR, 0 to 255 as floats: light above the
// screen's white is above 255, and colours outside BT.709 are clipped at 0.
cv::Mat ScreenReference(const std::filesystem::path& path);
