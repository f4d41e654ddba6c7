#include "screens/selectioncolours.h"

#include <QEvent>
#include <QLineEdit>
#include <QPalette>
#include <QProxyStyle>

namespace {

// The box's text cursor is drawn inverted, black on the white box, whatever the box's own
// colours: blinking beside the selected "waiting..." it looked like a fault as the highlight
// did. As in the classic edit controls, a box with selected text shows no cursor; it comes
// back once the reader's first character has replaced the selection.
class NoCursorBesideSelectionStyle : public QProxyStyle
{
public:
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_BlinkCursorWhenTextSelected)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

SelectionColours::SelectionColours(QLineEdit *box) : QObject(box), m_box(box)
{
    m_box->installEventFilter(this);
    auto *style = new NoCursorBesideSelectionStyle;
    style->setParent(m_box);
    m_box->setStyle(style);
    follow();
}

bool SelectionColours::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_box && event->type() == QEvent::PaletteChange)
        follow();
    return false;
}

void SelectionColours::follow()
{
    QPalette palette = m_box->palette();
    bool changed = false;
    for (const QPalette::ColorGroup group :
         {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const QBrush background = palette.brush(group, QPalette::Base);
        const QBrush text = palette.brush(group, QPalette::Text);
        if (palette.brush(group, QPalette::Highlight) != background) {
            palette.setBrush(group, QPalette::Highlight, background);
            changed = true;
        }
        if (palette.brush(group, QPalette::HighlightedText) != text) {
            palette.setBrush(group, QPalette::HighlightedText, text);
            changed = true;
        }
    }
    // Setting the palette sends one more change, which then finds nothing to do.
    if (changed)
        m_box->setPalette(palette);
}
