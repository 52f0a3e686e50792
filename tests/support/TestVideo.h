#pragma once

#include <QColor>

#include <string>
#include <vector>

// Writes small videos of solid-colour frames into a folder that is removed with this object,
// whatever the names of the files in it.
class TestVideoFolder {
public:
    TestVideoFolder();
    ~TestVideoFolder();
    TestVideoFolder(const TestVideoFolder&) = delete;
    TestVideoFolder& operator=(const TestVideoFolder&) = delete;

    // A Motion-JPEG AVI whose frames have the given colours, in order.
    std::string Write(const std::string& fileName, const std::vector<QColor>& frameColours,
                      int width = 64, int height = 48) const;
    // Frames of one colour, then one frame of another: a long source with a checkable end.
    std::string WriteLong(const std::string& fileName, int frames, QColor colour,
                          QColor lastColour) const;
    // A file that opens as a video and yields no frame at all.
    std::string WriteEmpty(const std::string& fileName) const;

    std::string PathOf(const std::string& fileName) const;

private:
    std::string folder_;  // bytes, as the file system has them
};
