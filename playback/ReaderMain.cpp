// The readers of sources (FrameReader). Started once by the windows' process, this program loads
// what reading needs and then forks a reader for each source it is asked for, at once and from
// what is loaded already; it reads nothing itself. Each reader, a process of its own, says it is
// there, waits for its command, confines itself (Sandbox.h) before it reads a byte of the
// source, and reads, shapes and hands over the source's frames until they end or are no longer
// wanted. Neither takes anything from its command line.
#include "playback/DecoderTap.h"
#include "playback/FrameOutlet.h"
#include "playback/FrameShape.h"
#include "playback/Sandbox.h"
#include "playback/SourceOpening.h"

#include <opencv2/videoio.hpp>

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A camera that sends no frame for this long has stalled or is gone: its frames end there, as
// at a missing frame. Real cameras send many frames a second. The wait is sliced, so that a
// reader that is no longer wanted lets its camera go at once.
constexpr auto cameraPatience = std::chrono::seconds(1);
constexpr long long cameraSliceNs = 10'000'000;
constexpr int sliceMs = 10;

// Where the socket end that says this reader holds the camera is kept: above the descriptors the
// camera's capture opens, so that, as a dying process's descriptors close in order, the
// camera's closes first and the next reader opens a camera already let go.
constexpr int holdingDescriptor = 256;

// Waits for the camera's next frame, in short slices, until the deadline at the latest. False
// when none came in time or the frames are no longer wanted.
bool GrabCameraFrame(const std::vector<cv::VideoCapture>& camera, Clock::time_point deadline,
                     const std::function<bool()>& abandoned)
{
    std::vector<int> ready;
    do {
        if (Clock::now() >= deadline || abandoned())
            return false;
    } while (!cv::VideoCapture::waitAny(camera, ready, cameraSliceNs));
    return !ready.empty();
}

// Reads the camera's next frame. The first starts its stream and is read in one piece (OpenCV
// waits for it up to OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT); later ones are awaited in slices. A
// frame that can't be decoded (a USB glitch leaves a Motion-JPEG frame empty, and OpenCV's
// decoder throws on it) is skipped. False when no frame came for cameraPatience, or the frames
// are no longer wanted.
bool ReadCameraFrame(cv::VideoCapture& camera, const std::vector<cv::VideoCapture>& waitable, bool first,
                     cv::Mat& frame, const std::function<bool()>& abandoned)
{
    const auto deadline = Clock::now() + cameraPatience;
    for (bool grabbed = first ? camera.grab() : GrabCameraFrame(waitable, deadline, abandoned); grabbed;
         grabbed = GrabCameraFrame(waitable, deadline, abandoned)) {
        try {
            if (camera.retrieve(frame) && !frame.empty())
                return true;
        } catch (const cv::Exception&) {
            // the next grab hands the frame's buffer back to the camera
        }
    }
    return false;
}

// Waits until the camera's reader before has let the camera go: its end of the socket closed.
// False when the frames are no longer wanted meanwhile.
bool AwaitCameraReleased(int released, const FrameOutlet& outlet)
{
    reader_link::SetPatience(released, std::chrono::milliseconds(sliceMs));
    char byte;
    for (long received; (received = reader_link::Receive(released, &byte, sizeof byte)) != 0;) {
        if (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return true;  // nothing to wait on
        if (outlet.Abandoned())
            return false;
    }
    return true;
}

// Reads, shapes and hands over the frames, in order and every one, until they end or are no
// longer wanted. A frame that needs no shaping is read straight into the buffer it is handed
// over in.
void ReadFrames(FrameOutlet& outlet, cv::VideoCapture& videoCapture, FrameShaper& shaper, bool fromCamera)
{
    const std::function<bool()> abandoned = [&outlet] { return outlet.Abandoned(); };
    const std::vector<cv::VideoCapture> waitable{videoCapture};  // holds the capture: scoped
    cv::Mat frame;
    for (bool first = true; videoCapture.isOpened(); first = false) {
        // A file's frame is taken from OpenCV unless it is HDR, which the tap gives at the
        // decoder's depth instead.
        const YcbcrPlanes* hdr = nullptr;
        cv::Mat* picture = nullptr;
        const auto into = [&]() -> cv::Mat& {
            const cv::Size stored(int(videoCapture.get(cv::CAP_PROP_FRAME_WIDTH)),
                                  int(videoCapture.get(cv::CAP_PROP_FRAME_HEIGHT)));
            if (shaper.Reshapes(stored))
                return frame;
            picture = &outlet.Free(stored);
            return *picture;
        };
        bool read = false;
        if (fromCamera) {
            read = ReadCameraFrame(videoCapture, waitable, first, into(), abandoned);
        } else if (videoCapture.grab()) {
            shaper.UseLight(DecodedLight());
            hdr = HdrPicture();
            if (hdr) {
                read = true;
            } else {
                cv::Mat& target = into();
                read = videoCapture.retrieve(target) && !target.empty();
            }
        }
        // A file plays on past a frame its decoder can't make (a damaged packet), to its
        // end; a camera ends once no frame came for its patience.
        if (!read) {
            if (fromCamera || FileEnded() || abandoned())
                break;
            continue;
        }
        if (!picture) {
            picture = &outlet.Free(hdr ? shaper.ShapedSize(hdr->luma.size()) : shaper.ShapedSize(frame.size()));
            if (hdr)
                shaper.Shape(*hdr, *picture);
            else
                shaper.Shape(frame, *picture);
        }
        if (!outlet.Offer(*picture))
            break;
        // The first frame is painted before the next is read, so that the two don't compete
        // for the cores: a command's first picture comes as soon as a bare read's would.
        if (first)
            outlet.AwaitFirstShown();
    }
}

// One reader's life, forked with its link at reader_link::readerSocket.
int Read()
{
    FrameOutlet outlet(reader_link::readerSocket);
    outlet.Announce();
    std::optional<FrameOutlet::Command> command = outlet.ReceiveCommand();
    if (!command)
        return 0;
    ConfigureVideoLibraries();

    const reader_link::Command& what = command->what;
    std::vector<reader_link::Descriptor>& handedOver = command->handedOver;
    const bool camera = what.camera >= 0;
    const std::optional<HeldFile> file =
        !camera && handedOver.size() == 1 ? HeldFile::Adopt(handedOver[0].Release()) : std::nullopt;
    SourceAccess access;
    reader_link::Descriptor holding;
    if (camera) {
        if (handedOver.empty())
            return 0;
        holding = reader_link::Descriptor(fcntl(handedOver[0].Get(), F_DUPFD_CLOEXEC, holdingDescriptor));
        if (!holding)
            holding = std::move(handedOver[0]);
        handedOver[0] = reader_link::Descriptor();
        if (handedOver.size() > 1 && !AwaitCameraReleased(handedOver[1].Get(), outlet))
            return 0;
        access.cameraDevice = "/dev/video" + std::to_string(what.camera);
    } else {
        if (!file)
            return 0;
        access.heldFile = file->Handle();
    }
    EnterSandbox(access);

    // The screen, as the windows' process says; sizes it could not mean are none.
    const double pixelRatio = std::isfinite(what.pixelRatio) && what.pixelRatio > 0 && what.pixelRatio <= 8
        ? what.pixelRatio : 1;
    constexpr int largestRoom = 1 << 15;
    const cv::Size room = what.roomWidth > 0 && what.roomHeight > 0 && what.roomWidth <= largestRoom
            && what.roomHeight <= largestRoom
        ? cv::Size(what.roomWidth, what.roomHeight)
        : cv::Size();
    const cv::Size roomInPixels(int(std::lround(room.width * pixelRatio)), int(std::lround(room.height * pixelRatio)));
    cv::VideoCapture videoCapture;
    FrameShape shape;
    if (file)
        shape = OpenSource(videoCapture, *file);
    else
        OpenSource(videoCapture, what.camera, roomInPixels);
    FrameShaper shaper(shape, room, pixelRatio);
    ReadFrames(outlet, videoCapture, shaper, camera);
    // Nothing reads any more: the file or camera is let go (a camera's light goes out).
    videoCapture.release();
    return 0;
}

}  // namespace

int main()
{
    AllowedFormats();  // made once, and not when a reader's command has come
    std::signal(SIGCHLD, SIG_IGN);  // readers reaped as they end
    const pid_t starter = getpid();
    for (;;) {
        char request;
        std::vector<reader_link::Descriptor> link;
        if (reader_link::Receive(reader_link::readerSocket, &request, sizeof request, &link) <= 0)
            return 0;  // the windows' process has gone
        if (link.size() == 1 && fork() == 0) {
            // The reader, its link where the starter's was. It ends with the starter, which
            // ends with the windows' process: a reader whose player was killed in a stalled
            // read does not go on to read the rest of its source for nobody.
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != starter)
                return 0;
            if (dup2(link.front().Get(), reader_link::readerSocket) != reader_link::readerSocket)
                return 0;
            link.clear();
            std::signal(SIGCHLD, SIG_DFL);
            // Its end, the source's end for the windows' process, said at once: the link
            // closed first, then no static destructors, which the libraries that reading loads
            // make last tens of milliseconds.
            const int status = Read();
            close(reader_link::readerSocket);
            _exit(status);
        }
    }
}
