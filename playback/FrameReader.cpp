#include "playback/FrameReader.h"

#include "playback/SourceOpening.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

using reader_link::Descriptor;

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

// The starter, reelview-reader started once, which forks a reader for each source
// (ReaderMain.cpp): its link; and a reader forked ahead of time, waiting for its source: its
// link. Both may be made by the thread that loads playback while the event thread takes them.
std::mutex startingLock;
Descriptor starter;
Descriptor waiting;

// Where the camera reader started last says it has let the camera go: the other end of its socket.
Descriptor cameraReleased;

// The starter's environment: the program's, with malloc told how to serve the readers. A
// reader's memory is all new and made a 4 KiB page at a time as it is first written: its page
// faults cost a command more than opening its file does. So malloc takes transparent huge pages
// where the system gives them on request, serves every block below 32 MiB from its heap rather
// than from a mapping of its own, and keeps what is freed for the reader's short life. The
// readers take the program's environment as it is with their command; the user's own choices
// stand.
std::vector<std::string> StarterEnvironment()
{
    const std::string name = "GLIBC_TUNABLES=";
    const char* const readerTunables[] = {"glibc.malloc.hugetlb=1", "glibc.malloc.mmap_threshold=33554432",
                                          "glibc.malloc.trim_threshold=268435456"};
    std::vector<std::string> environment;
    std::string tunables;
    for (char** variable = environ; variable && *variable; ++variable) {
        if (std::strncmp(*variable, name.c_str(), name.size()) == 0)
            tunables = *variable + name.size();
        else
            environment.emplace_back(*variable);
    }
    for (const std::string tunable : readerTunables)
        if (tunables.find(tunable.substr(0, tunable.find('=') + 1)) == std::string::npos)
            tunables += (tunables.empty() ? "" : ":") + tunable;
    environment.push_back(name + tunables);
    return environment;
}

// Starts the starter; its end of the link at reader_link::readerSocket. Reaped as it ends by a
// thread of its own, so that it is never left a zombie nor waited for; the readers it forks it
// reaps itself. Empty when it can't be started.
Descriptor StartStarter()
{
    static const std::string program = ReaderProgram();
    int ends[2];
    if (program.empty() || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return {};
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
    std::vector<std::string> environment = StarterEnvironment();
    std::vector<char*> variables;
    for (std::string& variable : environment)
        variables.push_back(variable.data());
    variables.push_back(nullptr);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, program.c_str(), &actions, &attributes, arguments, variables.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed)
        return {};
    try {
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    } catch (const std::system_error&) {
        // No thread to reap it with: it stays a zombie once it ends, until the program does.
    }
    return ours;
}

// A reader forked now: its end of the link; empty when none can be had. The fork is asked for
// and not waited for: the reader's first message says it is there.
Descriptor ForkReader()
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!starter && !(starter = StartStarter()))
            return {};
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
            return {};
        Descriptor ours(ends[0]), theirs(ends[1]);
        const char fork = 'f';
        if (reader_link::Send(starter.Get(), &fork, sizeof fork, {theirs.Get()}, false))
            return ours;
        starter = Descriptor();  // it has gone: another
    }
    return {};
}

Descriptor TakeReader()
{
    std::lock_guard<std::mutex> lock(startingLock);
    return waiting ? std::move(waiting) : ForkReader();
}

}  // namespace

void FrameReader::Prepare()
{
    std::lock_guard<std::mutex> lock(startingLock);
    if (!waiting)
        waiting = ForkReader();
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
    // A reader that waited may have gone meanwhile (its starter with it): then a new one. The
    // command waits in the link until the reader is there to read it.
    for (int attempt = 0; attempt < 2 && !link_; ++attempt) {
        Descriptor reader = TakeReader();
        if (!reader)
            return;
        if (reader_link::Send(reader.Get(), message.data(), message.size(), handedOver, false))
            link_ = std::move(reader);
    }
    if (camera && link_)
        cameraReleased = std::move(releasedEnd);
}

FrameReader::~FrameReader()
{
    Stop();
}

void FrameReader::Stop()
{
    if (process_)
        syscall(SYS_pidfd_send_signal, process_.Get(), SIGKILL, nullptr, 0);
    process_ = Descriptor();
    link_ = Descriptor();  // a reader not yet known to be there leaves when it finds this closed
}

FrameReader::Next FrameReader::End()
{
    Stop();
    Prepare();
    return Next::Ended;
}

FrameReader::Next FrameReader::Take(cv::Mat& picture, Clock::time_point deadline)
{
    if (!link_)
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
    long received = reader_link::Receive(socket, &frame, sizeof frame, &descriptors);
    // The reader's first word, before it has read anything: itself, to be stopped by.
    if (received == sizeof(reader_link::Started) && !started_ && descriptors.size() <= 1) {
        started_ = true;
        if (!descriptors.empty())
            process_ = std::move(descriptors.front());
        return Take(picture, deadline);
    }
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return Next::NotYet;
    // The reader ended, died, or said something it should not: the frames end.
    if (received != sizeof frame || !started_ || frame.buffer < 0 || frame.buffer >= reader_link::buffers
        || descriptors.size() > 1)
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
