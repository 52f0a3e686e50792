#pragma once

#include "playback/FrameShape.h"

#include <opencv2/videoio.hpp>

#include <optional>
#include <string>

// A regular file, held by a descriptor from the moment it was checked. The decoder opens it
// through DecoderPath(), which names that descriptor's file and not the path: whatever happens
// to the path meanwhile, the decoder reads the very file that was checked. Nothing that is not a
// regular file (a FIFO, a device) is ever opened, not even to look at it.
class HeldFile {
public:
    // Absent unless path names a regular file with content.
    static std::optional<HeldFile> Open(const std::string& path);
    // The same for the file a descriptor handed over holds; the descriptor is taken either way.
    static std::optional<HeldFile> Adopt(int descriptor);

    HeldFile(HeldFile&& other) noexcept;
    HeldFile& operator=(HeldFile&&) = delete;
    HeldFile(const HeldFile&) = delete;
    ~HeldFile();

    std::string DecoderPath() const;
    int Handle() const { return descriptor_; }

private:
    explicit HeldFile(int descriptor);

    int descriptor_;
};

// The demuxers of the installed FFmpeg that files may be read with, comma-separated: every one
// that reads nothing but the file it is handed. Refused are those that open resources of their
// own by name (devices, image sequences, network sessions) and those that open further
// resources a file names (playlists, manifests, concatenation and packaging lists, session
// descriptions, subtitle indexes).
const std::string& AllowedFormats();

// Configures the video libraries, once: they stay silent on standard error and take none of
// their settings from the environment. It sets environment variables, so it must run before
// any thread of the process reads its environment: on the event thread, before a reader starts.
void ConfigureVideoLibraries();

// Opens capture on the file through FFmpeg, with the allowed formats and local files only, and
// taps its decoding for its colours, its end and its size (TapFile). Returns how its frames are
// to be shown, as the file means them: upright and with square pixels. Configures the video
// libraries if that was not done yet. A file that can't be opened leaves the capture closed;
// nothing is thrown.
FrameShape OpenSource(cv::VideoCapture& capture, const HeldFile& file);
// The same for camera index, through V4L2, in the mode that shows the best picture room can
// hold (the screen's own pixels; empty for no limit; see CameraModes). Its frames are shown as
// they come.
void OpenSource(cv::VideoCapture& capture, int cameraIndex, cv::Size room);
