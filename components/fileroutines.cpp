#include "components/fileroutines.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtEndian>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

constexpr qint64 kAsciiChunk = 2048;
constexpr qint64 kCrcBlock = 65521;
constexpr qint64 kCopyBlock = 1 << 16;
constexpr qint64 kMaxCheckSumWords = 500;

QString describe(const QFile &file)
{
    return QStringLiteral("\"%1\": %2").arg(file.fileName(), file.errorString());
}

void openOrThrow(QFile &file, QIODevice::OpenMode mode)
{
    if (!file.open(mode))
        throw FileError(QStringLiteral("Cannot open file ") + describe(file));
}

QByteArray readWhole(const QString &name)
{
    QFile file(name);
    openOrThrow(file, QIODevice::ReadOnly);
    QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw FileError(QStringLiteral("Cannot read file ") + describe(file));
    return content;
}

// Tab, line feed, carriage return, the Ctrl-Z end-of-file mark and everything from the
// blank upwards (127 and the upper half included) count as text.
constexpr bool isTextByte(unsigned char b)
{
    return b >= 32 || b == 9 || b == 10 || b == 13 || b == 26;
}

// Only * and ? are wildcards; brackets and the rest match themselves.
QRegularExpression wildcardPattern(const QString &pattern)
{
    QString rx;
    for (const QChar c : pattern) {
        if (c == u'*')
            rx += QStringLiteral(".*");
        else if (c == u'?')
            rx += u'.';
        else
            rx += QRegularExpression::escape(QString(c));
    }
    return QRegularExpression(QRegularExpression::anchoredPattern(rx));
}

QFileInfo firstMatch(const QString &sFileName)
{
    const QFileInfo pattern(sFileName);
    const QString name = pattern.fileName();
    if (!name.contains(u'*') && !name.contains(u'?'))
        return pattern.exists() ? pattern : QFileInfo();
    const QRegularExpression rx = wildcardPattern(name);
    const QFileInfoList entries = pattern.dir().entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (rx.match(entry.fileName()).hasMatch())
            return entry;
    }
    return QFileInfo();
}

// The access time as a DOS date and time: two-second steps, years 1980 to 2107.
TDateTime dosRounded(const QDateTime &local)
{
    const int year = local.date().year();
    if (year < 1980 || year > 2107)
        throw ConversionError(QStringLiteral("Invalid argument to date encode"));
    const QTime t = local.time();
    const QDateTime rounded(local.date(), QTime(t.hour(), t.minute(), t.second() & ~1));
    return toTDateTime(rounded);
}

qint64 dirSize(const QByteArray &dir, bool subdir)
{
    std::unique_ptr<DIR, int (*)(DIR *)> handle(opendir(dir.constData()), closedir);
    if (!handle)
        return 0;
    const int fd = dirfd(handle.get());
    qint64 sum = 0;
    while (const dirent *entry = readdir(handle.get())) {
        struct stat st;
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        // A directory's own size counts 0, as do links, devices and pipes: only file
        // content adds up, and a link is never followed (no loops, no double counting).
        if (S_ISREG(st.st_mode))
            sum += st.st_size;
        else if (S_ISDIR(st.st_mode) && subdir && entry->d_name[0] != '.')
            sum += dirSize(dir + entry->d_name + '/', true);
    }
    return sum;
}

} // namespace

// The temporary folder is Qt's (TMPDIR, else /tmp). The "~XXXX.tmp" file is created as a
// reservation; a candidate is passed over when the name to be returned already exists too.
QString FileRoutines::GetTempFile(const QString &Extension)
{
    const QString folder = QDir::tempPath();
    quint32 unique = QRandomGenerator::global()->bounded(0x10000u);
    for (int tries = 0; tries < 0x10000; ++tries, unique = (unique + 1) & 0xFFFF) {
        if (unique == 0)
            continue;
        const QString stem = folder + QStringLiteral("/~") + QString::number(unique, 16).toUpper();
        if (QFileInfo::exists(stem + Extension))
            continue;
        const QByteArray path = QFile::encodeName(stem + QStringLiteral(".tmp"));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return stem + Extension;
        }
        if (errno != EEXIST)
            break;
    }
    return QString();
}

// Wildcards are * and ?; entries are tried in name order, hidden ones included.
TDateTime FileRoutines::GetFileLastAccessTime(const QString &sFileName)
{
    const QFileInfo match = firstMatch(sFileName);
    if (!match.exists())
        return toTDateTime(QDateTime::currentDateTime());
    return dosRounded(match.lastRead().toLocalTime());
}

// Always opened read-only: a read-only text file is text whatever ran before.
bool FileRoutines::FileIsAscii(const QString &NomeFile)
{
    if (!QFileInfo(NomeFile).isFile())
        return false;
    QFile file(NomeFile);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    char chunk[kAsciiChunk];
    for (;;) {
        const qint64 got = file.read(chunk, kAsciiChunk);
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        bool text = true;
        for (qint64 i = 0; i < got; ++i)
            text &= isTextByte(static_cast<unsigned char>(chunk[i]));
        if (!text)
            return false;
    }
}

bool FileRoutines::Are2FilesEqual(const QString &fileName1, const QString &fileName2)
{
    const QByteArray first = readWhole(fileName1);
    const QByteArray second = readWhole(fileName2);
    return first.size() == second.size() && first == second;
}

// Sums up to 500 little-endian words from the middle of the file. A file shorter than
// one word asks for 500 words and so fails with a read beyond the end.
quint32 FileRoutines::GetCheckSum(const QString &FileName)
{
    QFile file(FileName);
    openOrThrow(file, QIODevice::ReadOnly);
    const qint64 words = file.size() / 4;
    const qint64 half = words / 2;
    if (!file.seek(half * 4))
        throw FileError(QStringLiteral("Cannot seek in file ") + describe(file));
    qint64 count = words - 1 - half;
    if (count < 0 || count > kMaxCheckSumWords)
        count = kMaxCheckSumWords;
    const QByteArray data = file.read(count * 4);
    if (data.size() != count * 4)
        throw FileError(QStringLiteral("Read beyond end of file \"%1\"").arg(FileName));
    quint32 sum = 0;
    for (qint64 i = 0; i < count; ++i)
        sum += qFromLittleEndian<quint32>(data.constData() + i * 4);
    return sum;
}

// A read that fails half way gives 0, the same as a file that cannot be opened: a partial
// checksum would pass for a valid one.
quint32 FileRoutines::CalcCRC32(const QString &FileName)
{
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    std::vector<unsigned char> block(kCrcBlock);
    uLong crc = crc32(0L, Z_NULL, 0);
    for (;;) {
        const qint64 got = file.read(reinterpret_cast<char *>(block.data()), kCrcBlock);
        if (got < 0)
            return 0;
        if (got == 0)
            break;
        crc = crc32(crc, block.data(), uInt(got));
    }
    return quint32(crc);
}

// Linux has no share-deny open: the source is opened read-only and others may still
// write to it while it is copied.
void FileRoutines::libFileCopy(const QString &sfile, const QString &tfile)
{
    QFile source(sfile);
    openOrThrow(source, QIODevice::ReadOnly);
    QFile target(tfile);
    openOrThrow(target, QIODevice::WriteOnly | QIODevice::Truncate);
    std::vector<char> block(kCopyBlock);
    for (;;) {
        const qint64 got = source.read(block.data(), kCopyBlock);
        if (got < 0)
            throw FileError(QStringLiteral("Cannot read file ") + describe(source));
        if (got == 0)
            break;
        if (target.write(block.data(), got) != got)
            throw FileError(QStringLiteral("Cannot write file ") + describe(target));
    }
    if (!target.flush())
        throw FileError(QStringLiteral("Cannot write file ") + describe(target));
}

// Paths end in "/" here; an empty name stands for the current folder. Names that begin
// with a dot are counted but never entered.
qint64 FileRoutines::GetDirSize(const QString &dir, bool subdir)
{
    QString base = dir.isEmpty() ? QStringLiteral("./") : dir;
    if (!base.endsWith(u'/'))
        base += u'/';
    return dirSize(QFile::encodeName(base), subdir);
}
