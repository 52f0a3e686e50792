#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

// A file whose reads stall, as they do on a USB disk spinning up or a network share that
// hiccups: a read that reaches a chosen offset waits first. Faked at the system-call boundary
// (read), so FFmpeg's own file reading runs unchanged. It is preloaded into the program, and
// with it into the player's readers, which are given the program's environment, read anew:
//     SLOW_FILE=PATH SLOW_FILE_AT=OFFSET SLOW_FILE_STALL_MS=N LD_PRELOAD=.../libslow_file.so reelview
// Every read of the file that reaches the offset stalls, so each new open of it stalls once.
// While a stall lasts, the stalling process holds memory named "slow-file-stall", which /proc
// shows among its descriptors, for a test or a script to wait on.
namespace slowfile {

// Sets the environment so.
void StallReads(const std::string& path, off_t at, std::chrono::milliseconds stall);

// Whether a read of this process, or of one it started, stalls now.
bool Stalling();

}  // namespace slowfile
