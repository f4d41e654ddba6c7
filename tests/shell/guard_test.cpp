#include "platform/singleinstanceguard.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <csignal>

// The guard between real processes: each test uses a name of its own, so a kiosk that
// happens to run on this machine is neither disturbed nor in the way.
class GuardTest : public QObject
{
    Q_OBJECT

    static QString uniqueName(const char *tag)
    {
        return QStringLiteral("Orvanta_IsRunning_test_%1_%2")
            .arg(QCoreApplication::applicationPid())
            .arg(QLatin1String(tag));
    }

    // Starts a probe for the name and returns what it said about the guard.
    static QByteArray startProbe(QProcess &probe, const QString &name)
    {
        probe.start(QStringLiteral(GUARD_PROBE_PATH), {name});
        if (!probe.waitForStarted(5000) || !probe.waitForReadyRead(5000))
            return "no answer";
        return probe.readLine().trimmed();
    }

    static void killHard(QProcess &probe)
    {
        ::kill(static_cast<pid_t>(probe.processId()), SIGKILL);
        probe.waitForFinished(5000);
    }

private slots:
    void secondCopyRefusedWhileFirstRuns()
    {
        const QString name = uniqueName("running");
        QProcess first;
        QCOMPARE(startProbe(first, name), QByteArray("held"));

        QProcess second;
        QCOMPARE(startProbe(second, name), QByteArray("refused"));
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);

        QProcess other;
        QCOMPARE(startProbe(other, uniqueName("other")), QByteArray("held"));
        killHard(other);
        killHard(first);
    }

    void normalStartAfterFirstKilledHard()
    {
        const QString name = uniqueName("killed");
        QProcess first;
        QCOMPARE(startProbe(first, name), QByteArray("held"));
        killHard(first);
        QCOMPARE(first.exitStatus(), QProcess::CrashExit);

        QProcess next;
        QCOMPARE(startProbe(next, name), QByteArray("held"));
        killHard(next);
    }

    void releasedWhenTheHolderEnds()
    {
        const QString name = uniqueName("scoped");
        {
            const platform::SingleInstanceGuard holder(name);
            QVERIFY(holder.held());
            const platform::SingleInstanceGuard refused(name);
            QVERIFY(refused.alreadyRunning());
            QVERIFY(!refused.held());
        }
        const platform::SingleInstanceGuard again(name);
        QVERIFY(again.held());
        QVERIFY(!again.alreadyRunning());
    }
};

QTEST_GUILESS_MAIN(GuardTest)
#include "guard_test.moc"
