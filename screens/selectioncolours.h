#pragma once

#include <QObject>

class QEvent;
class QLineEdit;

// Draws an entry box's selected text in the box's own colours: the selection itself is kept
// (the reader's first character replaces the selected "waiting..."), but the platform's
// blue highlight over the screen's red-on-white box looked like a fault to customers.
//
// The box's colours come from its style sheet, which is applied only when the box is first
// polished (and again whenever it is polished anew); each time the box's palette changes the
// highlight follows its background and the selected text its text colour, in every colour
// group, so the selected text looks like the rest of the box. No text cursor blinks beside the
// selection.
class SelectionColours : public QObject
{
    Q_OBJECT
public:
    // Owned by box.
    explicit SelectionColours(QLineEdit *box);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void follow();

    QLineEdit *const m_box;
};
