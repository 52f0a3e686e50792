#include "support/reader_probe/ReaderProbe.h"

#include "support/ProcessRecords.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace readerprobe {

namespace {

// 0 when the call succeeded, else why not.
int Outcome(bool done)
{
    return done ? 0 : (errno ? errno : -1);
}

int ReadFrom(const char* path)
{
    const int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    char byte;
    const bool read = descriptor >= 0 && ::read(descriptor, &byte, 1) == 1;
    const int outcome = Outcome(read);
    if (descriptor >= 0)
        close(descriptor);
    return outcome;
}

int WriteInto(const char* folder)
{
    const std::string path = std::string(folder) + "/written-by-the-reader";
    const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const bool written = descriptor >= 0 && write(descriptor, "x", 1) == 1;
    const int outcome = Outcome(written);
    if (descriptor >= 0)
        close(descriptor);
    return outcome;
}

int ConnectTo(int port)
{
    const int connection = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        connection >= 0 && connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const int outcome = Outcome(connected);
    if (connection >= 0)
        close(connection);
    return outcome;
}

int Run(const char* program)
{
    char* const arguments[] = {const_cast<char*>(program), nullptr};
    pid_t started = 0;
    const int failed = posix_spawn(&started, program, nullptr, nullptr, arguments, nullptr);
    if (failed)
        return failed;
    waitpid(started, nullptr, 0);
    return 0;
}

int Try(const char* variable, int (*attempt)(const char*))
{
    const char* value = std::getenv(variable);
    return value ? attempt(value) : -1;
}

void Probe()
{
    Records& records = processrecords::Own<Records>(recordsName);
    records.outcome[ReadSecret] = Try("READER_PROBE_SECRET", ReadFrom);
    records.outcome[ReadNeighbour] = Try("READER_PROBE_NEIGHBOUR", ReadFrom);
    records.outcome[WriteHome] = Try("READER_PROBE_HOME", WriteInto);
    records.outcome[WriteTemporary] = Try("READER_PROBE_TEMPORARY", WriteInto);
    records.outcome[Connect] = Try("READER_PROBE_PORT", [](const char* port) { return ConnectTo(std::atoi(port)); });
    records.outcome[StartProgram] = Try("READER_PROBE_PROGRAM", Run);
    records.process = getpid();
    records.ran = 1;
}

}  // namespace

}  // namespace readerprobe

extern "C" int avcodec_send_packet(AVCodecContext* decoder, const AVPacket* packet)
{
    static const auto own = reinterpret_cast<decltype(&avcodec_send_packet)>(dlsym(RTLD_NEXT, "avcodec_send_packet"));
    static std::atomic<int> packets{0};
    const int sent = ++packets;
    const char* crash = std::getenv("READER_PROBE_CRASH");
    if (crash && sent == 10)
        std::string(crash) == "abort" ? std::abort() : static_cast<void>(raise(SIGSEGV));
    if (!crash && sent == 1 && std::getenv("READER_PROBE_PORT"))
        readerprobe::Probe();
    return own(decoder, packet);
}
