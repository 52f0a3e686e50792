#include "support/fake_camera/FakeCamera.h"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// OpenCV reads its wait for a frame once per process, at its first wait: a second, not ten,
// keeps the stalled camera's test short, whichever test runs first.
const bool shortFrameWait = setenv("OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT", "1", 1) == 0;

// Sets environment variables for one test and restores them after it.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::initializer_list<std::pair<const char*, const char*>> variables)
    {
        for (const auto& [name, value] : variables) {
            const char* old = std::getenv(name);
            saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
            setenv(name, value, 1);
        }
    }
    ~ScopedEnvironment()
    {
        for (const auto& [name, value] : saved_)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

cv::VideoCapture OpenCamera()
{
    return cv::VideoCapture(0, cv::CAP_V4L2);
}

milliseconds Since(Clock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// Reads until a read fails; returns how long the failing read took.
milliseconds DurationOfFirstFailingRead(cv::VideoCapture& camera, milliseconds limit)
{
    cv::Mat frame;
    const auto start = Clock::now();
    while (Since(start) < limit) {
        const auto before = Clock::now();
        if (!camera.read(frame))
            return Since(before);
    }
    ADD_FAILURE() << "every read succeeded for " << limit.count() << " ms";
    return milliseconds::max();
}

TEST(FakeCamera, OpenCvReadsTheConfiguredPictureExactly)
{
    ScopedEnvironment settings{{"FAKE_CAMERA_COLOUR", "C01040"}, {"FAKE_CAMERA_SIZE", "96x64"}};
    cv::VideoCapture camera = OpenCamera();
    ASSERT_TRUE(camera.isOpened());

    cv::Mat frame;
    ASSERT_TRUE(camera.read(frame));

    ASSERT_EQ(frame.type(), CV_8UC3);
    EXPECT_EQ(frame.size(), cv::Size(96, 64));
    // Every pixel, not only one: a wrong stride or offset shows as a stripe somewhere.
    cv::Mat expected(frame.size(), CV_8UC3, cv::Scalar(0x40, 0x10, 0xc0));
    expected(cv::Rect(0, 0, 96 / 4, 64 / 4)).setTo(cv::Scalar(0xff, 0xff, 0xff));
    EXPECT_EQ(cv::countNonZero(frame.reshape(1) != expected.reshape(1)), 0);
}

// As a USB camera answers a request: the nearest size it has in the format asked for, or in its
// first format when it lacks that one; each format's picture as OpenCV decodes it.
struct Request {
    const char* name;
    const char* format;
    cv::Size asked;
    const char* gotFormat;
    cv::Size got;
};

void PrintTo(const Request& request, std::ostream* out)
{
    *out << request.name;
}

class FakeCameraModes : public testing::TestWithParam<Request> {};

TEST_P(FakeCameraModes, AnswersARequestAsADriverDoes)
{
    const Request request = GetParam();
    ScopedEnvironment settings{{"FAKE_CAMERA_COLOUR", "C01040"},
                               {"FAKE_CAMERA_MODES", "YUYV:320x240@30,MJPG:640x480@30,MJPG:1280x720@30"}};
    cv::VideoCapture camera = OpenCamera();
    ASSERT_TRUE(camera.isOpened());
    const auto fourcc = [](const char* code) { return cv::VideoWriter::fourcc(code[0], code[1], code[2], code[3]); };
    camera.set(cv::CAP_PROP_FOURCC, fourcc(request.format));
    camera.set(cv::CAP_PROP_FRAME_WIDTH, request.asked.width);
    camera.set(cv::CAP_PROP_FRAME_HEIGHT, request.asked.height);

    cv::Mat frame;
    ASSERT_TRUE(camera.read(frame));

    EXPECT_EQ(camera.get(cv::CAP_PROP_FOURCC), fourcc(request.gotFormat));
    ASSERT_EQ(frame.size(), request.got);
    const auto near = [&frame](cv::Point at, cv::Vec3b bgr) { return cv::norm(frame.at<cv::Vec3b>(at), bgr, cv::NORM_INF) <= 8; };
    EXPECT_TRUE(near({frame.cols / 8, frame.rows / 8}, {0xff, 0xff, 0xff})) << "the white top-left quarter";
    EXPECT_TRUE(near({frame.cols / 2, frame.rows / 2}, {0x40, 0x10, 0xc0})) << frame.at<cv::Vec3b>(frame.rows / 2, frame.cols / 2);
}

INSTANTIATE_TEST_SUITE_P(Requests, FakeCameraModes,
                         testing::Values(Request{"Yuyv", "YUYV", {320, 240}, "YUYV", {320, 240}},
                                         Request{"NearestMjpegSize", "MJPG", {1000, 700}, "MJPG", {1280, 720}},
                                         Request{"FormatItLacks", "RGB3", {640, 480}, "YUYV", {320, 240}}),
                         [](const testing::TestParamInfo<Request>& info) { return std::string(info.param.name); });

TEST(FakeCamera, DeliversFramesAtTheConfiguredRate)
{
    ScopedEnvironment settings{{"FAKE_CAMERA_FPS", "50"}};
    cv::VideoCapture camera = OpenCamera();
    ASSERT_TRUE(camera.isOpened());
    cv::Mat frame;
    ASSERT_TRUE(camera.read(frame));

    const auto start = Clock::now();
    for (int i = 0; i < 25; ++i)
        ASSERT_TRUE(camera.read(frame));

    // 25 frames at 50 per second: never faster; slower only as much as a busy machine makes it.
    EXPECT_GE(Since(start), milliseconds(450));
    EXPECT_LE(Since(start), milliseconds(1500));
}

TEST(FakeCamera, WaitAnyFindsTheNextFrame)
{
    cv::VideoCapture camera = OpenCamera();
    ASSERT_TRUE(camera.isOpened());
    std::vector<int> ready;

    // poll() on the device's descriptor, then a grab: the pipe has to be a real pollable one.
    ASSERT_TRUE(cv::VideoCapture::waitAny({camera}, ready, 1'000'000'000));

    EXPECT_EQ(ready, std::vector<int>{0});
    cv::Mat frame;
    EXPECT_TRUE(camera.retrieve(frame));
    EXPECT_FALSE(frame.empty());
}

TEST(FakeCamera, StalledCameraStaysOpenAndSendsNothing)
{
    ASSERT_TRUE(shortFrameWait);
    ScopedEnvironment settings{{"FAKE_CAMERA_STALL_AFTER_MS", "300"}};
    cv::VideoCapture camera = OpenCamera();
    ASSERT_TRUE(camera.isOpened());

    // Failing only after the whole wait: the device was alive and quiet, not broken.
    EXPECT_GE(DurationOfFirstFailingRead(camera, milliseconds(5000)), milliseconds(900));
    EXPECT_GT(fakecamera::OpenDescriptors(), 0);
    camera.release();
    EXPECT_EQ(fakecamera::OpenDescriptors(), 0);
}

TEST(FakeCamera, VanishingCameraWakesAWaitingReadAndFailsFromThenOn)
{
    ScopedEnvironment settings{{"FAKE_CAMERA_VANISH_AFTER_MS", "300"}};
    cv::VideoCapture camera = OpenCamera();
    ASSERT_TRUE(camera.isOpened());

    // Well within OpenCV's wait: the vanishing woke it up.
    EXPECT_LT(DurationOfFirstFailingRead(camera, milliseconds(5000)), milliseconds(500));
    cv::Mat frame;
    EXPECT_FALSE(camera.read(frame));
    camera.release();
    EXPECT_EQ(fakecamera::OpenDescriptors(), 0);
}

TEST(FakeCamera, MalformedSettingFailsTheOpen)
{
    for (const char* colour : {"green", "12345", "1234567", "12345G"}) {
        ScopedEnvironment settings{{"FAKE_CAMERA_COLOUR", colour}};
        EXPECT_FALSE(OpenCamera().isOpened()) << colour;
    }
    for (const char* modes : {"MJPG:640x480", "H264:640x480@30", "YUYV:640x480@30,", "YUYV:641x480@30"}) {
        ScopedEnvironment settings{{"FAKE_CAMERA_MODES", modes}};
        EXPECT_FALSE(OpenCamera().isOpened()) << modes;
    }
    ScopedEnvironment settings{{"FAKE_CAMERA_SIZE", "161x120"}};
    EXPECT_FALSE(OpenCamera().isOpened()) << "odd width";
    EXPECT_EQ(fakecamera::OpenDescriptors(), 0);
}

}  // namespace
