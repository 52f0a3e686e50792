#include "playback/ReaderLink.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

extern char** environ;

namespace reader_link {

namespace {

// More than any message carries.
constexpr int mostDescriptors = 4;

}  // namespace

Descriptor::Descriptor(Descriptor&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1))
{
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept
{
    if (this != &other) {
        if (descriptor_ >= 0)
            ::close(descriptor_);
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

Descriptor::~Descriptor()
{
    if (descriptor_ >= 0)
        ::close(descriptor_);
}

SharedMemory::SharedMemory(SharedMemory&& other) noexcept
    : descriptor_(std::move(other.descriptor_))
    , data_(std::exchange(other.data_, nullptr))
    , size_(std::exchange(other.size_, 0))
{
}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept
{
    if (this != &other) {
        if (data_)
            munmap(data_, size_);
        descriptor_ = std::move(other.descriptor_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

SharedMemory::~SharedMemory()
{
    if (data_)
        munmap(data_, size_);
}

SharedMemory SharedMemory::Create(std::size_t size)
{
    SharedMemory memory;
    Descriptor descriptor(memfd_create("reelview-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!descriptor || ftruncate(descriptor.Get(), off_t(size)) != 0
        || fcntl(descriptor.Get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL) != 0)
        return memory;
    // Its pages made at once: made one at a time as they are first written, a fresh reader's
    // frames would cost it a fault a page, more than the decoding of a small frame.
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, descriptor.Get(), 0);
    if (data == MAP_FAILED)
        return memory;
    memory.descriptor_ = std::move(descriptor);
    memory.data_ = static_cast<std::uint8_t*>(data);
    memory.size_ = size;
    return memory;
}

SharedMemory SharedMemory::Map(Descriptor descriptor)
{
    SharedMemory memory;
    struct stat status {};
    // Mapped beyond its end, memory that shrank would kill the reading process (SIGBUS).
    if (!descriptor || fstat(descriptor.Get(), &status) != 0 || status.st_size <= 0
        || !(fcntl(descriptor.Get(), F_GET_SEALS) & F_SEAL_SHRINK))
        return memory;
    void* data = mmap(nullptr, std::size_t(status.st_size), PROT_READ, MAP_SHARED, descriptor.Get(), 0);
    if (data == MAP_FAILED)
        return memory;
    memory.descriptor_ = std::move(descriptor);
    memory.data_ = static_cast<std::uint8_t*>(data);
    memory.size_ = std::size_t(status.st_size);
    return memory;
}

bool Send(int socket, const void* message, std::size_t size, const std::vector<int>& descriptors, bool wait)
{
    iovec part{const_cast<void*>(message), size};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * mostDescriptors)] = {};
    if (!descriptors.empty() && descriptors.size() <= mostDescriptors) {
        header.msg_control = control;
        header.msg_controllen = CMSG_SPACE(sizeof(int) * descriptors.size());
        cmsghdr* passed = CMSG_FIRSTHDR(&header);
        passed->cmsg_level = SOL_SOCKET;
        passed->cmsg_type = SCM_RIGHTS;
        passed->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
        std::memcpy(CMSG_DATA(passed), descriptors.data(), sizeof(int) * descriptors.size());
    }
    ssize_t sent;
    do
        sent = sendmsg(socket, &header, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
    while (sent < 0 && errno == EINTR);
    return sent == ssize_t(size);
}

long Receive(int socket, void* message, std::size_t size, std::vector<Descriptor>* descriptors, int flags)
{
    iovec part{message, size};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * mostDescriptors)];
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t received;
    do
        received = recvmsg(socket, &header, MSG_CMSG_CLOEXEC | flags);
    while (received < 0 && errno == EINTR);
    // Descriptors are taken whatever the message, so that none is left open unowned.
    for (cmsghdr* passed = CMSG_FIRSTHDR(&header); passed; passed = CMSG_NXTHDR(&header, passed)) {
        if (passed->cmsg_level != SOL_SOCKET || passed->cmsg_type != SCM_RIGHTS)
            continue;
        const std::size_t count = (passed->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int descriptor;
            std::memcpy(&descriptor, CMSG_DATA(passed) + i * sizeof(int), sizeof descriptor);
            Descriptor owned(descriptor);
            if (descriptors)
                descriptors->push_back(std::move(owned));
        }
    }
    return received;
}

void SetPatience(int socket, std::chrono::nanoseconds patience)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(patience);
    const timeval wait{seconds.count(), long(std::chrono::duration_cast<std::chrono::microseconds>(patience - seconds).count())};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
}

std::string PackEnvironment()
{
    std::string packed;
    for (char** variable = environ; variable && *variable; ++variable)
        packed.append(*variable).push_back('\0');
    return packed;
}

void UnpackEnvironment(const char* packed, std::size_t size)
{
    clearenv();
    for (std::size_t at = 0; at < size;) {
        const std::string variable(packed + at, strnlen(packed + at, size - at));
        at += variable.size() + 1;
        const std::size_t equals = variable.find('=');
        if (equals != std::string::npos && equals > 0)
            setenv(variable.substr(0, equals).c_str(), variable.c_str() + equals + 1, 1);
    }
}

}  // namespace reader_link
