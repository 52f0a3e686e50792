#include "playback/VideoSource.h"

VideoSource SelectSource(const std::optional<std::string>& sourceName)
{
    constexpr int defaultCamera = 0;
    if (!sourceName)
        return VideoSource::Camera(defaultCamera);
    if (sourceName->size() == 1 && (*sourceName)[0] >= '0' && (*sourceName)[0] <= '9')
        return VideoSource::Camera((*sourceName)[0] - '0');
    return VideoSource::File(*sourceName);
}
