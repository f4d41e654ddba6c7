#pragma once

#include <QList>
#include <QRect>
#include <QSize>
#include <QString>

class QLabel;
class QWidget;

// The controls that the layouts place beyond their 1024 x 768 design area: the staff exit
// areas, the voucher screen's second return area (both near the bottom-left corner) and the
// server address footer (near the bottom-right corner). The layouts place them for a
// 1280 x 1024 screen: the exit areas end 8 pixels above its bottom, the footer's captions
// 101 pixels left of its right edge.
//
// Without --fit they stay where the layouts put them, so on a 1024 x 768 screen they lie
// off it, as the design has it; only a footer that a narrow screen (portrait 1080 x 1920)
// would cut off moves left, by as much as the screen is narrower than 1280.
//
// With --fit the whole design is scaled until its height (or width) fills the screen, and
// what lay below the design area would be scaled off the screen. There they keep the
// distance from the screen's bottom-left corner (the footer: bottom-right) that they have on
// a 1280 x 1024 screen, counted in design pixels and so scaled with everything else.
//
// Each footer line is a caption and its value; the caption is fitted to its own text in
// whatever font the machine has and ends a few pixels before its value, so that the two
// never touch, and the value is elided in the middle where it would run past the screen's
// right edge (a long host name), never drawn over its caption.
class OuterControls
{
public:
    // --fit, for every window created after the call; set at start-up.
    static void setFitted(bool fitted);

    // The screen the layouts place these controls for.
    static constexpr QSize kReferenceScreen{1280, 1024};
    // Between a footer caption and its value, and between a value and the screen's edge.
    static constexpr int kFooterGap = 4;

    // Registered once the layout is built: their layout positions are the design's.
    void addCornerControl(QWidget *control);
    void addFooterLine(QLabel *caption, QLabel *value);

    // Places everything for a screen of the given size in design pixels.
    void place(const QSize &screen);

private:
    struct Corner
    {
        QWidget *control;
        QRect design;
    };
    struct FooterLine
    {
        QLabel *caption;
        QLabel *value;
        QRect captionDesign;
        QRect valueDesign;
        QString whole; // the value as written; the label may show it elided
        QString shown;
    };
    QList<Corner> m_corners;
    QList<FooterLine> m_footer;
};
