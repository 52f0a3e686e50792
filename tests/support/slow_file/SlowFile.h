#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

// A file whose reads stall, as they do on a USB disk spinning up or a network share that
// hiccups: a read that reaches a chosen offset waits first. Faked at the system-call boundary
// (read), so FFmpeg's own file reading runs unchanged. It is either linked into a test program
// or preloaded into the real one:
//     SLOW_FILE=PATH SLOW_FILE_AT=OFFSET SLOW_FILE_STALL_MS=N LD_PRELOAD=.../libslow_file.so reelview
// With SLOW_FILE_MARK=PATH it also creates that file when a stall begins, for a script to wait on.
// Every read of the file that reaches the offset stalls, so each new open of it stalls once.
namespace slowfile {

void StallReads(const std::string& path, off_t at, std::chrono::milliseconds stall);

// How many stalls have begun, and how many are over.
int StallsBegun();
int StallsEnded();

}  // namespace slowfile
