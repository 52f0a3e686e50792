#include "support/VideoWindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QGraphicsView>
#include <QImage>
#include <QTest>

#include <cstdlib>

namespace videowindow {

namespace {
const QString title = QStringLiteral("video");
}

QWidget* Find()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->windowTitle() == title)
            return widget;
    return nullptr;
}

int Count()
{
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        count += widget->windowTitle() == title ? 1 : 0;
    return count;
}

bool IsShown()
{
    QWidget* window = Find();
    return window && window->isVisible();
}

QImage ShownPicture()
{
    QWidget* window = Find();
    if (!window || !window->isVisible())
        return {};
    // The picture is drawn by the window's graphics view; the rest is toolbar and status bar.
    auto* view = window->findChild<QGraphicsView*>();
    if (!view)
        return {};
    return view->viewport()->grab().toImage();
}

QImage ShownPicture(QSize size)
{
    static_cast<void>(QTest::qWaitFor([size] { return ShownPicture().size() == size; }, 5000));
    return ShownPicture();
}

std::optional<QColor> ShownColour()
{
    const QImage image = ShownPicture();
    if (image.isNull())
        return std::nullopt;
    return QColor(image.pixel(image.width() / 2, image.height() / 2));
}

void CloseAsUser()
{
    if (QWidget* window = Find())
        window->close();
    DeletePendingWindows();
}

void DeletePendingWindows()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace videowindow

bool IsNear(QColor actual, QColor expected)
{
    constexpr int margin = 40;
    return std::abs(actual.red() - expected.red()) <= margin
        && std::abs(actual.green() - expected.green()) <= margin
        && std::abs(actual.blue() - expected.blue()) <= margin;
}

void PrintTo(const QColor& colour, std::ostream* out)
{
    *out << colour.name().toStdString();
}
