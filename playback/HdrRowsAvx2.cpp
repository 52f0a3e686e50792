// The HDR mapping's inner loop for processors with AVX2 and FMA, built with them
// (playback/CMakeLists.txt; HdrRows.h).
#define HDR_ROWS_ISA avx2
#include "playback/HdrRows.ipp"
