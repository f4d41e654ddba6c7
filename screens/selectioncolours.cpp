#include "screens/selectioncolours.h"

#include <QEvent>
#include <QLineEdit>
#include <QPalette>

SelectionColours::SelectionColours(QLineEdit *box) : QObject(box), m_box(box)
{
    m_box->installEventFilter(this);
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
