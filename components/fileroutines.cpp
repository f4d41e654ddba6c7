#include "components/fileroutines.h"

#include "components/filemapping.h"
#include "components/filereplacement.h"
#include "components/regularfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtEndian>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>
#include <zlib.h>

namespace {

constexpr qint64 kAsciiChunk = 2048;
constexpr qint64 kCrcBlock = 65521;
constexpr qint64 kCopyBlock = 1 << 16;
constexpr qint64 kCompareBlock = 1 << 16;
constexpr qint64 kMaxCheckSumWords = 500;
// Below this a file is summed by read(): mapping it would cost more than copying it.
constexpr qint64 kMapAtLeast = 1 << 18;

// A descriptor of our own, closed when it goes.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    Descriptor(Descriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

QString describe(const QString &name, const QString &why)
{
    return QStringLiteral("\"%1\": %2").arg(name, why);
}

RegularFile openOrThrow(const QString &name)
{
    QString why;
    RegularFile file = RegularFile::openForReading(name, &why);
    if (!file.isOpen())
        throw FileError(QStringLiteral("Cannot open file ") + describe(name, why));
    return file;
}

// Tab, line feed, carriage return, the Ctrl-Z end-of-file mark and everything from the
// blank upwards (127 and the upper half included) count as text.
constexpr bool isTextByte(unsigned char b)
{
    return b >= 32 || b == 9 || b == 10 || b == 13 || b == 26;
}

// Names are bytes on Linux, and not every name is valid UTF-8 (a Latin-1 name from an
// older system, say): matching works on the bytes, so such a name is found and read like
// any other. A character is a whole UTF-8 sequence, or a single byte that is not part of
// one, so "?" stands for one letter whatever the name's encoding.
qsizetype characterLength(const QByteArray &name, qsizetype at)
{
    const auto lead = static_cast<unsigned char>(name[at]);
    const qsizetype length = lead < 0xC2   ? 1
                             : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3
                             : lead < 0xF5 ? 4
                                           : 1;
    if (at + length > name.size())
        return 1;
    for (qsizetype i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(name[at + i]) & 0xC0) != 0x80)
            return 1;
    }
    return length;
}

// Only * (any run of characters) and ? (one character) are wildcards; brackets and the rest
// match themselves.
bool wildcardMatch(const QByteArray &pattern, const QByteArray &name)
{
    qsizetype p = 0, n = 0;
    qsizetype starP = -1, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '?') {
            n += characterLength(name, n);
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (starP >= 0) {
            // The last star takes one more character and the rest is tried again.
            starN += characterLength(name, starN);
            n = starN;
            p = starP + 1;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// A pattern that ends in ".*" also matches a name without an extension, as the original
// platform's search did: "*.*" is every name and "report.*" finds "report" as well as
// "report.txt".
bool nameMatches(const QByteArray &pattern, const QByteArray &name)
{
    return wildcardMatch(pattern, name) ||
           (pattern.endsWith(".*") && wildcardMatch(pattern.chopped(2), name));
}

// The first entry in byte order of the names that matches, hidden ones included; false when
// none matches or the one found cannot be looked at.
bool firstMatch(const QString &sFileName, struct stat *found)
{
    const QByteArray path = QFile::encodeName(sFileName);
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray pattern = path.mid(slash + 1);
    if (!pattern.contains('*') && !pattern.contains('?'))
        return !path.isEmpty() && ::stat(path.constData(), found) == 0;
    const QByteArray folder = slash < 0    ? QByteArray(".")
                              : slash == 0 ? QByteArray("/")
                                           : path.left(slash);
    std::unique_ptr<DIR, int (*)(DIR *)> handle(opendir(folder.constData()), closedir);
    if (!handle)
        return false;
    QByteArray first;
    bool any = false;
    while (const dirent *entry = readdir(handle.get())) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        if (nameMatches(pattern, name) && (!any || name < first)) {
            first = name;
            any = true;
        }
    }
    return any && ::fstatat(dirfd(handle.get()), first.constData(), found, 0) == 0;
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

// The folder itself (not a link to one), owned by us and closed to everyone else, judged on
// the descriptor that is then used, so that nothing can be swapped in after the check.
Descriptor openPrivateFolder(const QByteArray &path)
{
    if (!path.startsWith('/'))
        return Descriptor();
    Descriptor fd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)
        return Descriptor();
    return fd;
}

struct TempFolder
{
    QString path;
    Descriptor fd;
};

// The folder that a fallback made with mkdtemp: kept for the life of the process, so that
// the names handed out gather in one folder rather than one folder each.
std::mutex g_fallbackLock;
QString g_fallback;

// The folder of the temporary names: the user's own runtime folder ($XDG_RUNTIME_DIR, made
// by the login for this user alone) where there is one, else a folder "orvanta-<uid>" of
// our own in the shared temporary folder (TMPDIR, else /tmp), made private to us. Another
// account can make that name first (or a link, or a folder open to all); then a folder
// with a name nobody can guess ("orvanta-<uid>-XXXXXX", made by mkdtemp) takes its place.
// Nothing outside a folder closed to others is ever handed out; an empty path when not
// even a fallback can be made.
TempFolder privateTempFolder()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (Descriptor fd = openPrivateFolder(runtime); fd.get() >= 0)
        return {QFile::decodeName(runtime), std::move(fd)};
    const QString own = QDir::tempPath() + QStringLiteral("/orvanta-%1").arg(::geteuid());
    const QByteArray ownPath = QFile::encodeName(own);
    ::mkdir(ownPath.constData(), 0700);
    if (Descriptor fd = openPrivateFolder(ownPath); fd.get() >= 0)
        return {own, std::move(fd)};

    const std::lock_guard<std::mutex> lock(g_fallbackLock);
    if (g_fallback.startsWith(own + u'-')) {
        if (Descriptor fd = openPrivateFolder(QFile::encodeName(g_fallback)); fd.get() >= 0)
            return {g_fallback, std::move(fd)};
    }
    QByteArray pattern = ownPath + "-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        return TempFolder();
    Descriptor fd = openPrivateFolder(pattern);
    if (fd.get() < 0)
        return TempFolder();
    g_fallback = QFile::decodeName(pattern);
    return {g_fallback, std::move(fd)};
}

// Both files a block at a time, so that no file needs room in memory.
bool sameContent(RegularFile &first, RegularFile &second, const QString &name1,
                 const QString &name2)
{
    std::vector<char> a, b;
    try {
        a.resize(kCompareBlock);
        b.resize(kCompareBlock);
    } catch (const std::bad_alloc &) {
        throw FileError(
            QStringLiteral("Out of memory comparing \"%1\" and \"%2\"").arg(name1, name2));
    }
    for (;;) {
        const qint64 gotA = first.read(a.data(), kCompareBlock);
        if (gotA < 0)
            throw FileError(QStringLiteral("Cannot read file ") +
                            describe(name1, qt_error_string(errno)));
        const qint64 gotB = second.read(b.data(), kCompareBlock);
        if (gotB < 0)
            throw FileError(QStringLiteral("Cannot read file ") +
                            describe(name2, qt_error_string(errno)));
        if (gotA != gotB || std::memcmp(a.data(), b.data(), size_t(gotA)) != 0)
            return false;
        if (gotA == 0)
            return true;
    }
}

} // namespace

// The "~XXXX.tmp" file is created as a reservation; a candidate is passed over when the
// name to be returned already exists too (as anything, a link included).
QString FileRoutines::GetTempFile(const QString &Extension)
{
    const TempFolder folder = privateTempFolder();
    if (folder.fd.get() < 0)
        return QString();
    quint32 unique = QRandomGenerator::global()->bounded(0x10000u);
    for (int tries = 0; tries < 0x10000; ++tries, unique = (unique + 1) & 0xFFFF) {
        if (unique == 0)
            continue;
        const QString stem = QStringLiteral("~") + QString::number(unique, 16).toUpper();
        struct stat st;
        if (::fstatat(folder.fd.get(), QFile::encodeName(stem + Extension).constData(), &st,
                      AT_SYMLINK_NOFOLLOW) == 0)
            continue;
        const QByteArray reservation = QFile::encodeName(stem + QStringLiteral(".tmp"));
        const int fd =
            ::openat(folder.fd.get(), reservation.constData(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return folder.path + u'/' + stem + Extension;
        }
        if (errno != EEXIST)
            break;
    }
    return QString();
}

// Wildcards are * and ?; entries are tried in byte order of their names, hidden ones
// included. A link is followed to what it names.
TDateTime FileRoutines::GetFileLastAccessTime(const QString &sFileName)
{
    struct stat found;
    if (!firstMatch(sFileName, &found))
        return toTDateTime(QDateTime::currentDateTime());
    return dosRounded(QDateTime::fromSecsSinceEpoch(found.st_atim.tv_sec).toLocalTime());
}

// Always opened read-only: a read-only text file is text whatever ran before.
bool FileRoutines::FileIsAscii(const QString &NomeFile)
{
    QString why;
    RegularFile file = RegularFile::openForReading(NomeFile, &why);
    if (!file.isOpen())
        return false;
    unsigned char chunk[kAsciiChunk];
    for (;;) {
        const qint64 got = file.read(chunk, kAsciiChunk);
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        bool text = true;
        for (qint64 i = 0; i < got; ++i)
            text &= isTextByte(chunk[i]);
        if (!text)
            return false;
    }
}

// Sizes first: files of different sizes are unequal without a byte read.
bool FileRoutines::Are2FilesEqual(const QString &fileName1, const QString &fileName2)
{
    RegularFile first = openOrThrow(fileName1);
    RegularFile second = openOrThrow(fileName2);
    if (first.info().st_size != second.info().st_size)
        return false;
    return sameContent(first, second, fileName1, fileName2);
}

// Sums up to 500 little-endian words from the middle of the file. A file shorter than
// one word asks for 500 words and so fails with a read beyond the end.
quint32 FileRoutines::GetCheckSum(const QString &FileName)
{
    RegularFile file = openOrThrow(FileName);
    const qint64 words = file.info().st_size / 4;
    const qint64 half = words / 2;
    qint64 count = words - 1 - half;
    if (count < 0 || count > kMaxCheckSumWords)
        count = kMaxCheckSumWords;
    unsigned char data[kMaxCheckSumWords * 4];
    const qint64 got = file.readAt(half * 4, data, count * 4);
    if (got < 0)
        throw FileError(QStringLiteral("Cannot read file ") +
                        describe(FileName, qt_error_string(errno)));
    if (got != count * 4)
        throw FileError(QStringLiteral("Read beyond end of file \"%1\"").arg(FileName));
    quint32 sum = 0;
    for (qint64 i = 0; i < count; ++i)
        sum += qFromLittleEndian<quint32>(data + i * 4);
    return sum;
}

// A regular file is summed through a mapping (no copy out of the page cache), the rest of
// it, or all of a file that cannot be mapped, by read(). A read that fails half way gives
// 0, the same as a file that cannot be opened: a partial checksum would pass for a valid
// one. So does a file that shrinks while it is summed: its pages are gone, or were read
// as zeros.
quint32 FileRoutines::CalcCRC32(const QString &FileName)
{
    QString why;
    RegularFile file = RegularFile::openForReading(FileName, &why);
    if (!file.isOpen())
        return 0;
    quint32 crc = quint32(crc32(0L, Z_NULL, 0));
    qint64 offset = 0;
    const qint64 size = file.info().st_size;
    if (size >= kMapAtLeast) {
        const FileMapping mapping(file.descriptor(), size);
        if (mapping.isMapped()) {
            struct stat now;
            if (!mapping.crc32(&crc) || ::fstat(file.descriptor(), &now) != 0 || now.st_size < size)
                return 0;
            offset = size;
        }
    }
    std::vector<unsigned char> block(kCrcBlock);
    for (;;) {
        const qint64 got = file.readAt(offset, block.data(), kCrcBlock);
        if (got < 0)
            return 0;
        if (got == 0)
            break;
        crc = quint32(crc32(crc, block.data(), uInt(got)));
        offset += got;
    }
    return crc;
}

// The new content goes into a temporary file beside the target, which takes the target's
// place only when all of it is written and synced: a copy that fails, for whatever reason
// and at whatever point, leaves the old target whole. Linux has no share-deny open: the
// source is opened read-only and others may still write to it while it is copied. What
// the exclusive open guaranteed, that a file is never copied onto itself, is checked
// instead: when the target is the source (the same name, a hard link, a symbolic link or
// a bind mount of it: the same device and inode) the copy stops before anything is made.
void FileRoutines::libFileCopy(const QString &sfile, const QString &tfile)
{
    RegularFile source = openOrThrow(sfile);
    QString why;
    FileReplacement target = FileReplacement::prepare(tfile, &why);
    if (!target.isPrepared())
        throw FileError(QStringLiteral("Cannot write file ") + describe(tfile, why));
    if (target.replacesAFile() && target.oldFile().st_dev == source.info().st_dev &&
        target.oldFile().st_ino == source.info().st_ino)
        throw FileError(
            QStringLiteral("Cannot copy file \"%1\" onto itself (\"%2\")").arg(sfile, tfile));
    if (!target.create(&why))
        throw FileError(QStringLiteral("Cannot write file ") + describe(tfile, why));
    std::vector<char> block(kCopyBlock);
    for (;;) {
        const qint64 got = source.read(block.data(), kCopyBlock);
        if (got < 0)
            throw FileError(QStringLiteral("Cannot read file ") +
                            describe(sfile, qt_error_string(errno)));
        if (got == 0)
            break;
        if (!target.write(block.data(), got, &why))
            throw FileError(QStringLiteral("Cannot write file ") + describe(tfile, why));
    }
    if (!target.commit(&why))
        throw FileError(QStringLiteral("Cannot write file ") + describe(tfile, why));
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
