#include "screens/outercontrols.h"

#include <QFontMetrics>
#include <QLabel>

namespace {
bool g_fitted = false;
} // namespace

void OuterControls::setFitted(bool fitted)
{
    g_fitted = fitted;
}

void OuterControls::addCornerControl(QWidget *control)
{
    m_corners.append({control, control->geometry()});
}

void OuterControls::addFooterLine(QLabel *caption, QLabel *value)
{
    m_footer.append({caption, value, caption->geometry(), value->geometry(), value->text(), {}});
}

void OuterControls::place(const QSize &screen)
{
    const int down = g_fitted ? screen.height() - kReferenceScreen.height() : 0;
    const int across = g_fitted ? screen.width() - kReferenceScreen.width()
                                : qMin(0, screen.width() - kReferenceScreen.width());
    for (const Corner &corner : std::as_const(m_corners))
        corner.control->move(corner.design.topLeft() + QPoint(0, down));

    for (FooterLine &line : m_footer) {
        // Written anew since it was last placed (the link client writes it at start-up).
        if (line.value->text() != line.shown)
            line.whole = line.value->text();
        const int left = line.valueDesign.x() + across;
        const int room =
            qMax(0, qMin(line.valueDesign.width(), screen.width() - kFooterGap - left));
        line.shown = line.value->fontMetrics().elidedText(line.whole, Qt::ElideMiddle, room);
        line.value->setText(line.shown);
        // As tall as the font's line, as the caption is, so that the two share a baseline.
        line.value->setGeometry(left, line.valueDesign.y() + down, room,
                                qMax(line.valueDesign.height(), line.value->sizeHint().height()));
        // The caption's own width in the font it got, ending before the value.
        line.caption->adjustSize();
        line.caption->move(left - kFooterGap - line.caption->width(),
                           line.captionDesign.y() + down);
    }
}
