#pragma once

#include <QList>

class QLabel;
class QWidget;

namespace screens {

// The part of a customer screen's layout that waits for the screen to be shown: the screen
// is created hidden at start-up and may stay hidden for the whole run, while decoding its
// 1024x768 background and sizing its captions (which loads a font engine for every size
// they use) would otherwise hold back the main screen's first appearance.
//
// Gives every label of window whose "picture" property (set in the layout) names a
// resource picture that picture, once, and fits each label of captions to its text. Meant
// for each showing: both steps cost nothing when already done.
void finishLayout(QWidget *window, const QList<QLabel *> &captions);

// Does ahead of a hidden window's first showing what that showing would spend most of its
// time on: its pictures, its style, its native window and backing store (over its whole
// screen, where a ScreenCover keeps it), and one paint, which loads the fonts and draws
// each glyph of its texts once. Its captions are still
// fitted when it is shown, which is cheap once their fonts are loaded.
void prepareAhead(QWidget *window);

// Withdraws the style polishing that every new control asks of the event loop, for window
// and all its controls: for a hidden window it would run before the first screen is
// painted, and showing the window polishes it anyway.
void deferPolish(QWidget *window);

} // namespace screens
