#include "components/systemroutines.h"

#include "components/routinetypes.h"

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

} // namespace

class SystemRoutinesTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp;
    SystemRoutines routines;

private slots:
    void init() { routines = SystemRoutines(); }
    void execWaitsWithoutSpinning();
    void execSplitsParametersAndSearchesPath();
    void execOfSomethingMissing_data();
    void execOfSomethingMissing();
    void execOpensDocumentsThroughTheOpener();
    void driveLetters();
    void volumeInfo();
    void mapNetworkDrive();
    void systemInformation();
    void currentUser();
    void screenResolutionAndDay();
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
    {
        QFile script(opener);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + record.toUtf8() + "'\n");
    }
    QVERIFY(QFile::setPermissions(opener, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner));
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

void SystemRoutinesTest::volumeInfo()
{
    struct statvfs root;
    QCOMPARE(statvfs("/", &root), 0);
    const QString serial = routines.GetVolumeInfo(u'c');
    QCOMPARE(serial, QString::number(quint32(root.f_fsid)));
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9]+$")).match(serial).hasMatch());
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

void SystemRoutinesTest::systemInformation()
{
    QCOMPARE(SystemRoutines::WinDir(0), QStringLiteral("/usr"));
    QCOMPARE(SystemRoutines::WinDir(1), QStringLiteral("/usr/lib"));
    QCOMPARE(SystemRoutines::WinDir(-7), QStringLiteral("/usr/lib"));
    QCOMPARE(SystemRoutines::GetProgVersion(), QStringLiteral(ORVANTA_VERSION));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+\\.\\d+$"))
                .match(SystemRoutines::GetProgVersion())
                .hasMatch());
    const QStringList kernel = QSysInfo::kernelVersion().split(u'.');
    QVERIFY(kernel.size() > 1);
    QCOMPARE(SystemRoutines::WinVer(), QString::number(kernel.at(1).toInt()));
}

void SystemRoutinesTest::currentUser()
{
    QProcess id;
    id.start(QStringLiteral("id"), {QStringLiteral("-un")});
    QVERIFY(id.waitForFinished(5000));
    const QString expected = QString::fromLocal8Bit(id.readAllStandardOutput()).trimmed();
    QCOMPARE(SystemRoutines::GetCurrUser(), expected.size() < 30 ? expected : "Unknown");
}

void SystemRoutinesTest::screenResolutionAndDay()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    QVERIFY(screen);
    const QSize pixels = screen->size() * screen->devicePixelRatio();
    QCOMPARE(SystemRoutines::GetScreenRes(),
             QString::number(pixels.width()) + u'x' + QString::number(pixels.height()));
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
