#include "playback/StreamColour.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <dlfcn.h>

namespace {

// Each reader's own: a reader left waiting on a stalled read may still convert a frame while
// the next command's reader converts its own.
thread_local std::optional<StreamColour> conversion;

void Describe(SwsContext& converter, const StreamColour& colour)
{
    int *inverseTable = nullptr, *table = nullptr;
    int sourceRange = 0, destinationRange = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(&converter, &inverseTable, &sourceRange, &table, &destinationRange,
                                 &brightness, &contrast, &saturation) < 0)
        return;
    // A full-range pixel format (yuvj420p) has already set the range.
    sws_setColorspaceDetails(&converter, sws_getCoefficients(colour.matrix), sourceRange || colour.fullRange,
                             table, destinationRange, brightness, contrast, saturation);
}

}  // namespace

StreamColour DescribedColour(int matrix, int range, int width, int height)
{
    StreamColour colour{matrix, range == AVCOL_RANGE_JPEG};
    if (matrix == AVCOL_SPC_UNSPECIFIED || matrix == AVCOL_SPC_RESERVED)
        colour.matrix = width >= 1280 || height > 576 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    return colour;
}

void ConvertFramesAs(std::optional<StreamColour> colour)
{
    conversion = colour;
}

// swscale's own, then the stream's colour for a conversion of decoded frames to BGR.
extern "C" SwsContext* sws_getCachedContext(SwsContext* context, int sourceWidth, int sourceHeight,
                                            AVPixelFormat sourceFormat, int width, int height,
                                            AVPixelFormat format, int flags, SwsFilter* sourceFilter,
                                            SwsFilter* filter, const double* parameters)
{
    static const auto swscales = reinterpret_cast<decltype(&sws_getCachedContext)>(
        dlsym(RTLD_NEXT, "sws_getCachedContext"));
    SwsContext* made = swscales(context, sourceWidth, sourceHeight, sourceFormat, width, height, format,
                                flags, sourceFilter, filter, parameters);
    if (made && conversion && format == AV_PIX_FMT_BGR24)
        Describe(*made, *conversion);
    return made;
}
