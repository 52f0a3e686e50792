#pragma once

#include <QColor>

// The solid colours test videos and the fake camera are made of: far enough apart to tell
// apart after a lossy codec (see IsNear).
namespace testcolours {

inline const QColor red(255, 0, 0);
inline const QColor green(0, 255, 0);
inline const QColor blue(0, 0, 255);
inline const QColor white(255, 255, 255);

}  // namespace testcolours
