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
#include <utility>
#include <vector>
#include <zlib.h>

namespace {

constexpr qint64 kAsciiChunk = 2048;
constexpr qint64 kCrcBlock = 65521;
constexpr qint64 kCopyBlock = 1 << 16;
constexpr qint64 kMaxCheckSumWords = 500;

// Closes a descriptor that no QFile has taken over yet.
class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

// The routines work on regular files only. A named pipe that nobody writes, or a device,
// would block the open or the reads for ever (or never end), so the open does not wait
// (O_NONBLOCK) and anything else is refused before a byte is read. On success the file
// reads and writes blocking again, as files do. Returns false with a reason.
bool openRegular(QFile &file, const QString &name, int flags, struct stat *info, QString *why)
{
    Descriptor fd(
        ::open(QFile::encodeName(name).constData(), flags | O_NONBLOCK | O_CLOEXEC, 0666));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        *why = qt_error_string(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = QStringLiteral("not a regular file");
        return false;
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    const QIODevice::OpenMode mode =
        (flags & O_ACCMODE) == O_RDONLY ? QIODevice::ReadOnly : QIODevice::WriteOnly;
    if (!file.open(fd.get(), mode, QFileDevice::AutoCloseHandle)) {
        *why = file.errorString();
        return false;
    }
    fd.release();
    if (info)
        *info = st;
    return true;
}

QString describe(const QString &name, const QString &why)
{
    return QStringLiteral("\"%1\": %2").arg(name, why);
}

void openOrThrow(QFile &file, const QString &name, int flags, struct stat *info = nullptr)
{
    QString why;
    if (!openRegular(file, name, flags, info, &why))
        throw FileError(QStringLiteral("Cannot open file ") + describe(name, why));
}

QByteArray readWhole(const QString &name)
{
    QFile file;
    openOrThrow(file, name, O_RDONLY);
    QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw FileError(QStringLiteral("Cannot read file ") + describe(name, file.errorString()));
    return content;
}

// Tab, line feed, carriage return, the Ctrl-Z end-of-file mark and everything from the
// blank upwards (127 and the upper half included) count as text.
constexpr bool isTextByte(unsigned char b)
{
    return b >= 32 || b == 9 || b == 10 || b == 13 || b == 26;
}

// Only * and ? are wildcards; brackets and the rest match themselves. A pattern that ends
// in ".*" also matches a name without an extension, as the original platform's search did:
// "*.*" is every name and "report.*" finds "report" as well as "report.txt".
QRegularExpression wildcardPattern(const QString &pattern)
{
    const bool anyExtension = pattern.endsWith(QStringLiteral(".*"));
    QString rx;
    for (const QChar c : anyExtension ? pattern.chopped(2) : pattern) {
        if (c == u'*')
            rx += QStringLiteral(".*");
        else if (c == u'?')
            rx += u'.';
        else
            rx += QRegularExpression::escape(QString(c));
    }
    if (anyExtension)
        rx += QStringLiteral("(\\..*)?");
    return QRegularExpression(QRegularExpression::anchoredPattern(rx),
                              QRegularExpression::DotMatchesEverythingOption);
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

// The folder of the temporary names: the user's own runtime folder ($XDG_RUNTIME_DIR, made
// by the login for this user alone) where there is one, else a folder "orvanta-<uid>" of
// our own in the shared temporary folder (TMPDIR, else /tmp), made private to us. Either
// is used only when it is a real folder (no link), owned by us and closed to everyone
// else, so that nobody else can put a file or a link under a name handed out here.
// Empty when neither is fit.
QString privateTempFolder()
{
    const auto isPrivate = [](const QByteArray &path) {
        struct stat st;
        return path.startsWith('/') && ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
               st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
    };
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (isPrivate(runtime))
        return QFile::decodeName(runtime);
    const QString own = QDir::tempPath() + QStringLiteral("/orvanta-%1").arg(::geteuid());
    const QByteArray ownPath = QFile::encodeName(own);
    if (::mkdir(ownPath.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    return isPrivate(ownPath) ? own : QString();
}

} // namespace

// The "~XXXX.tmp" file is created as a reservation; a candidate is passed over when the
// name to be returned already exists too.
QString FileRoutines::GetTempFile(const QString &Extension)
{
    const QString folder = privateTempFolder();
    if (folder.isEmpty())
        return QString();
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
    QFile file;
    QString why;
    if (!openRegular(file, NomeFile, O_RDONLY, nullptr, &why))
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
    QFile file;
    openOrThrow(file, FileName, O_RDONLY);
    const qint64 words = file.size() / 4;
    const qint64 half = words / 2;
    if (!file.seek(half * 4))
        throw FileError(QStringLiteral("Cannot seek in file ") +
                        describe(FileName, file.errorString()));
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
    QFile file;
    QString why;
    if (!openRegular(file, FileName, O_RDONLY, nullptr, &why))
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
// write to it while it is copied. What the exclusive open guaranteed, that a file is never
// copied onto itself, is checked instead: the target is opened without emptying it, and
// when it is the source (the same name, a hard link, a symbolic link or a bind mount of
// it: the same device and inode) the copy stops before a byte of it has changed.
void FileRoutines::libFileCopy(const QString &sfile, const QString &tfile)
{
    QFile source;
    struct stat from;
    openOrThrow(source, sfile, O_RDONLY, &from);
    QFile target;
    struct stat to;
    openOrThrow(target, tfile, O_WRONLY | O_CREAT, &to);
    if (from.st_dev == to.st_dev && from.st_ino == to.st_ino)
        throw FileError(
            QStringLiteral("Cannot copy file \"%1\" onto itself (\"%2\")").arg(sfile, tfile));
    if (!target.resize(0))
        throw FileError(QStringLiteral("Cannot write file ") +
                        describe(tfile, target.errorString()));
    std::vector<char> block(kCopyBlock);
    for (;;) {
        const qint64 got = source.read(block.data(), kCopyBlock);
        if (got < 0)
            throw FileError(QStringLiteral("Cannot read file ") +
                            describe(sfile, source.errorString()));
        if (got == 0)
            break;
        if (target.write(block.data(), got) != got)
            throw FileError(QStringLiteral("Cannot write file ") +
                            describe(tfile, target.errorString()));
    }
    if (!target.flush())
        throw FileError(QStringLiteral("Cannot write file ") +
                        describe(tfile, target.errorString()));
}

// Paths end in "/" here; an empty name stands for the current folder. A name from CheckBS
// ends in the original platform's separator, a backslash, which stands for "/" unless a
// folder of exactly that name exists. Names that begin with a dot are counted but never
// entered.
qint64 FileRoutines::GetDirSize(const QString &dir, bool subdir)
{
    QString base = dir.isEmpty() ? QStringLiteral("./") : dir;
    if (base.endsWith(u'\\') && !QFileInfo(base).isDir())
        base.chop(1);
    if (!base.endsWith(u'/'))
        base += u'/';
    return dirSize(QFile::encodeName(base), subdir);
}
