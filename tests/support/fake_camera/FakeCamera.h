#pragma once

#include <linux/videodev2.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A V4L2 camera at /dev/video0 for processes that have none, faked at the system-call boundary
// (open, ioctl, mmap, close) so that OpenCV's own V4L2 back end runs unchanged. It is either
// linked into a test program or preloaded into the real one:
//     LD_PRELOAD=.../libfake_camera.so reelview
//
// It lists modes as a USB camera does: pixel formats (BGR24, YUYV and Motion-JPEG), each with
// discrete frame sizes, each with discrete frame rates, and it answers a format request with the
// nearest size it has in that format (or in its first format, if it lacks the one asked for).
// Motion-JPEG frames are real JPEG data. Its descriptor is the read end of a pipe that gets one
// byte per finished frame, so select() and poll() wait on it natively; it needs nothing of the
// filesystem, so it works in a confined process too. While the device is open, memory named
// "fake-camera" is too, which /proc/PID/fd shows.
//
// Settings are read from the environment each time the device is opened:
//   FAKE_CAMERA_COLOUR=RRGGBB            colour of every frame (default 20A040); the top-left
//                                        quarter of the width and height is white
//   FAKE_CAMERA_SIZE=WxH                 the one mode's frame size (default 160x120, BGR24)
//   FAKE_CAMERA_FPS=N                    the one mode's frames per second (default 30)
//   FAKE_CAMERA_MODES=F:WxH@R[/R...],... the modes instead, in the order they are listed: F is
//                                        BGR3, YUYV or MJPG, R a rate in frames per second, the
//                                        first of a size its default
//   FAKE_CAMERA_REFUSE=F:WxH             this mode is set, but gets no buffers (ENOMEM), as some
//                                        cameras' modes fail
//   FAKE_CAMERA_EMPTY_EVERY=N            every Nth frame is empty, as a USB glitch leaves it
//   FAKE_CAMERA_CUT_EVERY=N              every Nth frame is cut short, half its bytes sent
//   FAKE_CAMERA_NUMBERED=1               each buffer's picture carries its number: a grey block
//                                        in the middle of the bottom eighth, of level
//                                        NumberedLevel(buffer)
//   FAKE_CAMERA_STALL_AFTER_MS=N         no frame after N ms of streaming; the device stays alive
//   FAKE_CAMERA_STALL_AFTER_FRAMES=N     no frame after the Nth
//   FAKE_CAMERA_VANISH_AFTER_MS=N        unplugged after N ms of streaming: ioctl and mmap fail
//                                        with ENODEV and whoever waits on the descriptor wakes up
// Streaming starts at the first VIDIOC_STREAMON (OpenCV's first grab), so however long a
// program takes to set up its windows, a camera that stalls after 1500 ms has sent 1.5 s of
// frames first.
// A malformed value makes the open fail with EINVAL: a test notices, and nothing is printed.
namespace fakecamera {

inline const char* const devicePath = "/dev/video0";

// A frame size in one pixel format, and the rates the camera gives it at.
struct Mode {
    std::uint32_t format;  // a V4L2 pixel format
    unsigned width, height;
    std::vector<unsigned> rates;  // frames per second, the default first
};

struct Settings {
    std::uint8_t red = 0x20, green = 0xa0, blue = 0x40;
    std::vector<Mode> modes{{V4L2_PIX_FMT_BGR24, 160, 120, {30}}};
    std::optional<Mode> refused;  // its rates unused
    std::optional<unsigned> emptyEvery, cutEvery;
    bool numbered = false;
    std::optional<std::chrono::milliseconds> stallAfter;
    std::optional<unsigned> stallAfterFrames;
    std::optional<std::chrono::milliseconds> vanishAfter;

    // Absent when a variable is malformed.
    static std::optional<Settings> FromEnvironment();
};

// What the fake cameras of this process and of the processes it started (the player's readers)
// did, as far as those processes are still there (ProcessRecords.h).

// The stream a fake camera started last: when, which is where its STALL_AFTER_MS and
// VANISH_AFTER_MS count from, and in which mode.
struct Stream {
    std::chrono::steady_clock::time_point start;
    std::uint32_t format;
    unsigned width, height, rate;
};
std::optional<Stream> LastStream();
void RecordStream(const Stream& stream);

// The grey level of the block that numbers a buffer's picture (FAKE_CAMERA_NUMBERED).
constexpr int NumberedLevel(unsigned buffer)
{
    return 40 + 24 * static_cast<int>(buffer % 8);
}

// Every frame the fake cameras handed over to the program, when and in which buffer (the
// first 4096 of each process); and how many frames the program took.
struct HandOver {
    std::chrono::steady_clock::time_point at;
    unsigned buffer;
};
std::vector<HandOver> HandOvers();
void RecordHandOver(const HandOver& handOver);
unsigned long FramesTaken();
void RecordFrameTaken();

// How many descriptors of a fake camera the process and the processes it started hold: zero
// exactly when no fake camera is open. Read from /proc, so it does not trust the fake's own
// bookkeeping.
int OpenDescriptors(pid_t process);
int OpenDescriptors();
// The same once the program has let its camera go: a reader closes its camera in a process of
// its own, so this waits up to a second for the count to reach zero.
int OpenDescriptorsOnceReleased();

}  // namespace fakecamera
