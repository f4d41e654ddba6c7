#include "screens/storedpicture.h"

#include "screens/clickarea.h"
#include "screens/picture.h"

#include <QBackingStore>
#include <QEvent>
#include <QImageReader>
#include <QLabel>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

#include <cmath>
#include <cstring>

namespace {

// A control's antialiased edge may fall into the device pixel beside its rectangle at a
// fractional scale; the copy takes that pixel too.
constexpr int kEdge = 1;

// Copies the pixels of area from one image to the other, both in device pixels, source at
// from and target at to.
void copyPixels(const QImage &source, const QPoint &from, QImage &target, const QPoint &to,
                const QSize &size)
{
    const int bytes = size.width() * 4;
    for (int row = 0; row < size.height(); ++row) {
        const uchar *in = source.constScanLine(from.y() + row) + from.x() * 4;
        // The store is written where it stands: a detaching scanLine() would give it a copy.
        auto *out = const_cast<uchar *>(target.constScanLine(to.y() + row)) + to.x() * 4;
        std::memcpy(out, in, bytes);
    }
}

// A click area without a picture of its own only takes touches.
bool drawsNothing(const QWidget *control)
{
    const auto *area = qobject_cast<const ClickArea *>(control);
    return area && area->pixmap().isNull() && area->property("picture").toString().isEmpty();
}

bool fourBytes(const QImage &image)
{
    return image.depth() == 32;
}

} // namespace

StoredPicture::StoredPicture(QLabel *label, QString path)
    : QObject(label), m_label(label), m_path(std::move(path))
{
    m_label->installEventFilter(this);
    if (QWidget *window = m_label->parentWidget()) {
        // The window's plain colour is filled in here, beside the picture only: filled by Qt
        // under the picture too, it would take the picture out of the store at every paint.
        window->setAttribute(Qt::WA_OpaquePaintEvent);
        window->installEventFilter(this);
    }
}

bool StoredPicture::held() const
{
    return m_storeBits != nullptr;
}

qsizetype StoredPicture::keptBytes() const
{
    qsizetype bytes = 0;
    for (const Patch &patch : m_patches)
        bytes += patch.pixels.sizeInBytes();
    return bytes;
}

bool StoredPicture::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_label) {
        if (event->type() == QEvent::Paint) {
            paint();
            return true;
        }
        return false;
    }
    switch (event->type()) {
    case QEvent::Paint: {
        auto *window = static_cast<QWidget *>(watched);
        const QRegion beside =
            static_cast<QPaintEvent *>(event)->region() - QRegion(m_label->geometry());
        if (!beside.isEmpty()) {
            QPainter painter(window);
            const QBrush fill = window->palette().brush(window->backgroundRole());
            for (const QRect &rect : beside)
                painter.fillRect(rect, fill);
        }
        // Handed on: the window's own paint, and whoever waits for it, still see it.
        break;
    }
    case QEvent::Resize:
        // Qt sends one at each showing too; only a new size gives the window a new store.
        if (static_cast<QResizeEvent *>(event)->oldSize() !=
            static_cast<QResizeEvent *>(event)->size())
            forget();
        break;
    default:
        break;
    }
    return false;
}

void StoredPicture::forget()
{
    m_storeBits = nullptr;
    m_storeSize = QSize();
    m_device = QRect();
    m_whole = false;
    m_kept = QRegion();
    m_patches.clear();
    m_samples.clear();
}

QImage *StoredPicture::windowStore() const
{
    QBackingStore *store = m_label->window()->backingStore();
    QPaintDevice *device = store ? store->paintDevice() : nullptr;
    if (!device || device->devType() != QInternal::Image)
        return nullptr;
    auto *image = static_cast<QImage *>(device);
    return fourBytes(*image) ? image : nullptr;
}

QImage *StoredPicture::storeImage(QPainter &painter) const
{
    QImage *store = windowStore();
    const QPaintEngine *engine = painter.paintEngine();
    return store && engine && engine->paintDevice() == store ? store : nullptr;
}

bool StoredPicture::holds(const QImage &store) const
{
    if (!held() || store.constBits() != m_storeBits || store.size() != m_storeSize)
        return false;
    // The window's native window comes and goes with each showing while its store stays;
    // a store made anew in the same memory would still differ from the picture somewhere.
    for (const auto &[at, pixel] : m_samples) {
        if (reinterpret_cast<const QRgb *>(store.constScanLine(at.y()))[at.x()] != pixel)
            return false;
    }
    return true;
}

void StoredPicture::takeSamples(const QImage &store)
{
    m_samples.clear();
    constexpr int kSteps = 8;
    for (int row = 0; row < kSteps; ++row) {
        for (int column = 0; column < kSteps; ++column) {
            const QPoint at(m_device.x() + (2 * column + 1) * m_device.width() / (2 * kSteps),
                            m_device.y() + (2 * row + 1) * m_device.height() / (2 * kSteps));
            if (!m_kept.contains(at))
                m_samples.emplace_back(
                    at, reinterpret_cast<const QRgb *>(store.constScanLine(at.y()))[at.x()]);
        }
    }
}

void StoredPicture::paint()
{
    QPainter painter(m_label);
    QImage *store = storeImage(painter);
    if (!store) {
        paintElsewhere(painter);
        return;
    }
    const QRect whole = painter.deviceTransform().mapRect(QRectF(m_label->rect())).toAlignedRect();
    // On a screen smaller than the design the window, and its store, end inside the picture.
    const QRect device = whole.intersected(store->rect());
    // Qt clips the paint to what needs painting, in the store's device pixels; an empty clip
    // means the whole label.
    QRegion clip = painter.paintEngine()->systemClip();
    clip = clip.isEmpty() ? QRegion(device) : clip.intersected(device);
    if (!holds(*store) || device != m_device) {
        forget();
        if (clip == QRegion(device)) {
            fillStore(painter, *store, device, device == whole);
        } else {
            // Only part of a store that does not hold the picture yet: that part now, and
            // the whole label, the controls over it with it, once more right after.
            paintElsewhere(painter);
            m_label->update();
        }
        return;
    }
    // Areas a control is about to draw in for the first time: still the bare picture now.
    keep(*store, controlAreas(painter, device).intersected(clip) - m_kept);
    restore(*store, clip);
}

void StoredPicture::fillStore(QPainter &painter, QImage &store, const QRect &device, bool whole)
{
    // At the layout's own scale the file is decoded straight into the store; scaled, it is
    // resampled from its larger variant (see loadPicture) and drawn once.
    bool filled = false;
    ++m_decodes;
    if (whole && device.size() == m_label->size()) {
        const uchar *at = store.constBits() + device.y() * store.bytesPerLine() + device.x() * 4;
        QImage view(const_cast<uchar *>(at), device.width(), device.height(), store.bytesPerLine(),
                    QImage::Format_RGB32);
        QImageReader reader(m_path);
        filled = reader.size() == device.size() && reader.read(&view) && view.constBits() == at;
        if (!filled && !view.isNull() && view.size() == device.size()) {
            // The reader gave an image of its own after all: copied in.
            const QImage decoded = view.convertToFormat(QImage::Format_RGB32);
            copyPixels(decoded, QPoint(), store, device.topLeft(), device.size());
            filled = true;
        }
    }
    if (!filled) {
        const QPixmap picture = screens::loadPicture(m_path, m_label->devicePixelRatioF());
        if (picture.isNull())
            return; // nothing to keep: painted again, and tried again, next time
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawPixmap(QRectF(m_label->rect()), picture, QRectF(picture.rect()));
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    m_storeBits = store.constBits();
    m_storeSize = store.size();
    m_device = device;
    m_whole = whole;
    // Every shown control's area now, before any of them draws: the copies that any later
    // paint of theirs is drawn over.
    keep(store, controlAreas(painter, device));
    takeSamples(store);
}

QRegion StoredPicture::controlAreas(const QPainter &painter, const QRect &device) const
{
    QRegion areas;
    QWidget *window = m_label->parentWidget();
    if (!window)
        return areas;
    const QTransform toDevice = painter.deviceTransform();
    // At a whole scale a control draws within its own device pixels.
    const qreal scale = toDevice.m11();
    const int edge = scale == std::trunc(scale) ? 0 : kEdge;
    const QObjectList &children = window->children();
    for (QObject *child : children) {
        auto *control = qobject_cast<QWidget *>(child);
        if (!control || control == m_label || control->isWindow() || drawsNothing(control))
            continue;
        // A hidden control's area is taken when it is first shown, from the bare picture;
        // one that paints opaquely has nothing painted under it then, so its area is taken
        // at once.
        if (!control->isVisibleTo(window) && !control->testAttribute(Qt::WA_OpaquePaintEvent) &&
            !control->autoFillBackground())
            continue;
        // In the label's coordinates, as the painter maps them.
        const QRect local = QRect(m_label->mapFrom(window, control->pos()), control->size());
        const QRect area =
            toDevice.mapRect(QRectF(local)).toAlignedRect().adjusted(-edge, -edge, edge, edge);
        areas += area.intersected(device);
    }
    return areas;
}

void StoredPicture::keep(const QImage &store, const QRegion &area)
{
    for (const QRect &rect : area) {
        Patch patch{rect, QImage(rect.size(), store.format())};
        copyPixels(store, rect.topLeft(), patch.pixels, QPoint(), rect.size());
        m_patches.push_back(std::move(patch));
    }
    m_kept += area;
    // A sample under a control no longer shows the bare picture.
    std::erase_if(m_samples, [&](const auto &sample) { return area.contains(sample.first); });
}

void StoredPicture::restore(QImage &store, const QRegion &clip) const
{
    for (const Patch &patch : m_patches) {
        for (const QRect &rect : clip.intersected(patch.area)) {
            copyPixels(patch.pixels, rect.topLeft() - patch.area.topLeft(), store, rect.topLeft(),
                       rect.size());
        }
    }
}

void StoredPicture::paintElsewhere(QPainter &painter)
{
    const QImage *store = windowStore();
    QImage picture;
    if (store && holds(*store) && m_whole) {
        picture = store->copy(m_device);
        const QPoint origin = m_device.topLeft();
        for (const Patch &patch : m_patches)
            copyPixels(patch.pixels, QPoint(), picture, patch.area.topLeft() - origin,
                       patch.area.size());
        picture.setDevicePixelRatio(m_label->devicePixelRatioF());
    } else {
        ++m_decodes;
        picture = screens::loadPicture(m_path, m_label->devicePixelRatioF()).toImage();
    }
    painter.drawImage(QRectF(m_label->rect()), picture, QRectF(picture.rect()));
}
