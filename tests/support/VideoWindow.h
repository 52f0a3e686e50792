#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

#include <optional>
#include <ostream>

// Reads back what OpenCV's window "video" shows, through Qt, as a person would see it.
namespace videowindow {

// The window titled "video", shown or not; null when there is none.
QWidget* Find();
int Count();
bool IsShown();
// The colour at the centre of the picture, absent while no window shows a picture.
std::optional<QColor> ShownColour();
// The picture as shown, at the size shown; null while no window shows a picture.
QImage ShownPicture();
// The same once the window shows a picture of the size given: a window takes a new size as its
// events are serviced, so they are, for a few seconds at most.
QImage ShownPicture(QSize size);
// What the main event loop does after a user closed the window: it is deleted then.
void CloseAsUser();
void DeletePendingWindows();

}  // namespace videowindow

// Colours that went through a lossy codec compare within a margin.
bool IsNear(QColor actual, QColor expected);

// Readable colours in test failures.
void PrintTo(const QColor& colour, std::ostream* out);
