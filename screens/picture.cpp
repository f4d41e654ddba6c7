#include "screens/picture.h"

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QtMath>

namespace screens {

namespace {

// The variant for a whole factor: "x.jpg" becomes "x@2x.jpg".
QString variant(const QString &path, int factor)
{
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    const qsizetype at = dot < 0 ? path.size() : dot;
    return QString(path).insert(at, QStringLiteral("@%1x").arg(factor));
}

} // namespace

QPixmap loadPicture(const QString &path, qreal devicePixelRatio)
{
    if (qFuzzyCompare(devicePixelRatio, qreal(1)))
        return QPixmap(path);
    QString source = path;
    int sourceFactor = 1;
    for (int factor = qMin(qCeil(devicePixelRatio), 9); factor > 1; --factor) {
        if (QFile::exists(variant(path, factor))) {
            source = variant(path, factor);
            sourceFactor = factor;
            break;
        }
    }
    QImage image = QImageReader(source).read();
    if (image.isNull())
        return QPixmap();
    // The design size, in layout pixels, comes from the variant's own size.
    const QSizeF design = QSizeF(image.size()) / sourceFactor;
    const QSize device(qRound(design.width() * devicePixelRatio),
                       qRound(design.height() * devicePixelRatio));
    if (image.size() != device)
        image = image.scaled(device, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    image.setDevicePixelRatio(devicePixelRatio);
    return QPixmap::fromImage(std::move(image));
}

} // namespace screens
