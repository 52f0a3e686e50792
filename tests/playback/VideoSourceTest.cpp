#include "playback/VideoSource.h"

#include <gtest/gtest.h>

namespace {

struct SourceCase {
    std::optional<std::string> name;
    VideoSource expected;
};

void PrintTo(const SourceCase& c, std::ostream* out)
{
    if (!c.name) {
        *out << "no name";
        return;
    }
    // Bytes outside printable ASCII are escaped, so test names stay readable.
    *out << '"';
    for (const unsigned char byte : *c.name) {
        if (byte >= 0x20 && byte < 0x7f)
            *out << byte;
        else
            *out << "\\x" << std::hex << std::uppercase << int(byte) << std::dec;
    }
    *out << '"';
}

class SourceRule : public testing::TestWithParam<SourceCase> {};

TEST_P(SourceRule, ChoosesCameraOnlyForNoNameOrOneDigit)
{
    EXPECT_EQ(SelectSource(GetParam().name), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SourceRule,
    testing::Values(
        SourceCase{std::nullopt, VideoSource::Camera(0)},
        SourceCase{"0", VideoSource::Camera(0)},
        SourceCase{"7", VideoSource::Camera(7)},
        SourceCase{"9", VideoSource::Camera(9)},
        // The neighbours of the digit range in ASCII are names, not cameras.
        SourceCase{"/", VideoSource::File("/")},
        SourceCase{":", VideoSource::File(":")},
        SourceCase{"07", VideoSource::File("07")},
        SourceCase{"10", VideoSource::File("10")},
        SourceCase{" 7", VideoSource::File(" 7")},
        SourceCase{"a", VideoSource::File("a")},
        SourceCase{"", VideoSource::File("")},
        // A digit outside ASCII (Arabic-Indic seven) is two bytes: a file name.
        SourceCase{"\xb7", VideoSource::File("\xb7")},
        SourceCase{"\xd9\xa7", VideoSource::File("\xd9\xa7")},
        SourceCase{"/home/user/clip.avi", VideoSource::File("/home/user/clip.avi")}));

}  // namespace
