#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// A V4L2 camera at /dev/video0 for processes that have none, faked at the system-call boundary
// (open, ioctl, mmap, close) so that OpenCV's own V4L2 back end runs unchanged. It is either
// linked into a test program or preloaded into the real one:
//     LD_PRELOAD=.../libfake_camera.so reelview
//
// It offers one format, BGR24, so the picture arrives exactly as configured. Its descriptor is
// the read end of a FIFO that gets one byte per finished frame, so select() and poll() wait on
// it natively. The FIFO lives in "$TMPDIR/fake-camera.XXXXXX/", which is removed as soon as
// both ends are open: /proc/PID/fd then names it while the device is open, and nothing is left
// behind however the process ends.
//
// Settings are read from the environment each time the device is opened:
//   FAKE_CAMERA_COLOUR=RRGGBB            colour of every frame (default 20A040); the top-left
//                                        quarter of the width and height is white
//   FAKE_CAMERA_SIZE=WxH                 frame size (default 160x120)
//   FAKE_CAMERA_FPS=N                    frames per second (default 30)
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

struct Settings {
    std::uint8_t red = 0x20, green = 0xa0, blue = 0x40;
    unsigned width = 160, height = 120;
    unsigned framesPerSecond = 30;
    std::optional<std::chrono::milliseconds> stallAfter;
    std::optional<unsigned> stallAfterFrames;
    std::optional<std::chrono::milliseconds> vanishAfter;

    // Absent when a variable is malformed.
    static std::optional<Settings> FromEnvironment();
};

// When a fake camera opened by this process last started streaming (linked-in use only):
// where its STALL_AFTER_MS and VANISH_AFTER_MS count from.
std::optional<std::chrono::steady_clock::time_point> LastStreamStart();
void RecordStreamStart(std::chrono::steady_clock::time_point start);

// How many descriptors of a fake camera the process holds (the device's own and the fake's
// internal ones): zero exactly when no fake camera is open. Read from /proc, so it works for
// another process too and does not trust the fake's own bookkeeping.
int OpenDescriptors(pid_t process);
int OpenDescriptors();
// The same once the program has let its camera go: a reader closes its camera on a thread of
// its own, so this waits up to a second for the count to reach zero.
int OpenDescriptorsOnceReleased();

}  // namespace fakecamera
