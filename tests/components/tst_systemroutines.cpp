#include "components/systemroutines.h"

#include "components/routinetypes.h"

#include "childrun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <signal.h>
#include <sys/resource.h>
#include <sys/statvfs.h>

namespace {

double cpuSeconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeScript(const QString &path, const QByteArray &body)
{
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly) || script.write("#!/bin/sh\n" + body) < 0)
        qFatal("cannot write %s", qPrintable(path));
    script.close();
    QFile::setPermissions(path,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// What `stat -f` (coreutils) prints as the file system ID of a path: 16 hex digits.
quint64 fileSystemId(const QString &path)
{
    QProcess stat;
    stat.start(QStringLiteral("stat"),
               {QStringLiteral("-f"), QStringLiteral("-c"), QStringLiteral("%i"), path});
    stat.waitForFinished();
    return stat.readAllStandardOutput().trimmed().toULongLong(nullptr, 16);
}

} // namespace

class SystemRoutinesTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp;
    SystemRoutines routines;

private slots:
    // The second run of this test (tst_systemroutines_poll) waits by the timer.
    void init()
    {
        routines = SystemRoutines();
        routines.WaitWithPidfd = !qEnvironmentVariableIsSet("ORVANTA_TEST_EXEC_POLL");
    }
    void execWaitsWithoutSpinning();
    void execSplitsParametersAndSearchesPath();
    void execOfSomethingMissing_data();
    void execOfSomethingMissing();
    void execOpensDocumentsThroughTheOpener();
    void execReportsAnOpenerThatStartedNothing_data();
    void execReportsAnOpenerThatStartedNothing();
    void driveLetters();
    void volumeInfo();
    void mapNetworkDrive();
    void systemInformation();
    void currentUser();
    void screenResolution_data();
    void screenResolution();
    void day();
    // Last: ending the application leaves the thread's event loops ended for good.
    void execEndsWhenTheApplicationEnds();
};

// The wait lets timer handlers run and costs next to no processor time.
void SystemRoutinesTest::execWaitsWithoutSpinning()
{
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(20);
    QElapsedTimer elapsed;
    elapsed.start();
    const double cpuBefore = cpuSeconds();
    QVERIFY(routines.ExecAndWait("/bin/sh", "-c \"sleep 0.4\""));
    const double cpuUsed = cpuSeconds() - cpuBefore;
    const qint64 ms = elapsed.elapsed();
    QVERIFY2(ms >= 350, qPrintable(QString::number(ms)));
    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
    QVERIFY2(cpuUsed < 0.5 * ms / 1000.0, qPrintable(QString::number(cpuUsed)));
}

void SystemRoutinesTest::execSplitsParametersAndSearchesPath()
{
    const QString out = tmp.filePath("said hello");
    QVERIFY(routines.ExecAndWait("sh", "-c \"echo hello > '" + out + "'\""));
    QCOMPARE(readAll(out), QByteArray("hello\n"));
}

void SystemRoutinesTest::execOfSomethingMissing_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("missing path") << "/nonexistent/orvanta-program";
    QTest::newRow("not on PATH") << "orvanta-no-such-program";
    QTest::newRow("empty") << "";
}

void SystemRoutinesTest::execOfSomethingMissing()
{
    QFETCH(QString, file);
    QVERIFY(!routines.ExecAndWait(file, QString()));
}

// A stand-in opener records what it was asked to open.
void SystemRoutinesTest::execOpensDocumentsThroughTheOpener()
{
    const QString opener = tmp.filePath("opener.sh");
    const QString record = tmp.filePath("opened.txt");
    writeScript(opener, "printf '%s\\n' \"$1\" >> '" + record.toUtf8() + "'\n");
    const QString document = tmp.filePath("notes.txt");
    {
        QFile notes(document);
        QVERIFY(notes.open(QIODevice::WriteOnly));
    }
    routines.DocumentOpener = opener;
    QVERIFY(routines.ExecAndWait(document, "ignored"));
    QVERIFY(routines.ExecAndWait("http://127.0.0.1/page", QString()));
    QCOMPARE(readAll(record), (document + "\nhttp://127.0.0.1/page\n").toUtf8());

    routines.DocumentOpener = tmp.filePath("no-opener");
    QVERIFY(!routines.ExecAndWait(document, QString()));
}

void SystemRoutinesTest::execReportsAnOpenerThatStartedNothing_data()
{
    QTest::addColumn<QByteArray>("opener");
    QTest::addColumn<bool>("started");
    QTest::newRow("opened") << QByteArray("exit 0") << true;
    QTest::newRow("syntax error (1)") << QByteArray("exit 1") << false;
    QTest::newRow("no such file (2)") << QByteArray("exit 2") << false;
    QTest::newRow("no tool found (3)") << QByteArray("exit 3") << false;
    QTest::newRow("action failed (4)") << QByteArray("exit 4") << false;
    QTest::newRow("killed") << QByteArray("kill -KILL $$") << false;
}

// xdg-open's exit code says whether an application took the document; a program that is
// started itself may end as it likes.
void SystemRoutinesTest::execReportsAnOpenerThatStartedNothing()
{
    QFETCH(QByteArray, opener);
    QFETCH(bool, started);
    routines.DocumentOpener = tmp.filePath("opener.sh");
    writeScript(routines.DocumentOpener, opener + "\n");
    QCOMPARE(routines.ExecAndWait(tmp.path(), QString()), started);
    QVERIFY(routines.ExecAndWait("/bin/sh", "-c \"exit 7\""));
}

void SystemRoutinesTest::driveLetters()
{
    QCOMPARE(routines.DiskInDrive(u'c'), routines.DiskInDrive(u'C'));
    QVERIFY(routines.DiskInDrive(u'C'));
    QVERIFY(!routines.DiskInDrive(u'q'));
    for (const QChar bad : {QChar(u'1'), QChar(u'*'), QChar(u'ä')}) {
        try {
            routines.DiskInDrive(bad);
            QFAIL("no error for a drive that is no letter");
        } catch (const ConversionError &error) {
            QCOMPARE(error.message(), QStringLiteral("Not a valid drive ID"));
        }
    }
}

// The serial number is the first half of the file system ID that `stat -f` shows.
void SystemRoutinesTest::volumeInfo()
{
    QVERIFY(routines.MapNetWorkDrive("T:", tmp.path(), nullptr, nullptr));
    QVERIFY(routines.MapNetWorkDrive("P:", "/proc", nullptr, nullptr));
    for (const auto &[letter, folder] :
         {std::pair{u'c', QStringLiteral("/")}, std::pair{u'T', tmp.path()},
          std::pair{u'p', QStringLiteral("/proc")}}) {
        const QString serial = routines.GetVolumeInfo(letter);
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9]+$")).match(serial).hasMatch(),
                 qPrintable(serial));
        QCOMPARE(serial, QString::number(fileSystemId(folder) >> 32));
    }
    QCOMPARE(routines.GetVolumeInfo(u'Q'), QStringLiteral("call failed"));
    QCOMPARE(routines.GetVolumeInfo(u'1'), QStringLiteral("call failed"));
}

void SystemRoutinesTest::mapNetworkDrive()
{
    QVERIFY(!routines.DiskInDrive(u'X'));
    QVERIFY(routines.MapNetWorkDrive("x:", tmp.path(), u"secret", nullptr));
    QVERIFY(routines.DiskInDrive(u'X'));
    QCOMPARE(routines.GetVolumeInfo(u'x'), routines.GetVolumeInfo(u'X'));
    QVERIFY(!routines.MapNetWorkDrive("X:", tmp.path(), nullptr, nullptr)); // taken
    QVERIFY(!routines.MapNetWorkDrive("C:", tmp.path(), nullptr, nullptr));
    QVERIFY(!routines.MapNetWorkDrive("Y:", "\\\\server\\share", nullptr, nullptr));
    QVERIFY(!routines.MapNetWorkDrive("Y:", tmp.filePath("missing"), nullptr, nullptr));
    QVERIFY(!routines.MapNetWorkDrive("YZ", tmp.path(), nullptr, nullptr));
    QVERIFY(!routines.MapNetWorkDrive("1:", tmp.path(), nullptr, nullptr));
    QVERIFY(!routines.DiskInDrive(u'Y'));
}

// Each against a source of its own: the shell in the system's folder, the C library's
// mapping as the kernel lists it, the kernel's release in /proc, the project's version in
// the top-level CMakeLists.txt.
void SystemRoutinesTest::systemInformation()
{
    QCOMPARE(SystemRoutines::WinDir(0), QStringLiteral("/usr"));
    QVERIFY(QFileInfo(SystemRoutines::WinDir(0) + "/bin/sh").isExecutable());
    QString libc;
    for (const QByteArray &line : readAll(QStringLiteral("/proc/self/maps")).split('\n')) {
        const QByteArray file = line.mid(line.indexOf('/'));
        if (line.contains('/') && QFileInfo(QString::fromLocal8Bit(file))
                                      .fileName()
                                      .startsWith(QStringLiteral("libc.so")))
            libc = QFileInfo(QString::fromLocal8Bit(file)).canonicalPath();
    }
    QVERIFY(!libc.isEmpty());
    QCOMPARE(SystemRoutines::WinDir(1), libc);
    QCOMPARE(SystemRoutines::WinDir(-7), libc);

    const QString release = QString::fromLatin1(readAll("/proc/sys/kernel/osrelease")).trimmed();
    const QRegularExpressionMatch minor =
        QRegularExpression(QStringLiteral("^\\d+\\.(\\d+)")).match(release);
    QVERIFY2(minor.hasMatch(), qPrintable(release));
    QCOMPARE(SystemRoutines::WinVer(), QString::number(minor.captured(1).toInt()));

    const QString source = qEnvironmentVariable("ORVANTA_SOURCE_DIR");
    if (source.isEmpty())
        QSKIP("ORVANTA_SOURCE_DIR names the checkout (ctest sets it)");
    const QRegularExpressionMatch project =
        QRegularExpression(QStringLiteral("project\\(Orvanta VERSION ([0-9.]+)"))
            .match(QString::fromUtf8(readAll(source + "/CMakeLists.txt")));
    QVERIFY(project.hasMatch());
    QStringList parts = project.captured(1).split(u'.');
    while (parts.size() < 4)
        parts << QStringLiteral("0");
    QCOMPARE(SystemRoutines::GetProgVersion(), parts.join(u'.'));
}

void SystemRoutinesTest::currentUser()
{
    QProcess id;
    id.start(QStringLiteral("id"), {QStringLiteral("-un")});
    QVERIFY(id.waitForFinished(5000));
    const QString expected = QString::fromLocal8Bit(id.readAllStandardOutput()).trimmed();
    QCOMPARE(SystemRoutines::GetCurrUser(), expected.size() < 30 ? expected : "Unknown");
}

void SystemRoutinesTest::screenResolution_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("1024 x 768") << 1024 << 768;
    QTest::newRow("1280 x 1024") << 1280 << 1024;
}

// On a screen of a known size: the offscreen platform with a screen of its configuration.
void SystemRoutinesTest::screenResolution()
{
    QFETCH(int, width);
    QFETCH(int, height);
    if (childrun::isChild()) {
        if (qEnvironmentVariable("ORVANTA_TEST_SIZE") ==
            QStringLiteral("%1x%2").arg(width).arg(height))
            QCOMPARE(SystemRoutines::GetScreenRes(), qEnvironmentVariable("ORVANTA_TEST_SIZE"));
        return;
    }
    const QString config = tmp.filePath("screen.json");
    {
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("{\"screens\": [{\"name\": \"s\", \"x\": 0, \"y\": 0, "
                                  "\"width\": %1, \"height\": %2, \"dpr\": 1}]}")
                       .arg(width)
                       .arg(height)
                       .toUtf8());
    }
    const childrun::Outcome child =
        childrun::rerun(QStringLiteral("screenResolution"), {},
                        {QStringLiteral("QT_QPA_PLATFORM=offscreen:configfile=") + config,
                         QStringLiteral("ORVANTA_TEST_SIZE=%1x%2").arg(width).arg(height)});
    QVERIFY2(child.passed(), qPrintable(child.output));
}

void SystemRoutinesTest::day()
{
    const QString before = QLocale::c().dayName(QDate::currentDate().dayOfWeek());
    const QString day = SystemRoutines::GetDay();
    const QString after = QLocale::c().dayName(QDate::currentDate().dayOfWeek());
    QVERIFY2(day == before || day == after, qPrintable(day));
}

void SystemRoutinesTest::execEndsWhenTheApplicationEnds()
{
    const QString pidFile = tmp.filePath("sleeper.pid");
    QTimer::singleShot(200, [] { QCoreApplication::exit(0); });
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(routines.ExecAndWait("/bin/sh", "-c \"echo $$ > '" + pidFile + "'; exec sleep 10\""));
    QVERIFY2(elapsed.elapsed() < 5000, qPrintable(QString::number(elapsed.elapsed())));
    // The started program is left running; the test tidies it away.
    const pid_t sleeper = readAll(pidFile).trimmed().toInt();
    QVERIFY(sleeper > 0);
    QCOMPARE(::kill(sleeper, 0), 0);
    ::kill(sleeper, SIGTERM);
}

QTEST_MAIN(SystemRoutinesTest)
#include "tst_systemroutines.moc"
