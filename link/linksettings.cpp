#include "link/linksettings.h"

#include "platform/codepage.h"
#include "platform/errors.h"

#include <QFile>

LinkSettings LinkSettings::parse(QByteArrayView contents)
{
    LinkSettings settings;
    QString *const targets[] = {&settings.server, &settings.port, &settings.separator};
    // A Windows editor saving as UTF-8 puts a byte-order mark first; read through the code
    // page it would stand in front of the address ("ï»¿127.0.0.1"). Nothing else is
    // trimmed.
    settings.byteOrderMark = contents.startsWith("\xEF\xBB\xBF");
    qsizetype start = settings.byteOrderMark ? 3 : 0;
    for (QString *target : targets) {
        if (start >= contents.size())
            break;
        ++settings.lines;
        qsizetype end = start;
        while (end < contents.size() && contents[end] != '\r' && contents[end] != '\n')
            ++end;
        *target = platform::fromCodePage(contents.sliced(start, end - start));
        if (end < contents.size() && contents[end] == '\r')
            ++end;
        if (end < contents.size() && contents[end] == '\n')
            ++end;
        start = end;
    }
    return settings;
}

LinkSettings LinkSettings::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(QStringLiteral("The specified file was not found"));
    return parse(file.readAll());
}
