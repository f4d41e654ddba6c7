#pragma once

#include <QPixmap>
#include <QString>

namespace screens {

// A picture of the layouts, ready to be drawn at the given device pixel ratio. At 1 it is
// the file as it stands. A scaled kiosk (--fit) draws from the variant rendered for the
// smallest whole factor at or above the ratio (NAME@2x.jpg, NAME@3x.jpg, the names Qt's
// own icons use), resampled once to the exact number of device pixels it covers, so the
// label draws it pixel for pixel, sharp at any factor: Qt's QPixmap and QLabel neither
// look for such a variant nor resample smoothly when they draw.
QPixmap loadPicture(const QString &path, qreal devicePixelRatio);

} // namespace screens
