#include "support/TestVideo.h"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace {

const int fourcc = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
constexpr double framesPerSecond = 25;

cv::VideoWriter OpenWriter(const std::string& path, int width, int height)
{
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, fourcc, framesPerSecond, cv::Size(width, height));
    if (!writer.isOpened())
        throw std::runtime_error("can't write test video " + path);
    return writer;
}

cv::Mat SolidFrame(QColor colour, int width, int height)
{
    return cv::Mat(height, width, CV_8UC3, cv::Scalar(colour.blue(), colour.green(), colour.red()));
}

}  // namespace

TestVideoFolder::TestVideoFolder()
{
    const char* temporary = std::getenv("TMPDIR");
    std::string pattern = std::string(temporary && *temporary ? temporary : "/tmp") + "/reelview-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("can't make a temporary folder");
    folder_ = pattern;
}

TestVideoFolder::~TestVideoFolder()
{
    // Qt's removal decodes names and can't remove a file whose name is not valid UTF-8;
    // the file system's own bytes can. Tests also take permissions away: give them back.
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_, error))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, error);
    std::filesystem::remove_all(folder_, error);
}

std::string TestVideoFolder::PathOf(const std::string& fileName) const
{
    // Joined as bytes: a name need not be valid UTF-8.
    return folder_ + '/' + fileName;
}

std::string TestVideoFolder::Write(const std::string& fileName,
                                   const std::vector<QColor>& frameColours, int width,
                                   int height) const
{
    const std::string path = PathOf(fileName);
    cv::VideoWriter writer = OpenWriter(path, width, height);
    for (const QColor& colour : frameColours)
        writer.write(SolidFrame(colour, width, height));
    return path;
}

std::string TestVideoFolder::WriteLong(const std::string& fileName, int frames, QColor colour,
                                       QColor lastColour) const
{
    std::vector<QColor> colours(frames - 1, colour);
    colours.push_back(lastColour);
    return Write(fileName, colours);
}

std::string TestVideoFolder::WriteEmpty(const std::string& fileName) const
{
    return Write(fileName, {});
}
