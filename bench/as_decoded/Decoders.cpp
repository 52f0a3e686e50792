#include "Decoders.h"

#include "playback/FrameShape.h"
#include "playback/SourceOpening.h"
#include "playback/VideoSource.h"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>


OursSummary ReadAsOurs(const std::filesystem::path& path,
                       const std::function<void(const cv::Mat& frame, int index)>& onFrame)
{
    OursSummary summary;
    // Opened and shaped as the player does it.
    cv::VideoCapture capture;
    FrameShaper shaper(OpenSource(capture, VideoSource::File(path.string())), {});
    summary.opened = capture.isOpened();
    if (!summary.opened)
        return summary;
    summary.orientationAuto = capture.get(cv::CAP_PROP_ORIENTATION_AUTO);
    summary.orientationMeta = capture.get(cv::CAP_PROP_ORIENTATION_META);
    summary.sampleAspectNum = capture.get(cv::CAP_PROP_SAR_NUM);
    summary.sampleAspectDen = capture.get(cv::CAP_PROP_SAR_DEN);

    cv::Mat frame;
    int index = 0;
    while (capture.read(frame) && !frame.empty()) {
        onFrame(shaper.Shaped(frame), index++);
        ++summary.framesBeforeFailure;
    }
    // The player stops here. Reading on shows whether frames after the failure were there;
    // a few failures in a row mean the end.
    for (int failuresInARow = 1; failuresInARow < 4;) {
        if (capture.read(frame) && !frame.empty()) {
            ++summary.framesAfterFailure;
            failuresInARow = 0;
        } else {
            ++failuresInARow;
        }
    }
    return summary;
}
