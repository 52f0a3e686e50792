#pragma once

#include "support/VideoWindow.h"

#include <QColor>
#include <QElapsedTimer>
#include <QTimer>

#include <functional>
#include <optional>

// Runs an action once, as soon as the "video" window shows the expected colour, with what it
// shows. It looks whenever events are serviced (every 10 ms at most), so it waits through
// dialogs, the window's empty first paint and a slow first frame without guessing how long
// they take. After 10 s it runs the action anyway, with whatever is shown (or nothing), so a
// test fails on what it finds instead of hanging in playback that never ends.
class WhenPictureShown {
public:
    WhenPictureShown(QColor expected, std::function<void(std::optional<QColor>)> action)
        : expected_(expected)
        , action_(std::move(action))
    {
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Check(); });
        waited_.start();
        timer_.start(10);
    }

private:
    void Check()
    {
        const auto shown = videowindow::ShownColour();
        if (!(shown && IsNear(*shown, expected_)) && !waited_.hasExpired(10'000))
            return;
        timer_.stop();
        action_(shown);
    }

    QColor expected_;
    std::function<void(std::optional<QColor>)> action_;
    QElapsedTimer waited_;
    QTimer timer_;
};
