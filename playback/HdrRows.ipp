// The HDR mapping's inner loop (HdrRows.h), included by HdrRows.cpp and HdrRowsAvx2.cpp, which
// name the namespace (HDR_ROWS_ISA) and are built for their instruction sets. Nothing here is
// shared between the two builds: its functions are local to the file that includes it, and no
// library function template is instantiated (std::index_sequence is a type alone), so the linker
// can never hand an AVX2 copy of something to a processor without AVX2.
//
// A pixel costs three transfer lookups, HLG's system gamma, a matrix and three lookups of the
// screen's curve: lookups, each a load and an insert a lane, are most of it. Every table is small
// or interpolated, as film grain makes neighbouring pixels' samples differ and a large table would
// miss the cache at almost every lookup.
#include "playback/HdrRows.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#ifdef __AVX2__
#include <immintrin.h>
#endif

namespace hdr_rows {
namespace HDR_ROWS_ISA {
namespace {

#ifdef __AVX2__
constexpr int lanes = 8;
#else
constexpr int lanes = 4;
#endif
typedef float Floats __attribute__((vector_size(4 * lanes)));
typedef std::int32_t Ints __attribute__((vector_size(4 * lanes)));
typedef std::uint16_t Samples __attribute__((vector_size(2 * lanes)));
typedef std::uint8_t Bytes __attribute__((vector_size(4 * lanes)));

// Pixels prepared at a time: their rows stay in the first-level cache beside the tables.
constexpr int chunk = 256;

// An 8x8 ordered dither (Bayer's), in 256ths of a screen level: added before the fraction is
// dropped, it turns a fraction into that share of pixels one level up, the same in every frame.
alignas(32) constexpr std::int32_t dither[8][8] = {
    {2, 130, 34, 162, 10, 138, 42, 170},   {194, 66, 226, 98, 202, 74, 234, 106},
    {50, 178, 18, 146, 58, 186, 26, 154},  {242, 114, 210, 82, 250, 122, 218, 90},
    {14, 142, 46, 174, 6, 134, 38, 166},   {206, 78, 238, 110, 198, 70, 230, 102},
    {62, 190, 30, 158, 54, 182, 22, 150},  {254, 126, 222, 94, 246, 118, 214, 86}};

inline Floats All(float value)
{
    return Floats{} + value;
}

// The processor's own minimum and maximum, one instruction each (the compiler, minding NaNs and
// signed zeros, would compare and blend); the same results for the numbers met here.
inline Floats Min(Floats a, Floats b)
{
#if defined(__AVX2__)
    return __builtin_ia32_minps256(a, b);
#elif defined(__SSE__)
    return __builtin_ia32_minps(a, b);
#else
    return a < b ? a : b;
#endif
}

inline Floats Max(Floats a, Floats b)
{
#if defined(__AVX2__)
    return __builtin_ia32_maxps256(a, b);
#elif defined(__SSE__)
    return __builtin_ia32_maxps(a, b);
#else
    return a > b ? a : b;
#endif
}

inline Ints Min(Ints a, Ints b)
{
    return a < b ? a : b;
}

inline Ints Max(Ints a, Ints b)
{
    return a > b ? a : b;
}

inline bool Any(Ints mask)
{
#if defined(__AVX2__)
    return __builtin_ia32_movmskps256(Floats(mask)) != 0;
#elif defined(__SSE__)
    return __builtin_ia32_movmskps(Floats(mask)) != 0;
#else
    std::uint64_t words[lanes / 2];
    std::memcpy(words, &mask, sizeof mask);
    return (words[0] | words[1]) != 0;
#endif
}

template <typename Vector, typename Value>
inline Vector Load(const Value* from)
{
    Vector values;
    std::memcpy(&values, from, sizeof values);
    return values;
}

// The table's entries at each lane's index: with AVX2, gathered by the processor; else
// gathered into lanes directly (through memory, the vector would wait for each lane's store).
template <typename Element, typename Vector, typename Entry, std::size_t... lane>
inline Vector Look(const Entry* table, Ints at, std::index_sequence<lane...>)
{
    return Vector{Element(table[at[lane]])...};
}

inline Floats Look(const float* table, Ints at)
{
#ifdef __AVX2__
    return Floats(_mm256_i32gather_ps(table, __m256i(at), 4));
#else
    return Look<float, Floats>(table, at, std::make_index_sequence<lanes>());
#endif
}

inline Ints Look(const std::uint32_t* table, Ints at)
{
#ifdef __AVX2__
    return Ints(_mm256_i32gather_epi32(reinterpret_cast<const int*>(table), __m256i(at), 4));
#else
    return Look<std::int32_t, Ints>(table, at, std::make_index_sequence<lanes>());
#endif
}

// (The table has an entry more than it is looked up in: the gather reads two bytes beyond.)
inline Ints Look(const std::uint16_t* table, Ints at)
{
#ifdef __AVX2__
    return Ints(_mm256_i32gather_epi32(reinterpret_cast<const int*>(table), __m256i(at), 2)) & 0xffff;
#else
    return Look<std::int32_t, Ints>(table, at, std::make_index_sequence<lanes>());
#endif
}

// Half-precision floats, in the low 16 bits of each lane, as floats: the bits moved into place
// and the exponent rebased by the multiplication, exact for every finite half, subnormals too.
inline Floats FromHalf(Ints bits)
{
    return Floats((bits & 0x7fff) << 13) * 0x1p112f;
}

// What the pixels are mapped with, each factor in every lane. Kept apart from the job: a store
// to the picture, of bytes, could be to anything the job points to, and the job's fields would
// be read and spread over the lanes again after each.
struct Factors {
    explicit Factors(const Job& job)
        : lumaScale(All(job.lumaScale)), lumaOffset(All(job.lumaOffset))
        , chromaScale(All(job.chromaScale)), chromaOffset(All(job.chromaOffset))
        , crToRed(All(job.crToRed)), cbToGreen(All(job.cbToGreen)), crToGreen(All(job.crToGreen))
        , cbToBlue(All(job.cbToBlue)), transfer(job.transfer), systemGamma(job.systemGamma)
        , bt2020(job.toBt709 != nullptr), knee(job.knee), curveWhite(job.curveWhite), encode(job.encode)
        , picture(job.picture), pictureStep(job.pictureStep), width(job.width)
    {
        for (int i = 0; i < 9 && bt2020; ++i)
            toBt709[i] = All(job.toBt709[i]);
    }

    Floats lumaScale, lumaOffset, chromaScale, chromaOffset;
    Floats crToRed, cbToGreen, crToGreen, cbToBlue;
    const std::uint32_t* transfer;
    const float* systemGamma;
    bool bt2020;
    Floats toBt709[9];
    float knee, curveWhite;
    const std::uint16_t* encode;
    std::uint8_t* picture;
    std::ptrdiff_t pictureStep;
    int width;
};

// The light of R'G'B' codes (0 to 1): the table's, between its points.
inline Floats Light(const Factors& job, Floats code)
{

    const Floats at = Min(Max(code, All(0)), All(1)) * float(transferSteps);
    const Ints step = Min(__builtin_convertvector(at, Ints), Ints{} + (transferSteps - 1));
    const Ints words = Look(job.transfer, step);
    return FromHalf(words) + (at - __builtin_convertvector(step, Floats)) * FromHalf(words >> 16);
}

// The step of values from 2^-24 to 1 in a table of 2^bits steps an octave: their float bits.
// Below 2^-24 (and negative), the first; beyond 1, the last.
template <int bits>
inline Ints OctaveStep(Floats value)
{
    const Ints step = (Ints(value) >> (23 - bits)) - ((127 - octaves) << bits);
    return Min(Max(step, Ints{}), Ints{} + (octaves << bits));
}

// Each lane's row of samples from x0 on, count of them and copies of the last to fill the last
// lanes: luma as it is, or averaged over the box; chroma where each pixel's centre lies, between
// its samples (4:2:0 chroma lies halfway between two rows, and with the first of two columns: the
// codecs' common siting).
void Prepare(const Job& job, int y, int x0, int count, std::uint16_t* luma, float* blue, float* red)
{
    const int box = job.box;
    const int filled = (count + lanes - 1) / lanes * lanes;
    const std::uint16_t* near = job.luma + job.lumaStep * (y * box);
    if (box == 1) {
        std::memcpy(luma, near + x0, sizeof(std::uint16_t) * count);
    } else {
        const std::uint16_t* below = near + job.lumaStep;
        for (int i = 0, x = 2 * x0; i < count; ++i, x += 2)
            luma[i] = std::uint16_t((near[x] + near[x + 1] + below[x] + below[x + 1] + 2) >> 2);
    }
    for (int i = count; i < filled; ++i)
        luma[i] = luma[count - 1];

    // Chroma rows, mixed down to the pixels' row, over the samples these pixels reach.
    const int chromaWidth = (job.lumaWidth + job.chromaShiftX) >> job.chromaShiftX;
    const int chromaHeight = (job.lumaHeight + job.chromaShiftY) >> job.chromaShiftY;
    int row = y, otherRow = y;
    float other = 0;
    if (box == 1 && job.chromaShiftY == 1) {
        row = y >> 1;
        otherRow = y & 1 ? row + 1 : row - 1;
        otherRow = otherRow < 0 ? 0 : otherRow < chromaHeight ? otherRow : chromaHeight - 1;
        other = 0.25f;
    }
    const int first = box == 1 ? x0 >> job.chromaShiftX : x0;
    const int last = box == 1 ? (x0 + filled - 1) >> job.chromaShiftX : x0 + filled - 1;
    const int samples = last - first + 2;  // and the next one, which the last pixels may reach
    const int inside = first + samples <= chromaWidth ? samples : chromaWidth - first;
    alignas(32) float mixed[2][chunk + 2];
    for (int plane = 0; plane < 2; ++plane) {
        const std::uint16_t* base = plane == 0 ? job.blueDifference : job.redDifference;
        const std::uint16_t* at = base + job.chromaStep * row + first;
        const std::uint16_t* otherAt = base + job.chromaStep * otherRow + first;
        float* into = mixed[plane];
        for (int k = 0; k < inside; ++k)
            into[k] = (1 - other) * float(at[k]) + other * float(otherAt[k]);
        for (int k = inside; k < samples; ++k)
            into[k] = into[inside - 1];
    }
    for (int plane = 0; plane < 2; ++plane) {
        const float* from = mixed[plane];
        float* into = plane == 0 ? blue : red;
        if (job.chromaShiftX == 0) {
            std::memcpy(into, from, sizeof(float) * filled);
        } else if (box == 2) {
            for (int i = 0; i < filled; ++i)
                into[i] = 0.75f * from[i] + 0.25f * from[i + 1];
        } else {
            // Pixel x lies on sample x / 2, or halfway to the next; from x0, even.
            for (int i = 0; i < filled; i += 2) {
                into[i] = from[i / 2];
                into[i + 1] = 0.5f * (from[i / 2] + from[i / 2 + 1]);
            }
        }
    }
}

// Maps the pixels from x on (lanes of them, count of them to be stored) of row y.
[[gnu::always_inline]] inline void MapPixels(const Factors& job, int y, int x, int count, const std::uint16_t* luma,
                                             const float* blue, const float* red)
{
    const Floats lumaCode = __builtin_convertvector(Load<Samples>(luma), Floats) * job.lumaScale + job.lumaOffset;
    const Floats cb = Load<Floats>(blue) * job.chromaScale + job.chromaOffset;
    const Floats cr = Load<Floats>(red) * job.chromaScale + job.chromaOffset;
    Floats r = Light(job, lumaCode + job.crToRed * cr);
    Floats g = Light(job, lumaCode + job.cbToGreen * cb + job.crToGreen * cr);
    Floats b = Light(job, lumaCode + job.cbToBlue * cb);
    if (job.systemGamma) {
        // BT.2100's HLG system gamma, by the scene's luminance (BT.2020's weights).
        const Floats luminance = 0.2627f * r + 0.6780f * g + 0.0593f * b;
        const Floats gain = Look(job.systemGamma, OctaveStep<systemGammaBits>(luminance));
        r *= gain, g *= gain, b *= gain;
    }
    if (job.bt2020) {
        const Floats* m = job.toBt709;
        const Floats red709 = m[0] * r + m[1] * g + m[2] * b;
        const Floats green709 = m[3] * r + m[4] * g + m[5] * b;
        b = m[6] * r + m[7] * g + m[8] * b;
        r = red709, g = green709;
    }
    // Outside BT.709: desaturated towards its own luminance until it is no further out than a
    // twentieth of that, which is then clipped. So BT.709's own primaries, which the stream's
    // quantisation leaves a little outside, stay pure. (Most pixels are inside and below the
    // knee: a group of such pixels skips both steps.)
    const Floats lowest = Min(b, Min(g, r));
    if (Any(lowest < 0)) {
        const Floats luminance = 0.2126f * r + 0.7152f * g + 0.0722f * b;
        const Floats allowed = 0.05f * luminance;
        const Ints outside = lowest < -allowed;
        if (Any(outside)) {
            const Floats toward = outside ? (luminance > 0 ? (luminance + allowed) / (luminance - lowest) : All(0)) : All(1);
            r = luminance + toward * (r - luminance);
            g = luminance + toward * (g - luminance);
            b = luminance + toward * (b - luminance);
        }
    }
    // Highlights compressed (ToneMapper): the largest channel, the others in proportion.
    const Floats highest = Max(b, Max(g, r));
    if (Any(highest > job.knee)) {
        const float knee = job.knee, width = 1 - knee, perWhiteSquared = 1 / (job.curveWhite * job.curveWhite);
        const Floats u = Max(highest - knee, All(0)) * (1 / width);
        const Floats scale =
            highest > knee ? (knee * (1 + u) + width * u * (1 + u * perWhiteSquared)) / ((1 + u) * highest) : All(1);
        r *= scale, g *= scale, b *= scale;
    }
    // For the screen: each channel's code, dithered to 8 bits, a pixel's three bytes in a word.
    const Ints pattern = Load<Ints>(&dither[y & 7][x & 7]);  // x is a multiple of the lanes
    const auto code = [&](Floats light) { return (Look(job.encode, OctaveStep<encodeBits>(light)) + pattern) >> 8; };
    const Ints words = code(b) | code(g) << 8 | code(r) << 16;
    std::uint8_t* out = job.picture + job.pictureStep * y + 3 * x;
    if (count == lanes && x + lanes + 2 <= job.width) {
        // Each four pixels' bytes packed into twelve; sixteen are stored, the last four of them
        // overwritten by the next two pixels'.
#ifdef __AVX2__
        const Bytes packed = __builtin_shuffle(Bytes(words), Bytes{0,  1,  2,  4,  5,  6,  8,  9,  10, 12, 13,
                                                                   14, 3,  7,  11, 15, 16, 17, 18, 20, 21, 22,
                                                                   24, 25, 26, 28, 29, 30, 19, 23, 27, 31});
        std::memcpy(out, &packed, 16);
        std::memcpy(out + 12, reinterpret_cast<const std::uint8_t*>(&packed) + 16, 16);
#else
        const Bytes packed = __builtin_shuffle(Bytes(words), Bytes{0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15});
        std::memcpy(out, &packed, 16);
#endif
        return;
    }
    // The row's last pixels: each word stored whole but the very last one's.
    for (int i = 0; i < count; ++i) {
        const std::int32_t word = words[i];
        std::memcpy(out + 3 * i, &word, x + i + 1 < job.width ? 4 : 3);
    }
}

}  // namespace

void MapRows(const Job& job, int first, int last)
{
    const Factors factors(job);
    alignas(32) std::uint16_t luma[chunk + lanes];
    alignas(32) float blue[chunk + lanes], red[chunk + lanes];
    for (int y = first; y < last; ++y)
        for (int x0 = 0; x0 < job.width; x0 += chunk) {
            const int count = job.width - x0 < chunk ? job.width - x0 : chunk;
            Prepare(job, y, x0, count, luma, blue, red);
            for (int i = 0; i < count; i += lanes)
                MapPixels(factors, y, x0 + i, count - i < lanes ? count - i : lanes, luma + i, blue + i, red + i);
        }
}

}  // namespace HDR_ROWS_ISA
}  // namespace hdr_rows
