#pragma once

// Helpers for the tests of the kiosk's journal: a pipe to take its lines, and the lines
// without their time stamps and durations.

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <fcntl.h>
#include <unistd.h>

// A pipe whose read end the test holds: nothing reads it until the test does.
class Pipe
{
public:
    Pipe()
    {
        if (::pipe2(ends, O_CLOEXEC) != 0)
            qFatal("pipe2 failed");
    }
    ~Pipe()
    {
        closeWriteEnd();
        ::close(ends[0]);
    }
    int writeEnd() const { return ends[1]; }
    void closeWriteEnd()
    {
        if (ends[1] >= 0)
            ::close(ends[1]);
        ends[1] = -1;
    }
    // Everything in the pipe now, without waiting for more.
    QByteArray drain() const
    {
        const int flags = ::fcntl(ends[0], F_GETFL);
        ::fcntl(ends[0], F_SETFL, flags | O_NONBLOCK);
        QByteArray all;
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(ends[0], buffer, sizeof buffer)) > 0)
            all.append(buffer, n);
        ::fcntl(ends[0], F_SETFL, flags);
        return all;
    }

private:
    int ends[2] = {-1, -1};
};

// A journal line without its time stamp and duration, for comparing; empty when the line
// does not have the journal's form.
inline QString withoutTimes(const QString &line)
{
    static const QRegularExpression stamped(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} (.*)$"));
    const QRegularExpressionMatch match = stamped.match(line);
    if (!match.hasMatch())
        return QString();
    QString text = match.captured(1);
    return text.replace(QRegularExpression(QStringLiteral(" ms=\\d+")), QString());
}

inline QStringList journalLines(const QByteArray &bytes)
{
    QStringList lines;
    for (const QByteArray &line : bytes.split('\n')) {
        if (!line.isEmpty())
            lines << withoutTimes(QString::fromUtf8(line));
    }
    return lines;
}
