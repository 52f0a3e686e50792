#include "playback/FrameReader.h"

#include "playback/SourceOpening.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

using reader_link::Descriptor;

// A reader process: stopped on demand, and reaped as it ends, by a thread of its own, so that
// no reader is left a zombie and none is waited for. Its pid is signalled only while it has not
// been reaped, so never another process's that took the number.
class ReaderProcess {
public:
    explicit ReaderProcess(pid_t pid)
        : pid_(pid)
    {
    }

    // Starts a reader, its end of the link at reader_link::readerSocket; null when it can't.
    static std::shared_ptr<ReaderProcess> Start(Descriptor& link);

    void Stop()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ended_)
            kill(pid_, SIGKILL);
    }

private:
    void Reap()
    {
        siginfo_t ended{};
        while (waitid(P_PID, id_t(pid_), &ended, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ended_ = true;
        }
        waitpid(pid_, nullptr, 0);
    }

    const pid_t pid_;
    std::mutex mutex_;
    bool ended_ = false;
};

namespace {

// The reader program, beside this library.
std::string ReaderProgram()
{
    Dl_info library{};
    if (!dladdr(reinterpret_cast<void*>(&FrameReader::Prepare), &library) || !library.dli_fname)
        return {};
    const std::string path = library.dli_fname;
    return path.substr(0, path.rfind('/') + 1) + "reelview-reader";
}

// A reader started ahead of time, waiting for its source. It may be taken by the event thread
// while the thread that loads playback starts it.
struct Waiting {
    std::shared_ptr<ReaderProcess> process;
    Descriptor link;
};
std::mutex waitingLock;
std::optional<Waiting> waiting;

// Where the camera reader started last says it has let the camera go: the other end of its socket.
Descriptor cameraReleased;

Waiting TakeReader()
{
    {
        std::lock_guard<std::mutex> lock(waitingLock);
        if (waiting) {
            Waiting taken = std::move(*waiting);
            waiting.reset();
            return taken;
        }
    }
    Waiting started;
    started.process = ReaderProcess::Start(started.link);
    return started;
}

}  // namespace

std::shared_ptr<ReaderProcess> ReaderProcess::Start(Descriptor& link)
{
    static const std::string program = ReaderProgram();
    int ends[2];
    if (program.empty() || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return nullptr;
    Descriptor ours(ends[0]), theirs(ends[1]);
    // Its own socket, nothing to read or write on the standard ones but the error stream, no
    // other descriptor of this process (a window system's connection among them), and signals
    // as a new program has them.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs.Get(), reader_link::readerSocket);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, reader_link::readerSocket + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* const arguments[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, program.c_str(), &actions, &attributes, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed)
        return nullptr;
    auto process = std::make_shared<ReaderProcess>(pid);
    try {
        std::thread(&ReaderProcess::Reap, process).detach();
    } catch (const std::system_error&) {
        // No thread to reap it with: it stays a zombie once it ends, until the program does.
    }
    link = std::move(ours);
    return process;
}

void FrameReader::Prepare()
{
    std::lock_guard<std::mutex> lock(waitingLock);
    if (waiting)
        return;
    Waiting started;
    if ((started.process = ReaderProcess::Start(started.link)))
        waiting = std::move(started);
}

FrameReader::FrameReader(const VideoSource& source, cv::Size room, double pixelRatio)
{
    // The command, and what it hands over: the file, checked and held here, so that nothing but
    // a regular file ever reaches a reader; or for a camera, the ends of the sockets whose other
    // ends, closing, say when this reader and the one before have let the camera go.
    const bool camera = source.kind == VideoSource::Kind::Camera;
    const reader_link::Command command{camera ? source.cameraIndex : -1, room.width, room.height, pixelRatio};
    std::string message(reinterpret_cast<const char*>(&command), sizeof command);
    message += reader_link::PackEnvironment();
    std::vector<int> handedOver;
    const std::optional<HeldFile> file = camera ? std::nullopt : HeldFile::Open(source.path);
    Descriptor releasedEnd, holdingEnd;
    if (camera) {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
            return;
        releasedEnd = Descriptor(ends[0]), holdingEnd = Descriptor(ends[1]);
        handedOver.push_back(holdingEnd.Get());
        if (cameraReleased)
            handedOver.push_back(cameraReleased.Get());
    } else {
        if (!file)
            return;  // a source that did not open
        handedOver.push_back(file->Handle());
    }
    // A reader that waited may have died meanwhile: then a new one.
    for (int attempt = 0; attempt < 2 && !process_; ++attempt) {
        Waiting reader = TakeReader();
        if (!reader.process)
            return;
        if (reader_link::Send(reader.link.Get(), message.data(), message.size(), handedOver)) {
            process_ = std::move(reader.process);
            link_ = std::move(reader.link);
        } else {
            reader.process->Stop();
        }
    }
    if (camera && process_)
        cameraReleased = std::move(releasedEnd);
}

FrameReader::~FrameReader()
{
    if (process_)
        process_->Stop();
}

FrameReader::Next FrameReader::End()
{
    if (process_)
        process_->Stop();
    process_.reset();
    link_ = Descriptor();
    Prepare();
    return Next::Ended;
}

FrameReader::Next FrameReader::Take(cv::Mat& picture, Clock::time_point deadline)
{
    if (!process_)
        return Next::Ended;
    const int socket = link_.Get();
    if (shown_ >= 0 && !cameBack_) {
        cameBack_ = true;
        const reader_link::Taken back{reader_link::cameBack};
        reader_link::Send(socket, &back, sizeof back, {}, false);
    }
    // A microsecond at least: a patience of zero would be for ever.
    const auto patience = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    reader_link::SetPatience(socket, std::max(patience, std::chrono::nanoseconds(1000)));
    reader_link::FrameReady frame{};
    std::vector<Descriptor> descriptors;
    const long received = reader_link::Receive(socket, &frame, sizeof frame, &descriptors);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return Next::NotYet;
    // The reader ended, died, or said something it should not: the frames end.
    if (received != sizeof frame || frame.buffer < 0 || frame.buffer >= reader_link::buffers || descriptors.size() > 1)
        return End();
    reader_link::SharedMemory& memory = buffers_[frame.buffer];
    if (!descriptors.empty())
        memory = reader_link::SharedMemory::Map(std::move(descriptors.front()));
    constexpr std::int32_t largest = 1 << 15;
    if (frame.rows <= 0 || frame.cols <= 0 || frame.rows > largest || frame.cols > largest
        || frame.step < 3 * std::int64_t(frame.cols)
        || std::uint64_t(frame.rows - 1) * std::uint64_t(frame.step) + 3 * std::uint64_t(frame.cols) > memory.Size())
        return End();
    picture = cv::Mat(frame.rows, frame.cols, CV_8UC3, memory.Data(), std::size_t(frame.step));
    const bool first = shown_ < 0;
    shown_ = frame.buffer;
    const reader_link::Taken taken{shown_};
    reader_link::Send(socket, &taken, sizeof taken, {}, false);
    // The next source's reader, started while this one's first frame is on screen.
    if (first)
        Prepare();
    return Next::Frame;
}
