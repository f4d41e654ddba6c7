#include "tools/quillmark-sim/kioskconfig.h"

#include <QDir>
#include <QSaveFile>

QString writeKioskConfig(const QString &dir, const QString &host, quint16 port, QChar separator,
                         QString *error)
{
    const QString path = QDir(dir).filePath(QStringLiteral("config.ini"));
    QSaveFile file(path);
    // The kiosk reads the file in its 8-bit code page; Latin-1 carries every separator
    // a locale is likely to use.
    const QByteArray text =
        QStringLiteral("%1\n%2\n%3\n").arg(host).arg(port).arg(separator).toLatin1();
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return {};
    }
    return path;
}
