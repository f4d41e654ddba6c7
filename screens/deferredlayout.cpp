#include "screens/deferredlayout.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QPixmap>
#include <QVariant>

namespace screens {

void finishLayout(QWidget *window, const QList<QLabel *> &captions)
{
    const auto labels = window->findChildren<QLabel *>();
    for (QLabel *label : labels) {
        const QString path = label->property("picture").toString();
        if (!path.isEmpty() && label->pixmap().isNull())
            label->setPixmap(QPixmap(path));
    }
    for (QLabel *label : captions)
        label->adjustSize();
}

void deferPolish(QWidget *window)
{
    QCoreApplication::removePostedEvents(window, QEvent::PolishRequest);
    const auto controls = window->findChildren<QWidget *>();
    for (QWidget *control : controls)
        QCoreApplication::removePostedEvents(control, QEvent::PolishRequest);
}

} // namespace screens
