#pragma once

#include <QTimer>

#include <functional>

// Runs an action the first time events are serviced, which during a command is at its first
// frame, or before it if the source is slow to open; never after the scope that set it up has
// ended. (To act once a picture is shown: WhenPictureShown.)
class DuringPlayback {
public:
    explicit DuringPlayback(std::function<void()> action)
    {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, &timer_, std::move(action));
        timer_.start(0);
    }

private:
    QTimer timer_;
};
