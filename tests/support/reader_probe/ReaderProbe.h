#pragma once

#include <sys/types.h>

#include <cstdint>

// A stand-in for code a hostile file injects into a decoder, preloaded into the program, and so
// into the player's readers, as libreader_probe.so: wherever a packet is first sent to a decoder
// (avcodec_send_packet), it tries what such code would, with what the environment names, and
// records what came of each try where a test program reads it (ProcessRecords.h):
//   READER_PROBE_SECRET=PATH      read a file (a private key in the user's home)
//   READER_PROBE_NEIGHBOUR=PATH   read a file beside the video
//   READER_PROBE_HOME=PATH        write a file into that folder
//   READER_PROBE_TEMPORARY=PATH   and into that one (/tmp, or $TMPDIR)
//   READER_PROBE_PORT=N           connect to that TCP port on this machine
//   READER_PROBE_PROGRAM=PATH     start that program
// Or, with READER_PROBE_CRASH=segv or abort, it makes the process die so at the tenth packet.
namespace readerprobe {

enum Try { ReadSecret, ReadNeighbour, WriteHome, WriteTemporary, Connect, StartProgram, tries };

struct Records {
    std::uint32_t ran;      // the probe ran its tries
    std::int32_t process;  // where
    std::int32_t outcome[tries];  // 0: done; else the errno it was refused with
};

inline constexpr const char* recordsName = "reader-probe";

}  // namespace readerprobe
