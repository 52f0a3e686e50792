#pragma once

#include <optional>
#include <ostream>
#include <string>

// Where a command's frames come from: a camera by index, or a file by path.
struct VideoSource {
    enum class Kind { Camera, File };

    Kind kind = Kind::Camera;
    int cameraIndex = 0;   // for Kind::Camera
    std::string path;      // for Kind::File, bytes as handed in

    static VideoSource Camera(int index) { return {Kind::Camera, index, {}}; }
    static VideoSource File(std::string filePath) { return {Kind::File, 0, std::move(filePath)}; }

    friend bool operator==(const VideoSource& a, const VideoSource& b)
    {
        return a.kind == b.kind && a.cameraIndex == b.cameraIndex && a.path == b.path;
    }
    friend std::ostream& operator<<(std::ostream& out, const VideoSource& source)
    {
        if (source.kind == Kind::Camera)
            return out << "camera " << source.cameraIndex;
        return out << "file \"" << source.path << '"';
    }
};

// No name yet: the default camera. Exactly one decimal digit: that camera.
// Anything else, the empty name included, is a file path.
VideoSource SelectSource(const std::optional<std::string>& sourceName);
