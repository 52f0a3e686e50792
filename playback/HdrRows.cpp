// The HDR mapping's inner loop for any x86-64 processor, or any other (HdrRows.h).
#define HDR_ROWS_ISA portable
#include "playback/HdrRows.ipp"
