#pragma once

#include <string>

// Writes an H.264 video of moving, textured frames, so decoding costs what a real video's
// does; returns false when no H.264 encoder is available.
bool WriteBenchVideo(const std::string& path, int width, int height, int frames);
