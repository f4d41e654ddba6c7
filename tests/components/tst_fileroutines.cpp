#include "components/fileroutines.h"

#include "childrun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Creates (or replaces) a file with the given bytes and returns its path.
QString writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// Little-endian words 0, 1, 2, ... cut to the given length.
QByteArray countingWords(int bytes)
{
    QByteArray data((bytes + 3) / 4 * 4, '\0');
    for (int i = 0; i < data.size() / 4; ++i)
        qToLittleEndian<quint32>(quint32(i), data.data() + i * 4);
    data.truncate(bytes);
    return data;
}

// A bit-by-bit CRC-32 (reflected 0xEDB88320), independent of the table and of zlib.
quint32 bitwiseCrc(const QByteArray &data)
{
    quint32 reg = 0xFFFFFFFFu;
    for (const char c : data) {
        reg ^= static_cast<unsigned char>(c);
        for (int k = 0; k < 8; ++k)
            reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return ~reg;
}

void setAccessTime(const QString &path, const QDateTime &when)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) || !file.setFileTime(when, QFileDevice::FileAccessTime))
        qFatal("cannot set the access time of %s", qPrintable(path));
}

// Runs a call on a named pipe that nobody writes and tells whether it blocked. A call that
// is still inside after two seconds is released by a writer that opens and closes the
// pipe (so that a blocking implementation fails the test rather than hanging it).
template <typename Call> bool blocksOnPipe(const QString &fifo, Call call)
{
    std::atomic<bool> done{false};
    std::atomic<bool> blocked{false};
    std::thread watchdog([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!done && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        while (!done) {
            blocked = true;
            const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    call();
    done = true;
    watchdog.join();
    return blocked;
}

QString makeFifo(const QString &path)
{
    if (::mkfifo(QFile::encodeName(path).constData(), 0600) != 0)
        qFatal("cannot make the named pipe %s", qPrintable(path));
    return path;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class FileRoutinesTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp;
    QString path(const QString &name) const { return tmp.filePath(name); }

private slots:
    void fileIsAscii_data();
    void fileIsAscii();
    void fileIsAsciiOpensReadOnly();
    void fileIsAsciiWithoutAFile();
    void checkSum_data();
    void checkSum();
    void checkSumOfTooShortFileRaises_data();
    void checkSumOfTooShortFileRaises();
    void crc32_data();
    void crc32();
    void crc32WithoutAFile();
    void filesEqual_data();
    void filesEqual();
    void filesEqualRaisesForMissingFile();
    void fileCopy();
    void fileCopyFailures();
    void fileCopyOntoItself_data();
    void fileCopyOntoItself();
    void namedPipesDoNotBlock();
    void dirSize();
    void dirSizeBeyondTwoGiB();
    void tempFile();
    void tempFileInAPrivateFolder();
    void lastAccessTime_data();
    void lastAccessTime();
    void lastAccessTimeOutsideDosRange_data();
    void lastAccessTimeOutsideDosRange();
    void lastAccessTimeWildcardsAndNoMatch();
};

void FileRoutinesTest::fileIsAscii_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("text");
    QByteArray upper;
    for (int b = 127; b <= 255; ++b)
        upper.append(char(b));
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("tab lf cr ctrl-z") << QByteArray("a\tb\nc\r\x1a") << true;
    QTest::newRow("127 to 255") << upper << true;
    QTest::newRow("nul") << QByteArray("ab\0cd", 5) << false;
    QTest::newRow("form feed") << QByteArray("page\x0cnext") << false;
    QTest::newRow("escape") << QByteArray("\x1b[0m") << false;
    QTest::newRow("backspace") << QByteArray("x\x08") << false;
    QTest::newRow("vertical tab") << QByteArray("x\x0b") << false;
    QTest::newRow("unit separator") << QByteArray("x\x1f") << false;
    QTest::newRow("bad byte in a later chunk") << QByteArray(5000, 'a') + '\x01' << false;
    QTest::newRow("text across chunks") << QByteArray(4096 + 7, 'z') << true;
}

void FileRoutinesTest::fileIsAscii()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, text);
    QCOMPARE(FileRoutines::FileIsAscii(writeFile(path("ascii.dat"), bytes)), text);
}

// A file that may be read but not written is still judged by its content. Root may write
// to any file whatever its permission bits, so the read-only file is judged by the user
// nobody; /proc files such as this sysctl refuse writing even to root.
void FileRoutinesTest::fileIsAsciiOpensReadOnly()
{
    if (childrun::isChild()) {
        const QString readOnly = qEnvironmentVariable("ORVANTA_TEST_FILE");
        QFile probe(readOnly);
        QVERIFY2(!probe.open(QIODevice::ReadWrite), "the file must refuse writing");
        QVERIFY(probe.open(QIODevice::ReadOnly));
        QVERIFY(FileRoutines::FileIsAscii(readOnly));
        return;
    }
    QFile proc(QStringLiteral("/proc/sys/kernel/osrelease"));
    if (proc.exists()) {
        QVERIFY(!proc.open(QIODevice::ReadWrite));
        QVERIFY(FileRoutines::FileIsAscii(proc.fileName()));
    }
    if (!childrun::isRoot())
        QSKIP("the read-only file is judged by the user nobody, which needs root to switch to");
    const QString readOnly = writeFile(path("readonly.txt"), "plain text\n");
    QVERIFY(QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                                QFileDevice::ReadOther));
    QVERIFY(QFile::setPermissions(tmp.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner | QFileDevice::ExeOther |
                                                  QFileDevice::ReadOther));
    const childrun::Outcome child =
        childrun::rerun(QStringLiteral("fileIsAsciiOpensReadOnly"), childrun::asNobody(),
                        {QStringLiteral("ORVANTA_TEST_FILE=") + readOnly});
    QVERIFY2(child.passed(), qPrintable(child.output));
}

void FileRoutinesTest::fileIsAsciiWithoutAFile()
{
    QVERIFY(!FileRoutines::FileIsAscii(path("missing.txt")));
    QVERIFY(!FileRoutines::FileIsAscii(tmp.path()));
}

void FileRoutinesTest::checkSum_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<quint32>("expected");
    for (int size = 4; size <= 11; ++size)
        QTest::addRow("%d bytes", size) << size << 0u;
    QTest::newRow("12 bytes: word 1") << 12 << 1u;
    // 1000 words: the 499 from word 500 (byte 2000) on, the last word left out.
    QTest::newRow("4000 bytes") << 4000 << quint32((500 + 998) * 499 / 2);
    QTest::newRow("4003 bytes: tail ignored") << 4003 << quint32((500 + 998) * 499 / 2);
    // 25000 words: 500 from the middle, cut off at 500.
    QTest::newRow("100000 bytes") << 100000 << quint32((12500 + 12999) * 500 / 2);
}

void FileRoutinesTest::checkSum()
{
    QFETCH(int, size);
    QFETCH(quint32, expected);
    QCOMPARE(FileRoutines::GetCheckSum(writeFile(path("sum.dat"), countingWords(size))), expected);
}

void FileRoutinesTest::checkSumOfTooShortFileRaises_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("1 byte") << 1;
    QTest::newRow("3 bytes") << 3;
}

void FileRoutinesTest::checkSumOfTooShortFileRaises()
{
    QFETCH(int, size);
    const QString file = writeFile(path("short.dat"), QByteArray(size, 'x'));
    QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::GetCheckSum(file));
    QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::GetCheckSum(path("missing.dat")));
}

void FileRoutinesTest::crc32_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<quint32>("expected");
    QByteArray mixed(65521 * 2 + 5, '\0');
    for (int i = 0; i < mixed.size(); ++i)
        mixed[i] = char((i * 131) ^ (i >> 7));
    QTest::newRow("check value") << QByteArray("123456789") << 0xCBF43926u;
    QTest::newRow("empty") << QByteArray() << 0u;
    QTest::newRow("across blocks") << mixed << bitwiseCrc(mixed);
}

void FileRoutinesTest::crc32()
{
    QFETCH(QByteArray, bytes);
    QFETCH(quint32, expected);
    QCOMPARE(FileRoutines::CalcCRC32(writeFile(path("crc.dat"), bytes)), expected);
}

void FileRoutinesTest::crc32WithoutAFile()
{
    QCOMPARE(FileRoutines::CalcCRC32(path("missing.dat")), 0u);
    QCOMPARE(FileRoutines::CalcCRC32(tmp.path()), 0u);
}

void FileRoutinesTest::filesEqual_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<bool>("equal");
    QTest::newRow("same bytes") << QByteArray("range") << QByteArray("range") << true;
    QTest::newRow("both empty") << QByteArray() << QByteArray() << true;
    QTest::newRow("one byte differs") << QByteArray("range") << QByteArray("rangE") << false;
    QTest::newRow("only size differs") << QByteArray("range") << QByteArray("range!") << false;
    QTest::newRow("empty and not") << QByteArray() << QByteArray("x") << false;
}

void FileRoutinesTest::filesEqual()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(bool, equal);
    const QString a = writeFile(path("a.dat"), first);
    const QString b = writeFile(path("b.dat"), second);
    QCOMPARE(FileRoutines::Are2FilesEqual(a, b), equal);
    QVERIFY(FileRoutines::Are2FilesEqual(a, a));
}

void FileRoutinesTest::filesEqualRaisesForMissingFile()
{
    const QString a = writeFile(path("a.dat"), "x");
    QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::Are2FilesEqual(a, path("missing")));
    QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::Are2FilesEqual(path("missing"), a));
}

void FileRoutinesTest::fileCopy()
{
    QByteArray content(200000, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7);
    const QString source = writeFile(path("source.bin"), content);
    const QDateTime old(QDate(2001, 2, 3), QTime(4, 5, 6));
    {
        QFile file(source);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(old, QFileDevice::FileModificationTime));
    }
    // An existing, longer target is replaced: it keeps its permission bits, a hard link to
    // it keeps the old content (the old copy emptied and rewrote the file itself, so the
    // link changed too) and nothing else is left in the folder.
    QTemporaryDir folder;
    const QByteArray oldContent(300000, 'x');
    const QString target = writeFile(folder.filePath("target.bin"), oldContent);
    QCOMPARE(::chmod(QFile::encodeName(target).constData(), 0640), 0);
    const QString linked = folder.filePath("linked.bin");
    QCOMPARE(::link(QFile::encodeName(target).constData(), QFile::encodeName(linked).constData()),
             0);
    FileRoutines::libFileCopy(source, target);
    QVERIFY(FileRoutines::Are2FilesEqual(source, target));
    QVERIFY(QFileInfo(target).lastModified() > old.addYears(10));
    QCOMPARE(readAll(linked), oldContent);
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(target).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, 0640u);
    QCOMPARE(QDir(folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"linked.bin", "target.bin"}));

    // A new target gets 0666 less the umask.
    const mode_t mask = ::umask(027);
    FileRoutines::libFileCopy(source, folder.filePath("new.bin"));
    ::umask(mask);
    QCOMPARE(::stat(QFile::encodeName(folder.filePath("new.bin")).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, 0640u);

    // A symbolic link as target: the file it leads to is replaced, the link stays.
    const QString link = folder.filePath("link.bin");
    QVERIFY(QFile::link(linked, link));
    FileRoutines::libFileCopy(source, link);
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(readAll(linked), content);
}

void FileRoutinesTest::fileCopyFailures()
{
    QVERIFY_THROWS_EXCEPTION(FileError,
                             FileRoutines::libFileCopy(path("missing"), path("never.bin")));
    QVERIFY(!QFileInfo::exists(path("never.bin")));
    const QString source = writeFile(path("source.bin"), "abc");
    QVERIFY_THROWS_EXCEPTION(FileError,
                             FileRoutines::libFileCopy(source, path("no/such/folder/t.bin")));
    // A target that is a folder, or a link that leads nowhere, is refused.
    QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::libFileCopy(source, tmp.path()));
    QVERIFY(QFile::link(path("nowhere"), path("dangling.bin")));
    QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::libFileCopy(source, path("dangling.bin")));
    QVERIFY(!QFileInfo::exists(path("nowhere")));
}

void FileRoutinesTest::fileCopyOntoItself_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("the same name") << "source.txt";
    QTest::newRow("another spelling") << "./sub/../source.txt";
    QTest::newRow("a hard link") << "hard.txt";
    QTest::newRow("a symbolic link") << "soft.txt";
}

// The copy never empties its own source, whatever name the target goes by.
void FileRoutinesTest::fileCopyOntoItself()
{
    QFETCH(QString, target);
    QTemporaryDir folder;
    const QByteArray content(100000, 'k');
    const QString source = writeFile(folder.filePath("source.txt"), content);
    QVERIFY(QDir().mkpath(folder.filePath("sub")));
    QCOMPARE(::link(QFile::encodeName(source).constData(),
                    QFile::encodeName(folder.filePath("hard.txt")).constData()),
             0);
    QVERIFY(QFile::link(source, folder.filePath("soft.txt")));
    QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::libFileCopy(source, folder.filePath(target)));
    QCOMPARE(readAll(source), content);
    // The other way round too: the link as source, the file as target.
    QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::libFileCopy(folder.filePath(target), source));
    QCOMPARE(readAll(source), content);
}

// A named pipe that nobody writes is refused at once, each routine within its own results;
// so is a device, which would never end.
void FileRoutinesTest::namedPipesDoNotBlock()
{
    const QString fifo = makeFifo(path("pipe"));
    const QString file = writeFile(path("plain.txt"), "plain");
    QVERIFY(!blocksOnPipe(fifo, [&] { QCOMPARE(FileRoutines::CalcCRC32(fifo), 0u); }));
    QVERIFY(!blocksOnPipe(
        fifo, [&] { QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::GetCheckSum(fifo)); }));
    QVERIFY(!blocksOnPipe(fifo, [&] {
        QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::Are2FilesEqual(file, fifo));
    }));
    QVERIFY(!blocksOnPipe(fifo, [&] {
        QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::libFileCopy(fifo, path("copy.txt")));
    }));
    QVERIFY(!QFileInfo::exists(path("copy.txt")));
    QVERIFY(!blocksOnPipe(
        fifo, [&] { QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::libFileCopy(file, fifo)); }));
    QVERIFY(!blocksOnPipe(fifo, [&] { QVERIFY(!FileRoutines::FileIsAscii(fifo)); }));
    QCOMPARE(readAll(file), QByteArray("plain"));

    QCOMPARE(FileRoutines::CalcCRC32(QStringLiteral("/dev/zero")), 0u);
    QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::GetCheckSum(QStringLiteral("/dev/zero")));
    QVERIFY_THROWS_EXCEPTION(FileError,
                             FileRoutines::Are2FilesEqual(file, QStringLiteral("/dev/zero")));
}

void FileRoutinesTest::dirSize()
{
    const QString root = path("tree");
    writeFile(root + "/a.txt", QByteArray(10, 'a'));
    writeFile(root + "/.hidden", QByteArray(20, 'h'));
    writeFile(root + "/sub/b.bin", QByteArray(300, 'b'));
    writeFile(root + "/sub/.inner", QByteArray(4, 'i'));
    writeFile(root + "/sub/deeper/d", QByteArray(6, 'd'));
    writeFile(root + "/.dot/skipped", QByteArray(5000, 's'));
    writeFile(root + "/sub/.dotdir/skipped", QByteArray(7000, 's'));
    QVERIFY(QFile::link(root + "/sub", root + "/link-to-sub"));

    QCOMPARE(FileRoutines::GetDirSize(root, false), 30);
    QCOMPARE(FileRoutines::GetDirSize(root + "/", false), 30);
    // A name from CheckBS ends in a backslash.
    QCOMPARE(FileRoutines::GetDirSize(root + "\\", false), 30);
    QCOMPARE(FileRoutines::GetDirSize(root + "/sub\\", true), 310);
    QCOMPARE(FileRoutines::GetDirSize(root, true), 30 + 300 + 4 + 6);
    QCOMPARE(FileRoutines::GetDirSize(root + "/sub", true), 310);
    QCOMPARE(FileRoutines::GetDirSize(path("missing"), true), 0);
}

// A sparse file takes no disk space but counts with its full size.
void FileRoutinesTest::dirSizeBeyondTwoGiB()
{
    const QString root = path("big");
    QVERIFY(QDir().mkpath(root));
    QFile big(root + "/sparse.bin");
    QVERIFY(big.open(QIODevice::WriteOnly));
    const qint64 size = 3LL << 30;
    QVERIFY(big.resize(size));
    big.close();
    writeFile(root + "/inner/small", QByteArray(5, 's'));
    QCOMPARE(FileRoutines::GetDirSize(root, true), size + 5);
}

void FileRoutinesTest::tempFile()
{
    const QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    const QString first = FileRoutines::GetTempFile(QStringLiteral(".txt"));
    const QString second = FileRoutines::GetTempFile(QStringLiteral(".txt"));
    qunsetenv("XDG_RUNTIME_DIR");
    for (const QString &name : {first, second}) {
        const QFileInfo info(name);
        QCOMPARE(info.absolutePath(), runtime.path());
        QVERIFY2(QRegularExpression(QStringLiteral("^~[0-9A-F]{1,4}\\.txt$"))
                     .match(info.fileName())
                     .hasMatch(),
                 qPrintable(name));
        QVERIFY(!info.exists());
        const QString reserved = name.chopped(4) + QStringLiteral(".tmp");
        QVERIFY(QFileInfo(reserved).isFile());
        QCOMPARE(QFileInfo(reserved).size(), 0);
    }
    QVERIFY(first != second);
}

// Without a fit runtime folder the names come from a folder of our own in the shared
// temporary folder, closed to others (tst_filesafety tries that name taken by others).
void FileRoutinesTest::tempFileInAPrivateFolder()
{
    const QTemporaryDir shared;
    const QTemporaryDir openRuntime;
    QVERIFY(QFile::setPermissions(openRuntime.path(),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                      QFileDevice::ExeOther));
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(shared.path()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(openRuntime.path()));
    const QString own = shared.filePath(QStringLiteral("orvanta-%1").arg(::geteuid()));

    const QString name = FileRoutines::GetTempFile(QStringLiteral(".log"));
    QCOMPARE(QFileInfo(name).absolutePath(), own);
    struct stat st;
    QCOMPARE(::lstat(QFile::encodeName(own).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0700u);
    QVERIFY(QDir(openRuntime.path()).isEmpty());

    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", oldTmp);
    if (oldTmp.isEmpty())
        qunsetenv("TMPDIR");
}

void FileRoutinesTest::lastAccessTime_data()
{
    QTest::addColumn<QDateTime>("accessed");
    QTest::addColumn<double>("expected");
    const auto local = [](int y, int mo, int d, int h, int mi, int s, int ms) {
        return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
    };
    QTest::newRow("odd second rounds down")
        << local(2020, 5, 17, 13, 45, 37, 800) << 43968 + (13 * 3600 + 45 * 60 + 36) / 86400.0;
    QTest::newRow("even second stays")
        << local(2020, 5, 17, 13, 45, 36, 0) << 43968 + (13 * 3600 + 45 * 60 + 36) / 86400.0;
    QTest::newRow("first DOS second") << local(1980, 1, 1, 0, 0, 1, 0) << 29221.0;
    QTest::newRow("last DOS day") << local(2107, 12, 31, 23, 59, 59, 0)
                                  << 75971 + (23 * 3600 + 59 * 60 + 58) / 86400.0;
}

void FileRoutinesTest::lastAccessTime()
{
    QFETCH(QDateTime, accessed);
    QFETCH(double, expected);
    const QString file = writeFile(path("accessed.txt"), "x");
    setAccessTime(file, accessed);
    QCOMPARE(FileRoutines::GetFileLastAccessTime(file), expected);
}

void FileRoutinesTest::lastAccessTimeOutsideDosRange_data()
{
    QTest::addColumn<QDateTime>("accessed");
    QTest::newRow("before 1980") << QDateTime(QDate(1979, 12, 31), QTime(23, 59, 59));
    QTest::newRow("after 2107") << QDateTime(QDate(2108, 1, 1), QTime(0, 0, 0));
}

void FileRoutinesTest::lastAccessTimeOutsideDosRange()
{
    QFETCH(QDateTime, accessed);
    const QString file = writeFile(path("ancient.txt"), "x");
    setAccessTime(file, accessed);
    QVERIFY_THROWS_EXCEPTION(ConversionError, FileRoutines::GetFileLastAccessTime(file));
}

void FileRoutinesTest::lastAccessTimeWildcardsAndNoMatch()
{
    const QString folder = path("logs");
    setAccessTime(writeFile(folder + "/b.log", "b"), QDateTime(QDate(2010, 1, 1), QTime(12, 0)));
    setAccessTime(writeFile(folder + "/a.log", "a"), QDateTime(QDate(2000, 1, 1), QTime(12, 0)));
    setAccessTime(writeFile(folder + "/[x].txt", "x"), QDateTime(QDate(2005, 1, 1), QTime(0, 0)));
    const double year2000 = 36526 + 0.5;
    QCOMPARE(FileRoutines::GetFileLastAccessTime(folder + "/*.log"), year2000);
    QCOMPARE(FileRoutines::GetFileLastAccessTime(folder + "/?.log"), year2000);
    QCOMPARE(FileRoutines::GetFileLastAccessTime(folder + "/[x].txt"), 38353.0);

    // "*.*" and "name.*" match names without an extension too.
    const QString plain = path("plain");
    setAccessTime(writeFile(plain + "/README", "r"), QDateTime(QDate(2000, 1, 1), QTime(12, 0)));
    QCOMPARE(FileRoutines::GetFileLastAccessTime(plain + "/*.*"), year2000);
    QCOMPARE(FileRoutines::GetFileLastAccessTime(plain + "/READ*.*"), year2000);
    QCOMPARE(FileRoutines::GetFileLastAccessTime(plain + "/README.*"), year2000);
    QCOMPARE(FileRoutines::GetFileLastAccessTime(folder + "/b.*"), 40179.5);

    const QDateTime now = QDateTime::currentDateTime();
    const double serialNow =
        QDate(1899, 12, 30).daysTo(now.date()) + now.time().msecsSinceStartOfDay() / 86400000.0;
    const double missing = FileRoutines::GetFileLastAccessTime(folder + "/*.none");
    QVERIFY2(qAbs(missing - serialNow) < 10.0 / 86400, qPrintable(QString::number(missing)));
}

QTEST_GUILESS_MAIN(FileRoutinesTest)
#include "tst_fileroutines.moc"
