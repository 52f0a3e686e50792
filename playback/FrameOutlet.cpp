#include "playback/FrameOutlet.h"

#include <sys/syscall.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// Room for a command and the environment it carries.
constexpr std::size_t largestCommand = 1 << 18;

}  // namespace

FrameOutlet::FrameOutlet(int socket)
    : socket_(socket)
{
}

void FrameOutlet::Announce()
{
    const reader_link::Descriptor self(int(syscall(SYS_pidfd_open, getpid(), 0)));
    const reader_link::Started started{};
    reader_link::Send(socket_, &started, sizeof started, self ? std::vector<int>{self.Get()} : std::vector<int>{});
}

std::optional<FrameOutlet::Command> FrameOutlet::ReceiveCommand()
{
    std::vector<char> message(largestCommand);
    Command command{};
    const long received = reader_link::Receive(socket_, message.data(), message.size(), &command.handedOver);
    if (received < long(sizeof command.what))
        return std::nullopt;
    std::memcpy(&command.what, message.data(), sizeof command.what);
    reader_link::UnpackEnvironment(message.data() + sizeof command.what, std::size_t(received) - sizeof command.what);
    return command;
}

cv::Mat& FrameOutlet::Free(cv::Size size)
{
    int free = 0;
    while (free == ready_ || free == shown_)
        ++free;
    Buffer& buffer = buffers_[free];
    const std::size_t bytes = std::size_t(size.area()) * 3;
    if (buffer.memory.Size() < bytes) {
        buffer.memory = reader_link::SharedMemory::Create(bytes);
        buffer.sent = false;
    }
    if (buffer.memory.Size() < bytes || bytes == 0)
        buffer.picture = cv::Mat();
    else
        buffer.picture = cv::Mat(size, CV_8UC3, buffer.memory.Data());
    return buffer.picture;
}

bool FrameOutlet::Offer(const cv::Mat& filled)
{
    int index = 0;
    while (index < reader_link::buffers && &buffers_[index].picture != &filled)
        ++index;
    if (index == reader_link::buffers || filled.empty())
        return !Abandoned();
    if (filled.data != buffers_[index].memory.Data()) {
        // Made elsewhere, at a size other than the one asked for: copied into a buffer.
        const cv::Mat made = filled;
        cv::Mat& into = Free(made.size());
        if (into.empty())
            return !Abandoned();
        made.copyTo(into);
        return Offer(into);
    }
    while (ready_ >= 0)
        if (!Hear())
            return false;
    Buffer& buffer = buffers_[index];
    const reader_link::FrameReady frame{index, filled.rows, filled.cols, std::int64_t(filled.step)};
    std::vector<int> descriptor;
    if (!buffer.sent)
        descriptor.push_back(buffer.memory.Handle());
    if (!reader_link::Send(socket_, &frame, sizeof frame, descriptor))
        return false;
    buffer.sent = true;
    ready_ = index;
    return true;
}

void FrameOutlet::AwaitFirstShown()
{
    while (!cameBack_ && Hear()) {
    }
}

bool FrameOutlet::Abandoned() const
{
    if (gone_)
        return true;
    char byte;
    const long peeked = reader_link::Receive(socket_, &byte, sizeof byte, nullptr, MSG_PEEK | MSG_DONTWAIT);
    return peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

bool FrameOutlet::Hear()
{
    reader_link::Taken taken{};
    if (gone_ || reader_link::Receive(socket_, &taken, sizeof taken) != sizeof taken) {
        gone_ = true;
        return false;
    }
    if (taken.buffer == reader_link::cameBack) {
        cameBack_ = true;
    } else if (taken.buffer >= 0 && taken.buffer < reader_link::buffers) {
        shown_ = taken.buffer;
        ready_ = -1;
    }
    return true;
}
