#pragma once

#include <sys/types.h>

#include <cstddef>

// The C library's own functions behind the ones the fake camera replaces, for the fake's own
// descriptors and for every path and descriptor that is not the camera.
namespace fakecamera::real {

int Open(const char* path, int flags, mode_t mode);
int Close(int descriptor);
void* Map(void* address, std::size_t length, int protection, int flags, int descriptor, off_t offset);

}  // namespace fakecamera::real
