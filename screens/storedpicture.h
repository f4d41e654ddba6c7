#pragma once

#include <QImage>
#include <QObject>
#include <QRect>
#include <QRegion>
#include <QString>

#include <utility>
#include <vector>

class QEvent;
class QLabel;
class QPainter;

// The background picture of a screen, kept in the screen's own backing store rather than
// decoded beside it. Each of the three screens covers the whole screen with a store of its
// own (prepared ahead, so that its first opening is as quick as any), and a decoded copy of
// its 1024 x 768 picture beside each store doubled what the pictures cost: 9 MB more than
// a program that shows one of them.
//
// The picture is decoded once, straight into the store, the first time the store is
// painted (again only if the window gets a new store, as when it is resized). From then on
// the store holds the picture wherever no control draws, and this keeps, for the areas
// under the controls alone, a copy of the pixels taken from the store before any control
// drew there: a control that changes is drawn again over its copy, and nothing else of the
// picture is ever painted again. A control that grows into a new area gets that area's
// copy taken from the store just before it first draws there, which is still the bare
// picture then. Drawn anywhere else than into the store (a screenshot), the picture comes
// from the store and the copies together.
//
// Controls are the label's siblings; click areas that draw nothing are left out. No
// control above the picture may paint opaquely (Qt would then not paint the picture under
// it first); none of the layouts' controls does. The window's plain colour beside the
// picture is filled in by this too, since Qt's own fill would cover the picture.
class StoredPicture : public QObject
{
    Q_OBJECT
public:
    // Owned by label, which must fill its window's design area; path names the picture.
    StoredPicture(QLabel *label, QString path);

    // Whether the window's current store holds the picture (it has been painted there).
    bool held() const;
    // How often the picture was decoded: once, unless the window got a new store.
    int decodes() const { return m_decodes; }
    // Bytes kept beside the store: the copies under the controls.
    qsizetype keptBytes() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Patch
    {
        QRect area; // device pixels of the store
        QImage pixels;
    };

    void paint();
    // The window's backing store, where it is an image of 32-bit pixels.
    QImage *windowStore() const;
    // The same, where painter paints into it.
    QImage *storeImage(QPainter &painter) const;
    bool holds(const QImage &store) const;
    void fillStore(QPainter &painter, QImage &store, const QRect &device, bool whole);
    void restore(QImage &store, const QRegion &clip) const;
    void keep(const QImage &store, const QRegion &area);
    QRegion controlAreas(const QPainter &painter, const QRect &device) const;
    void paintElsewhere(QPainter &painter);
    void forget();
    void takeSamples(const QImage &store);

    QLabel *const m_label;
    const QString m_path;
    // The store that holds the picture, told by its memory, size and the picture's place.
    const uchar *m_storeBits = nullptr;
    QSize m_storeSize;
    QRect m_device;
    bool m_whole = false; // the store holds the whole picture, not only its top left
    QRegion m_kept;
    std::vector<Patch> m_patches;
    int m_decodes = 0;
    // Pixels of the bare picture that no control covers, checked before the store is
    // trusted to hold it still.
    std::vector<std::pair<QPoint, QRgb>> m_samples;
};
