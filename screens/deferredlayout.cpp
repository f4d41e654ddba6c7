#include "screens/deferredlayout.h"

#include "screens/picture.h"
#include "screens/screencover.h"
#include "screens/storedpicture.h"

#include <QBackingStore>
#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QPixmap>
#include <QVariant>

namespace screens {

namespace {

const QRect kDesignArea(0, 0, 1024, 768);

} // namespace

void finishLayout(QWidget *window, const QList<QLabel *> &captions)
{
    const auto labels = window->findChildren<QLabel *>();
    for (QLabel *label : labels) {
        const QString path = label->property("picture").toString();
        if (path.isEmpty() || !label->pixmap().isNull() ||
            label->findChild<StoredPicture *>(QString(), Qt::FindDirectChildrenOnly))
            continue;
        // The background that fills the design area lives in the window's backing store.
        if (label->parentWidget() == window && label->geometry() == kDesignArea)
            new StoredPicture(label, path);
        else
            label->setPixmap(loadPicture(path, label->devicePixelRatio()));
    }
    for (QLabel *label : captions)
        label->adjustSize();
}

void prepareAhead(QWidget *window)
{
    finishLayout(window, {});
    window->ensurePolished();
    // At the size it is shown at: made at the layout's 1024 x 768, the native window and
    // backing store would be made again when the showing covers the screen, and the
    // first opening would pay for the larger buffer after all.
    if (auto *cover = window->findChild<ScreenCover *>(QString(), Qt::FindDirectChildrenOnly))
        cover->coverAhead();
    window->winId();
    // Painted into the window's own backing store: its buffer is allocated and touched
    // now, and the glyphs are cached for the device the showing paints on. The showing
    // repaints the whole window before anything of it reaches the screen.
    QBackingStore *store = window->backingStore();
    store->resize(window->size());
    store->beginPaint(QRegion(window->rect()));
    window->render(store->paintDevice());
    store->endPaint();
    // A scroll by nothing hands the whole picture to the window system's copy of the
    // store once (on X11, from the shared buffer into the server's own pixmap): the
    // server maps each page of the shared buffer at its first read, some 10 ms for a
    // screen of 1920 x 1080, and that is better paid now than in the first opening.
    store->scroll(QRegion(window->rect()), 0, 0);
}

void deferPolish(QWidget *window)
{
    QCoreApplication::removePostedEvents(window, QEvent::PolishRequest);
    const auto controls = window->findChildren<QWidget *>();
    for (QWidget *control : controls)
        QCoreApplication::removePostedEvents(control, QEvent::PolishRequest);
}

} // namespace screens
