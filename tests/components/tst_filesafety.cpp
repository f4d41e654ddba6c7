// The file routines where a failure, another account or an odd name meets them: copies
// that fail half way, devices that must not be opened, names that are not UTF-8, folders
// that someone else made first, files that shrink while they are summed and memory that
// runs out. Each row names the fault it catches.
#include "components/fileroutines.h"

#include "childrun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace {

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed) ^ (i >> 9));
    return bytes;
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

const QByteArray kOldTarget = pattern(300000, 1);
const QByteArray kSource = pattern(4 << 20, 2);

quint32 zlibCrc(const QByteArray &bytes)
{
    return quint32(crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(bytes.constData()),
                         uInt(bytes.size())));
}

// A file that leaves the caller the controlling terminal it had: none.
bool hasControllingTerminal()
{
    const int fd = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// Sets the access time of a file named by raw bytes.
void setAccessTime(const QByteArray &path, qint64 secondsSinceEpoch)
{
    const struct timespec times[2] = {{secondsSinceEpoch, 0}, {0, UTIME_OMIT}};
    if (::utimensat(AT_FDCWD, path.constData(), times, 0) != 0)
        qFatal("cannot set the access time of %s", path.constData());
}

enum class Copy { Fails, Killed };

} // namespace

class FileSafetyTest : public QObject
{
    Q_OBJECT

private slots:
    void failedCopyKeepsOldTarget_data();
    void failedCopyKeepsOldTarget();
    void devicesAreNotOpened_data();
    void devicesAreNotOpened();
    void namesThatAreNotUtf8_data();
    void namesThatAreNotUtf8();
    void tempFolderTakenByOthers_data();
    void tempFolderTakenByOthers();
    void bigFilesInLittleMemory();
    void crcOfAFileThatShrinks();
};

void FileSafetyTest::failedCopyKeepsOldTarget_data()
{
    QTest::addColumn<QStringList>("wrapper");
    QTest::addColumn<bool>("needsRoot");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("setting");
    // The old copy emptied the target before it wrote: each of these left a part of the new
    // file (or nothing) under the target's name.
    QTest::newRow("full file system: a tmpfs of 1 MiB")
        << QStringList{QStringLiteral("unshare"), QStringLiteral("-m")} << true << int(Copy::Fails)
        << QStringLiteral("tmpfs");
    QTest::newRow("file size limit: RLIMIT_FSIZE 1 MiB, SIGXFSZ ignored")
        << QStringList{QStringLiteral("prlimit"), QStringLiteral("--fsize=1048576")} << false
        << int(Copy::Fails) << QStringLiteral("ignore SIGXFSZ");
    QTest::newRow("killed half way: SIGXFSZ at 1 MiB")
        << QStringList{QStringLiteral("prlimit"), QStringLiteral("--fsize=1048576"),
                       QStringLiteral("--core=0")}
        << false << int(Copy::Killed) << QString();
    QTest::newRow("source fails to read: /proc/self/mem")
        << QStringList() << false << int(Copy::Fails) << QString();
}

// The copy runs in a child run of this test (its limits, its mount namespace); the old
// target must come out whole, and nothing else may be left in its folder but, after a
// kill, the temporary file, recognisable by its name.
void FileSafetyTest::failedCopyKeepsOldTarget()
{
    QFETCH(QStringList, wrapper);
    QFETCH(bool, needsRoot);
    QFETCH(int, outcome);
    QFETCH(QString, setting);
    const bool procSource = wrapper.isEmpty();
    if (childrun::isChild() || procSource) {
        const QString dir = procSource ? QString() : qEnvironmentVariable("ORVANTA_TEST_DIR");
        QTemporaryDir own;
        QString folder = procSource ? own.path() : dir + QStringLiteral("/target");
        if (setting == QStringLiteral("tmpfs"))
            QCOMPARE(::mount("orvanta-test", QFile::encodeName(folder).constData(), "tmpfs", 0,
                             "size=1m"),
                     0);
        if (setting == QStringLiteral("ignore SIGXFSZ"))
            std::signal(SIGXFSZ, SIG_IGN);
        const QString target = folder + QStringLiteral("/target.bin");
        if (setting == QStringLiteral("tmpfs") || procSource)
            writeFile(target, kOldTarget);
        const QString source =
            procSource ? QStringLiteral("/proc/self/mem") : dir + QStringLiteral("/source.bin");
        QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::libFileCopy(source, target));
        QCOMPARE(readAll(target), kOldTarget);
        QCOMPARE(entries(folder), QStringList{QStringLiteral("target.bin")});
        return;
    }
    if (needsRoot && !childrun::isRoot())
        QSKIP("mounting a small file system in a mount namespace of its own needs root");
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("target")));
    const QString folder = dir.filePath(QStringLiteral("target"));
    writeFile(dir.filePath(QStringLiteral("source.bin")), kSource);
    writeFile(folder + QStringLiteral("/target.bin"), kOldTarget);
    const childrun::Outcome child =
        childrun::rerun(QStringLiteral("failedCopyKeepsOldTarget:") + QTest::currentDataTag(),
                        wrapper, {QStringLiteral("ORVANTA_TEST_DIR=") + dir.path()});
    if (Copy(outcome) == Copy::Fails) {
        QVERIFY2(child.passed(), qPrintable(child.output));
        return;
    }
    QVERIFY2(child.exitCode == -1,
             qPrintable(QStringLiteral("the child was meant to be killed: ") + child.output));
    QCOMPARE(readAll(folder + QStringLiteral("/target.bin")), kOldTarget);
    const QRegularExpression leftover(QStringLiteral("^\\.target\\.bin\\.[A-Za-z0-9]{6}\\.part$"));
    for (const QString &name : entries(folder)) {
        if (name != QStringLiteral("target.bin"))
            QVERIFY2(leftover.match(name).hasMatch(), qPrintable(name));
    }
}

void FileSafetyTest::devicesAreNotOpened_data()
{
    QTest::addColumn<QString>("routine");
    // Each opened the terminal before it looked at what it was, and a session leader
    // without a terminal took it as its controlling one.
    for (const char *routine :
         {"FileIsAscii", "CalcCRC32", "GetCheckSum", "Are2FilesEqual", "libFileCopy from it"})
        QTest::newRow(routine) << QString::fromLatin1(routine);
}

// A terminal is refused by its stat, before anything opens it, in a child run that leads a
// session of its own without a controlling terminal (setsid).
void FileSafetyTest::devicesAreNotOpened()
{
    QFETCH(QString, routine);
    if (!childrun::isChild()) {
        const childrun::Outcome child =
            childrun::rerun(QStringLiteral("devicesAreNotOpened:") + QTest::currentDataTag(),
                            {QStringLiteral("setsid"), QStringLiteral("--wait")});
        QVERIFY2(child.passed(), qPrintable(child.output));
        return;
    }
    QCOMPARE(::getsid(0), ::getpid());
    QVERIFY2(!hasControllingTerminal(), "the child must start without a controlling terminal");
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(master >= 0);
    QCOMPARE(::grantpt(master), 0);
    QCOMPARE(::unlockpt(master), 0);
    const QString terminal = QString::fromLocal8Bit(::ptsname(master));
    QTemporaryDir dir;
    const QString file = writeFile(dir.filePath(QStringLiteral("plain.txt")), "plain");
    if (routine == QStringLiteral("FileIsAscii"))
        QVERIFY(!FileRoutines::FileIsAscii(terminal));
    else if (routine == QStringLiteral("CalcCRC32"))
        QCOMPARE(FileRoutines::CalcCRC32(terminal), 0u);
    else if (routine == QStringLiteral("GetCheckSum"))
        QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::GetCheckSum(terminal));
    else if (routine == QStringLiteral("Are2FilesEqual"))
        QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::Are2FilesEqual(file, terminal));
    else
        QVERIFY_THROWS_EXCEPTION(FileError, FileRoutines::libFileCopy(terminal, file));
    QVERIFY2(!hasControllingTerminal(), "the routine gave the caller a controlling terminal");
    QCOMPARE(readAll(file), QByteArray("plain"));
    ::close(master);
}

void FileSafetyTest::namesThatAreNotUtf8_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("found");
    // A name that is not UTF-8 matched nothing, and the routine gave the current time.
    QTest::newRow("Latin-1 name, *") << QByteArray("caf\xe9.log") << "*.log" << true;
    QTest::newRow("Latin-1 name, ? for its stray byte")
        << QByteArray("caf\xe9.log") << "caf?.log" << true;
    QTest::newRow("Latin-1 name, *.*") << QByteArray("\xe9t\xe9") << "*.*" << true;
    QTest::newRow("broken UTF-8 sequence, ? for each stray byte")
        << QByteArray("\xc3(\xa9x") << "?(?x" << true;
    // And "?" still stands for one letter of a UTF-8 name.
    QTest::newRow("UTF-8 name, ? for a two-byte letter")
        << QByteArray("caf\xc3\xa9.txt") << "caf?.txt" << true;
    QTest::newRow("UTF-8 name, ?? is one letter too many")
        << QByteArray("caf\xc3\xa9.txt") << "caf??.txt" << false;
}

void FileSafetyTest::namesThatAreNotUtf8()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, pattern);
    QFETCH(bool, found);
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.path()) + '/' + name;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, "12345", 5), ssize_t(5));
    ::close(fd);
    const QDateTime noon(QDate(2000, 1, 1), QTime(12, 0));
    setAccessTime(path, noon.toSecsSinceEpoch());
    // GetDirSize has always counted such a name.
    QCOMPARE(FileRoutines::GetDirSize(dir.path(), false), 5);
    const double accessed = FileRoutines::GetFileLastAccessTime(dir.path() + u'/' + pattern);
    // QTemporaryDir cannot remove a name that is not UTF-8.
    QCOMPARE(::unlink(path.constData()), 0);
    const double year2000 = 36526 + 0.5;
    if (found)
        QCOMPARE(accessed, year2000);
    else
        QVERIFY2(accessed > year2000 + 365, qPrintable(QString::number(accessed)));
}

void FileSafetyTest::tempFolderTakenByOthers_data()
{
    QTest::addColumn<QString>("squat");
    // Each made GetTempFile return empty text for good.
    QTest::newRow("made first by another account (nobody)") << "nobody";
    QTest::newRow("ours but open to all (0777)") << "open";
    QTest::newRow("a symbolic link to a folder of ours") << "link";
    QTest::newRow("a file of that name") << "file";
}

// Without a runtime folder the names come from "orvanta-<uid>" in the shared temporary
// folder; when that name is taken by something that is not our private folder, a folder
// with a name nobody can guess takes its place, and the squatted one is left alone.
void FileSafetyTest::tempFolderTakenByOthers()
{
    QFETCH(QString, squat);
    if (childrun::isChild()) {
        QCOMPARE(::mkdir(qgetenv("ORVANTA_TEST_SQUAT").constData(), 0777), 0);
        return;
    }
    QTemporaryDir shared;
    QCOMPARE(::chmod(QFile::encodeName(shared.path()).constData(), 01777), 0);
    QTemporaryDir elsewhere;
    const QString own = shared.filePath(QStringLiteral("orvanta-%1").arg(::geteuid()));
    const QByteArray ownPath = QFile::encodeName(own);
    if (squat == QStringLiteral("nobody")) {
        if (!childrun::isRoot())
            QSKIP("a folder made by another account needs root to switch to the user nobody");
        const childrun::Outcome child =
            childrun::rerun(QStringLiteral("tempFolderTakenByOthers:") + QTest::currentDataTag(),
                            childrun::asNobody(), {QStringLiteral("ORVANTA_TEST_SQUAT=") + own});
        QVERIFY2(child.passed(), qPrintable(child.output));
    } else if (squat == QStringLiteral("open")) {
        QCOMPARE(::mkdir(ownPath.constData(), 0700), 0);
        QCOMPARE(::chmod(ownPath.constData(), 0777), 0);
    } else if (squat == QStringLiteral("link")) {
        QCOMPARE(::chmod(QFile::encodeName(elsewhere.path()).constData(), 0700), 0);
        QVERIFY(QFile::link(elsewhere.path(), own));
    } else {
        writeFile(own, "x");
    }
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(shared.path()));
    qunsetenv("XDG_RUNTIME_DIR");
    const QString first = FileRoutines::GetTempFile(QStringLiteral(".log"));
    const QString second = FileRoutines::GetTempFile(QStringLiteral(".log"));
    qputenv("TMPDIR", oldTmp);
    if (oldTmp.isEmpty())
        qunsetenv("TMPDIR");

    QVERIFY2(!first.isEmpty(), "no name handed out");
    const QString folder = QFileInfo(first).absolutePath();
    QVERIFY2(folder.startsWith(own + u'-'), qPrintable(first));
    QCOMPARE(QFileInfo(second).absolutePath(), folder);
    QVERIFY(QFileInfo(first.chopped(4) + QStringLiteral(".tmp")).isFile());
    struct stat st;
    QCOMPARE(::lstat(QFile::encodeName(folder).constData(), &st), 0);
    QVERIFY(S_ISDIR(st.st_mode));
    QCOMPARE(st.st_uid, ::geteuid());
    QCOMPARE(st.st_mode & 07777, 0700u);
    QVERIFY(QDir(elsewhere.path()).isEmpty());
    if (QFileInfo(own).isDir() && !QFileInfo(own).isSymLink())
        QVERIFY(QDir(own).isEmpty());
}

// Two equal files of 96 MiB compared, and one summed, with room for about 48 MiB more in
// memory: the comparison needed both files in memory (and raised std::bad_alloc), and the
// sum, which cannot map a file that large then, reads it.
void FileSafetyTest::bigFilesInLittleMemory()
{
    if (!childrun::isChild()) {
        const childrun::Outcome child =
            childrun::rerun(QStringLiteral("bigFilesInLittleMemory"), {});
        QVERIFY2(child.passed(), qPrintable(child.output));
        return;
    }
    QTemporaryDir dir;
    const qint64 size = 96LL << 20;
    const QString a = dir.filePath(QStringLiteral("a.bin"));
    const QString b = dir.filePath(QStringLiteral("b.bin"));
    const QString c = dir.filePath(QStringLiteral("c.bin"));
    for (const QString &name : {a, b, c}) {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size)); // sparse: no disk space
    }
    {
        QFile last(c);
        QVERIFY(last.open(QIODevice::ReadWrite));
        QVERIFY(last.seek(size - 1));
        QVERIFY(last.putChar('x'));
    }
    const QByteArray zeros(1 << 20, '\0');
    uLong expected = crc32(0L, Z_NULL, 0);
    for (qint64 done = 0; done < size; done += zeros.size())
        expected =
            crc32(expected, reinterpret_cast<const Bytef *>(zeros.constData()), uInt(zeros.size()));

    QFile status(QStringLiteral("/proc/self/status"));
    QVERIFY(status.open(QIODevice::ReadOnly));
    const QRegularExpression vmSize(QStringLiteral("VmSize:\\s+(\\d+) kB"));
    const QRegularExpressionMatch m = vmSize.match(QString::fromLatin1(status.readAll()));
    QVERIFY(m.hasMatch());
    const rlim_t room = (m.captured(1).toULongLong() << 10) + (48 << 20);
    const struct rlimit limit = {room, room};
    QCOMPARE(::setrlimit(RLIMIT_AS, &limit), 0);
    QVERIFY(FileRoutines::Are2FilesEqual(a, b));
    QVERIFY(!FileRoutines::Are2FilesEqual(a, c));
    QCOMPARE(FileRoutines::CalcCRC32(a), quint32(expected));
}

// Another thread truncates the file to half while it may be being summed. A mapped page
// that is gone raises SIGBUS, which must not end the process: the sum is that of the whole
// file (truncated after), of the half (truncated before), or 0 (truncated while summed).
// Meanwhile another thread sums a file that stays as it is, and always gets its sum.
void FileSafetyTest::crcOfAFileThatShrinks()
{
    QTemporaryDir dir;
    const int size = 32 << 20;
    const QByteArray content = pattern(size, 3);
    const QString path = writeFile(dir.filePath(QStringLiteral("shrinks.bin")), content);
    const quint32 whole = zlibCrc(content);
    const quint32 half = zlibCrc(content.left(size / 2));
    const QByteArray stableContent = pattern(1 << 20, 4);
    const QString stable = writeFile(dir.filePath(QStringLiteral("stable.bin")), stableContent);
    const quint32 stableCrc = zlibCrc(stableContent);

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(FileRoutines::CalcCRC32(path), whole);
    const qint64 took = std::max<qint64>(timer.nsecsElapsed() / 1000, 1000);

    // Every round rewrites the second half, then races a truncation to half against the sum.
    std::atomic<bool> done{false};
    std::atomic<int> stableWrong{0};
    std::thread bystander([&] {
        while (!done)
            stableWrong += FileRoutines::CalcCRC32(stable) != stableCrc;
    });
    QList<quint32> results;
    bool rewritten = true;
    int inFlight = 0;
    for (int round = 0; round < 60 && inFlight < 3 && rewritten; ++round) {
        QFile file(path);
        rewritten = file.open(QIODevice::ReadWrite) && file.seek(size / 2) &&
                    file.write(content.mid(size / 2)) == size / 2;
        file.close();
        const qint64 delayUs = QRandomGenerator::global()->bounded(took);
        std::thread truncater([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
            QFile::resize(path, size / 2);
        });
        results << FileRoutines::CalcCRC32(path);
        truncater.join();
        inFlight += results.last() == 0;
    }
    done = true;
    bystander.join();
    QVERIFY(rewritten);
    for (const quint32 crc : results)
        QVERIFY2(crc == whole || crc == half || crc == 0, qPrintable(QString::number(crc, 16)));
    QCOMPARE(stableWrong.load(), 0);
    if (inFlight == 0)
        QFAIL("no truncation came while the file was summed; the machine may be too busy");
}

QTEST_GUILESS_MAIN(FileSafetyTest)
#include "tst_filesafety.moc"
