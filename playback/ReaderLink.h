#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// How the windows' process and a reader process talk (FrameReader): messages on a socket pair
// that keeps each message whole, descriptors passed with them, and frames in memory that both
// processes map. The windows' process trusts nothing a reader says: every message is checked
// before it is used, and frames live in memory the reader can't shrink under it.
namespace reader_link {

// Where reelview-reader has its socket: the starter, the link it is asked on to fork a reader;
// a reader forked, its link to the windows.
inline constexpr int readerSocket = 3;
// The buffers frames pass through: the one the windows show, the one read and waiting to be
// taken, and the one being read into.
inline constexpr int buffers = 3;

// Windows to reader, once: what to read and for what screen, and the environment (its
// variables, each ended by a zero byte) after it. A file comes as its descriptor (HeldFile's);
// a camera with a socket end whose other end, closing, says it has let the camera go, and the
// same of the reader before, if it had one.
struct Command {
    std::int32_t camera;  // its index, or -1 for a file
    std::int32_t roomWidth, roomHeight;
    double pixelRatio;
};

// Reader to windows, first, before it has read anything: it is there, with a descriptor of
// itself (a pidfd) to be stopped by.
struct Started {
    std::int32_t unused;
};

// Reader to windows: a frame in a buffer, BGR, rows x cols, step bytes a row; with the buffer's
// memory as a descriptor the first time, and whenever it had to grow.
struct FrameReady {
    std::int32_t buffer;
    std::int32_t rows, cols;
    std::int64_t step;
};

// Windows to reader: the frame in a buffer was taken, and so the one taken before is done with;
// or, as cameBack, the windows came back for more after the first frame.
struct Taken {
    std::int32_t buffer;
};
inline constexpr std::int32_t cameBack = -1;

// A descriptor, closed with it.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int descriptor)
        : descriptor_(descriptor)
    {
    }
    Descriptor(Descriptor&& other) noexcept;
    Descriptor& operator=(Descriptor&& other) noexcept;
    ~Descriptor();

    int Get() const { return descriptor_; }
    explicit operator bool() const { return descriptor_ >= 0; }
    // Gives the descriptor up, to be closed by whoever takes it.
    int Release() { return std::exchange(descriptor_, -1); }

private:
    int descriptor_ = -1;
};

// Memory shared through a descriptor, mapped, and unmapped with it.
class SharedMemory {
public:
    SharedMemory() = default;
    SharedMemory(SharedMemory&& other) noexcept;
    SharedMemory& operator=(SharedMemory&& other) noexcept;
    ~SharedMemory();

    // New memory of size bytes, to write into and send; sealed so that it can't shrink.
    static SharedMemory Create(std::size_t size);
    // Memory received, to read: as large as it is, where it can't shrink. Empty otherwise.
    static SharedMemory Map(Descriptor descriptor);

    std::uint8_t* Data() const { return data_; }
    std::size_t Size() const { return size_; }
    int Handle() const { return descriptor_.Get(); }

private:
    Descriptor descriptor_;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// Sends a message and descriptors; false when the other end has gone, or, not waiting, when it
// can't take it at once.
bool Send(int socket, const void* message, std::size_t size, const std::vector<int>& descriptors = {},
          bool wait = true);
// Receives a message of up to size bytes, and the descriptors with it (closed on exec): the
// bytes received, 0 once the other end has gone, -1 on an error (EAGAIN: none came in time, or
// with MSG_DONTWAIT in flags, none was there). With MSG_PEEK, the message is left where it is.
long Receive(int socket, void* message, std::size_t size, std::vector<Descriptor>* descriptors = nullptr,
             int flags = 0);
// How long the receives on a socket that wait may wait from now on; zero: for ever.
void SetPatience(int socket, std::chrono::nanoseconds patience);

// The environment as Command carries it, and back.
std::string PackEnvironment();
void UnpackEnvironment(const char* packed, std::size_t size);

}  // namespace reader_link
