#pragma once

#include <string>

// What a reader process may reach once it is confined: the one source it reads, and the
// system's own libraries and data.
struct SourceAccess {
    int heldFile = -1;         // a descriptor of the file to play (HeldFile's), or -1
    std::string cameraDevice;  // the camera's device node, or empty
};

// Confines the calling process for reading frames from an untrusted source, before it reads
// its first byte, with what the kernel offers; a layer the kernel lacks is left out, silently:
// - no new privileges, no core dumps, and bounded memory, so a file that makes a decoder
//   allocate without end fails its reads instead of the desktop;
// - Landlock: the source and the system's read-only folders may be read, the camera's node
//   read and written, and nothing else on the filesystem read, written or executed; no TCP;
//   no signals to processes outside;
// - seccomp: only the system calls reading and decoding need; a file may only be opened to be
//   read (a camera to be read and written), no socket, program or process may be started, and
//   a refused call fails with an error, so a library that merely probes something goes on.
// Both confine only the calling thread and those it starts afterwards: call it while the
// process has no other thread.
void EnterSandbox(const SourceAccess& access);
