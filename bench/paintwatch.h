#pragma once

#include "shell/application.h"

#include <QList>
#include <functional>

class QWidget;

// The kiosk's application object with a watch on painting: after the window system's
// expose or an update request has been handled (every widget painted into the window's
// backing store and the store flushed to the window system) and the X server has caught up
// with the flush, it reports each window that was painted, with the time.
class PaintWatchApplication : public Application
{
    Q_OBJECT
public:
    using Application::Application;

    bool notify(QObject *receiver, QEvent *event) override;

    // Milliseconds on a steady clock, the time base of onPainted.
    static double nowMs();

    std::function<void(QWidget *window, double atMs)> onPainted;

private:
    int m_syncDepth = 0;
    QList<QWidget *> m_painted;
};
