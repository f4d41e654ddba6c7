#include "platform/bucketrecord.h"

#include "platform/writeall.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Blanks, control characters and anything beyond ASCII become "?", as in every other
// journal line: a record someone planted cannot break a line.
QString fit(const QString &text)
{
    QString visible = text.left(64);
    for (QChar &c : visible) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F)
            c = QLatin1Char('?');
    }
    return visible;
}

QString systemError(const QString &what)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

QString Bucket::journalFields() const
{
    return QStringLiteral("screen=%1 ref=%2 group=%3 balls=%4 started=%5")
        .arg(screen.isEmpty() ? QStringLiteral("-") : fit(screen),
             reference.isEmpty() ? QStringLiteral("-") : fit(reference),
             issueGroup > 0 ? QString::number(issueGroup) : QStringLiteral("-"),
             QString::number(balls), started.isEmpty() ? QStringLiteral("-") : fit(started));
}

QByteArray Bucket::recordText() const
{
    return QStringLiteral("started=%1\nscreen=%2\nref=%3\ngroup=%4\nballs=%5\n")
        .arg(fit(started), fit(screen), fit(reference),
             issueGroup > 0 ? QString::number(issueGroup) : QStringLiteral("-"),
             QString::number(balls))
        .toUtf8();
}

Bucket Bucket::fromRecordText(const QByteArray &text)
{
    Bucket bucket;
    for (const QByteArray &line : text.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0)
            continue;
        const QByteArray name = line.left(equals);
        const QString value = fit(QString::fromUtf8(line.mid(equals + 1)));
        if (name == "started")
            bucket.started = value;
        else if (name == "screen")
            bucket.screen = value;
        else if (name == "ref")
            bucket.reference = value;
        else if (name == "group")
            bucket.issueGroup = qBound(0, value.toInt(), 3);
        else if (name == "balls")
            bucket.balls = value.toInt();
    }
    return bucket;
}

BucketRecordFile::BucketRecordFile(QString folder)
    : m_folder(std::move(folder)), m_path(m_folder + QLatin1Char('/') + QLatin1String(fileName))
{
}

bool BucketRecordFile::write(const Bucket &bucket)
{
    const QByteArray path = QFile::encodeName(m_path);
    const QByteArray fresh = path + ".new";
    ::unlink(fresh.constData());
    // O_EXCL and O_NOFOLLOW: never written through a link someone left in its place.
    const int fd =
        ::open(fresh.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_error = systemError(QStringLiteral("cannot create ") + QFile::decodeName(fresh));
        return false;
    }
    const bool written = platform::writeAll(fd, bucket.recordText()) && ::fsync(fd) == 0;
    if (!written)
        m_error = systemError(QStringLiteral("cannot write ") + QFile::decodeName(fresh));
    ::close(fd);
    if (!written) {
        ::unlink(fresh.constData());
        return false;
    }
    if (::rename(fresh.constData(), path.constData()) != 0) {
        m_error = systemError(QStringLiteral("cannot rename it to ") + m_path);
        ::unlink(fresh.constData());
        return false;
    }
    return syncFolder();
}

bool BucketRecordFile::remove()
{
    const QByteArray path = QFile::encodeName(m_path);
    ::unlink((path + ".new").constData());
    if (::unlink(path.constData()) != 0 && errno != ENOENT) {
        m_error = systemError(QStringLiteral("cannot remove ") + m_path);
        return false;
    }
    return syncFolder();
}

std::optional<QByteArray> BucketRecordFile::read() const
{
    const int fd = ::open(QFile::encodeName(m_path).constData(),
                          O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? std::nullopt : std::optional<QByteArray>(QByteArray());
    QByteArray text(4096, Qt::Uninitialized);
    ssize_t n;
    do {
        n = ::read(fd, text.data(), size_t(text.size()));
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    text.truncate(n > 0 ? n : 0);
    return text;
}

bool BucketRecordFile::syncFolder()
{
    const int fd =
        ::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        m_error = systemError(QStringLiteral("cannot open ") + m_folder);
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    if (!synced)
        m_error = systemError(QStringLiteral("cannot sync ") + m_folder);
    ::close(fd);
    return synced;
}

QString prepareStateFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return systemError(QStringLiteral("cannot create ") + folder);
    struct stat status
    {
    };
    if (::lstat(path.constData(), &status) != 0)
        return systemError(QStringLiteral("cannot read ") + folder);
    if (!S_ISDIR(status.st_mode))
        return folder + QStringLiteral(" is not a folder");
    if (status.st_uid != ::geteuid() && status.st_uid != 0)
        return folder + QStringLiteral(" belongs to another account");
    if (status.st_mode & (S_IWGRP | S_IWOTH))
        return folder + QStringLiteral(" may be written by other accounts");
    return QString();
}

} // namespace platform
