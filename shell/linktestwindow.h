#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

// The link test window as --link-test shows it beside the kiosk's screens: where it covers
// none of the customer's controls if the screen has room for that (beyond the 1024 x 768
// design area of a larger screen), and otherwise as few as the screen allows; and above
// the kiosk's screens for the whole run, with or without a window manager.
namespace linktest {

// The top left corner of a frame of the given size, inside area, that covers the least of
// the controls, by covered area and rank: the first list's before the second's, and so
// on; then the least of the design area; among equals the one nearest area's top right
// corner. A frame larger than area keeps to its top left.
QPoint clearPlace(const QRect &area, const QSize &frame, const QList<QList<QRect>> &controls,
                  const QRect &design);

// The controls of each of the kiosk's screens, every child of theirs but a background
// picture that fills the design area, in the coordinates of the screen at area that the
// screens cover from its top left corner.
QList<QList<QRect>> customerControls(const QList<QWidget *> &screens, const QRect &area);

// Shows window at its clear place on the screen of the first of screens, the first one's
// controls ranking first (the main screen, up whenever no customer is served), and keeps it
// above whichever of them is up, with or without a window manager (KeepAbove). A window
// manager frames the window only once it is up: the place is then worked out again for the
// whole frame.
void showBeside(QWidget *window, const QList<QWidget *> &screens);

} // namespace linktest
