#pragma once

#include <QLabel>

class QMouseEvent;

// A picture control that takes clicks: without a picture it is an invisible area over a
// part of a background; with one it is a clickable picture. It reports a click when the
// button is pressed and released on it while it is visible and enabled.
class ClickArea : public QLabel
{
    Q_OBJECT
public:
    explicit ClickArea(QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    bool m_pressed = false;
};
